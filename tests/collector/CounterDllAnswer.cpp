#include "tests/collector/CounterDllAnswer.h"

#include "tests/collector/PublishedValues.h"
#include "tests/collector/ServedBytes.h"

#include <winperf.h>

#include <cstring>
#include <cwchar>
#include <iterator>

namespace CounterDll {

using namespace CorvaneTools::Counters;

namespace {

typedef unsigned long long Bytes;

DWORD Get32(const BYTE *at)
{
    DWORD value;
    std::memcpy(&value, at, sizeof(value));
    return value;
}

WORD Char16(const BYTE *text, DWORD index)
{
    WORD c;
    std::memcpy(&c, text + index * sizeof(c), sizeof(c));
    return c;
}

std::string N(Bytes value)
{
    return std::to_string(value);
}

// The rules built to, as Microsoft documents them:
// - PERF_OBJECT_TYPE: TotalByteLength is "the offset from the beginning of this structure to
//   the next PERF_OBJECT_TYPE structure", HeaderLength the "size of this structure", and
//   DefinitionLength the "size of this structure plus the size of all the
//   PERF_COUNTER_DEFINITION structures", the offset to the first PERF_INSTANCE_DEFINITION or,
//   without instances, to the PERF_COUNTER_BLOCK. An object's total stays a multiple of 8 so
//   that the next one's counters keep their alignment.
// - PERF_INSTANCE_DEFINITION: ByteLength, "including the instance name that follows", "must be
//   an 8-byte multiple"; NameLength is the name's length "including the null-terminator", in
//   bytes; UniqueID is PERF_NO_UNIQUE_ID where names tell instances apart.
// - PERF_COUNTER_BLOCK: "You must ensure that the size of the counter block is aligned to an
//   8-byte boundary", and CounterOffset is the offset from its start to the counter's value.

// A counter block of the object at block, with room bytes of the object left.
std::string CounterBlockViolation(const BYTE *object, const BYTE *block, Bytes room)
{
    if (room < sizeof(PERF_COUNTER_BLOCK))
    {
        return "no counter block";
    }
    const DWORD length = Get32(block);
    if (length % 8 != 0 || length < sizeof(PERF_COUNTER_BLOCK) || length > room)
    {
        return "counter block length " + N(length) + " in " + N(room) + " bytes";
    }
    const DWORD header = Get32(object + offsetof(PERF_OBJECT_TYPE, HeaderLength));
    const DWORD counters = Get32(object + offsetof(PERF_OBJECT_TYPE, NumCounters));
    for (DWORD k = 0; k < counters; ++k)
    {
        const BYTE *counter = object + header + k * sizeof(PERF_COUNTER_DEFINITION);
        const DWORD size = Get32(counter + offsetof(PERF_COUNTER_DEFINITION, CounterSize));
        const DWORD offset = Get32(counter + offsetof(PERF_COUNTER_DEFINITION, CounterOffset));
        if ((size != 4 && size != 8) || offset % size != 0 || offset < sizeof(PERF_COUNTER_BLOCK) ||
            static_cast<Bytes>(offset) + size > length)
        {
            return "counter " + N(k) + " of " + N(size) + " bytes at " + N(offset) + " in a block of " + N(length);
        }
    }
    return std::string();
}

// An instance definition and its name, with room bytes of the object left.
std::string InstanceViolation(const BYTE *instance, Bytes room)
{
    if (room < sizeof(PERF_INSTANCE_DEFINITION))
    {
        return "definition past the object";
    }
    const DWORD length = Get32(instance + offsetof(PERF_INSTANCE_DEFINITION, ByteLength));
    if (length % 8 != 0 || length < sizeof(PERF_INSTANCE_DEFINITION) || length > room)
    {
        return "length " + N(length) + " in " + N(room) + " bytes";
    }
    const DWORD nameOffset = Get32(instance + offsetof(PERF_INSTANCE_DEFINITION, NameOffset));
    const DWORD nameLength = Get32(instance + offsetof(PERF_INSTANCE_DEFINITION, NameLength));
    if (nameOffset < sizeof(PERF_INSTANCE_DEFINITION) || nameLength < sizeof(wchar_t) || nameLength % 2 != 0 ||
        static_cast<Bytes>(nameOffset) + nameLength > length)
    {
        return "name of " + N(nameLength) + " bytes at " + N(nameOffset) + " in " + N(length);
    }
    const DWORD chars = nameLength / sizeof(wchar_t);
    DWORD firstZero = 0;
    while (firstZero < chars && Char16(instance + nameOffset, firstZero) != 0)
    {
        ++firstZero;
    }
    if (firstZero != chars - 1)
    {
        return "name of " + N(chars) + " characters with its first 0 at " + N(firstZero);
    }
    const DWORD parent = Get32(instance + offsetof(PERF_INSTANCE_DEFINITION, ParentObjectTitleIndex));
    const DWORD parentInstance = Get32(instance + offsetof(PERF_INSTANCE_DEFINITION, ParentObjectInstance));
    if (parent != 0 || parentInstance != 0)
    {
        return "parent " + N(parent) + " instance " + N(parentInstance);
    }
    const LONG id = static_cast<LONG>(Get32(instance + offsetof(PERF_INSTANCE_DEFINITION, UniqueID)));
    if (id != PERF_NO_UNIQUE_ID)
    {
        return "unique id " + std::to_string(id);
    }
    return std::string();
}

// The instances of an object from its definition on, each followed by its counter block.
std::string InstancesViolation(const BYTE *object, DWORD definition, DWORD total, LONG instances)
{
    Bytes at = definition;
    for (LONG i = 0; i < instances; ++i)
    {
        std::string violation = InstanceViolation(object + at, total - at);
        if (violation.empty())
        {
            at += Get32(object + at);
            violation = CounterBlockViolation(object, object + at, total - at);
        }
        if (!violation.empty())
        {
            return "instance " + N(static_cast<Bytes>(i)) + ": " + violation;
        }
        at += Get32(object + at);
    }
    return at == total ? std::string() : "instances and blocks cover " + N(at) + " of " + N(total) + " bytes";
}

std::string ObjectViolation(const BYTE *object, Bytes room)
{
    const DWORD total = Get32(object + offsetof(PERF_OBJECT_TYPE, TotalByteLength));
    const DWORD definition = Get32(object + offsetof(PERF_OBJECT_TYPE, DefinitionLength));
    const DWORD header = Get32(object + offsetof(PERF_OBJECT_TYPE, HeaderLength));
    const Bytes counters = Get32(object + offsetof(PERF_OBJECT_TYPE, NumCounters));
    const LONG instances = static_cast<LONG>(Get32(object + offsetof(PERF_OBJECT_TYPE, NumInstances)));
    if (total > room || total % 8 != 0 || header != sizeof(PERF_OBJECT_TYPE) ||
        definition != header + counters * sizeof(PERF_COUNTER_DEFINITION) || definition > total)
    {
        return "lengths: total " + N(total) + ", header " + N(header) + ", definition " + N(definition) + " of " +
               N(counters) + " counters";
    }
    if (instances == PERF_NO_INSTANCES)
    {
        const std::string violation = CounterBlockViolation(object, object + definition, total - definition);
        if (!violation.empty() || definition + Get32(object + definition) == total)
        {
            return violation;
        }
        return "counter block length " + N(Get32(object + definition)) + " in an object of " + N(total);
    }
    if (instances < 0)
    {
        return "NumInstances " + std::to_string(instances);
    }
    return InstancesViolation(object, definition, total, instances);
}

std::wstring InstanceName(const BYTE *instance)
{
    const DWORD offset = Get32(instance + offsetof(PERF_INSTANCE_DEFINITION, NameOffset));
    const DWORD length = Get32(instance + offsetof(PERF_INSTANCE_DEFINITION, NameLength));
    std::wstring name(length / sizeof(wchar_t) - 1, L'\0');
    std::memcpy(&name[0], instance + offset, name.size() * sizeof(wchar_t));
    return name;
}

// Counter k's value in a block of the object, of either size.
unsigned long long Value(const BYTE *object, const BYTE *block, DWORD k)
{
    const BYTE *counter = object + sizeof(PERF_OBJECT_TYPE) + k * sizeof(PERF_COUNTER_DEFINITION);
    unsigned long long value = 0;
    std::memcpy(&value, block + Get32(counter + offsetof(PERF_COUNTER_DEFINITION, CounterOffset)),
                Get32(counter + offsetof(PERF_COUNTER_DEFINITION, CounterSize)));
    return value;
}

const char *ServiceKind(const BYTE *object)
{
    if (Get32(object + offsetof(PERF_OBJECT_TYPE, NumCounters)) != NumTcpCounters ||
        static_cast<LONG>(Get32(object + offsetof(PERF_OBJECT_TYPE, NumInstances))) != PERF_NO_INSTANCES)
    {
        return "other";
    }
    const BYTE *block = object + Get32(object + offsetof(PERF_OBJECT_TYPE, DefinitionLength));
    bool zeros = true;
    bool published = true;
    for (DWORD k = 0; k < NumTcpCounters; ++k)
    {
        const unsigned long long value = Value(object, block, k);
        zeros = zeros && value == 0;
        published = published && value == PublishedValues[k];
    }
    return zeros ? "zeros" : published ? "published" : "other";
}

const char *ProcessKind(const BYTE *object)
{
    const DWORD instances = Get32(object + offsetof(PERF_OBJECT_TYPE, NumInstances));
    if (Get32(object + offsetof(PERF_OBJECT_TYPE, NumCounters)) != NumProcessConnectionsCounters)
    {
        return "other";
    }
    if (instances == 0)
    {
        return "zeros";
    }
    if (instances != std::size(PublishedInstanceNames))
    {
        return "other";
    }
    const BYTE *at = object + Get32(object + offsetof(PERF_OBJECT_TYPE, DefinitionLength));
    for (DWORD i = 0; i < instances; ++i)
    {
        if (InstanceName(at) != PublishedInstanceNames[i])
        {
            return "other";
        }
        at += Get32(at);
        for (DWORD k = 0; k < NumProcessConnectionsCounters; ++k)
        {
            if (Value(object, at, k) != PublishedInstanceValue(i, k))
            {
                return "other";
            }
        }
        at += Get32(at);
    }
    return "published";
}

} // namespace

std::string AnswerViolation(const BYTE *data, DWORD bytes, DWORD objects, size_t advanced)
{
    if (advanced != bytes || bytes % 8 != 0)
    {
        return "advanced " + N(advanced) + " for " + N(bytes) + " bytes";
    }
    Bytes at = 0;
    for (DWORD i = 0; i < objects; ++i)
    {
        if (bytes - at < sizeof(PERF_OBJECT_TYPE))
        {
            return "object " + N(i) + " past the byte count";
        }
        const std::string violation = ObjectViolation(data + at, bytes - at);
        if (!violation.empty())
        {
            return "object " + N(i) + " " + violation;
        }
        at += Get32(data + at);
    }
    return at == bytes ? std::string() : "objects cover " + N(at) + " of " + N(bytes) + " bytes";
}

const char *AnswerKind(const BYTE *data, DWORD bytes, DWORD objects, DWORD titleIndex)
{
    if (bytes == 0 && objects == 0)
    {
        return "none";
    }
    if (objects == 0 || objects > ServedBytes::NumObjects ||
        Get32(data + offsetof(PERF_OBJECT_TYPE, ObjectNameTitleIndex)) != titleIndex)
    {
        return "other";
    }
    const char *kind = ServiceKind(data);
    if (objects == ServedBytes::NumObjects)
    {
        const BYTE *process = data + Get32(data);
        if (Get32(process + offsetof(PERF_OBJECT_TYPE, ObjectNameTitleIndex)) !=
                titleIndex + ServedBytes::ProcessObjectTitleOffset ||
            std::strcmp(ProcessKind(process), kind) != 0)
        {
            return "other";
        }
    }
    return kind;
}

} // namespace CounterDll
