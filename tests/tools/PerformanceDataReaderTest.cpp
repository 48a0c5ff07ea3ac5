// The reader's checked walk of one object, on objects built by hand, and the session's
// close of the library's key.
#include "tools/PerformanceDataReader.h"

#include <gtest/gtest.h>

#include <cstring>
#include <cwchar>
#include <functional>

using namespace CorvaneTools::Tools;

namespace {

typedef std::vector<BYTE> Bytes;

// Two counters, of 4 bytes at offset 4 and of 8 bytes at offset 8 of a 16-byte block, and,
// unless the object has none, two instances named "a" and "bc".
const DWORD DefinitionLength = sizeof(PERF_OBJECT_TYPE) + 2 * sizeof(PERF_COUNTER_DEFINITION);
const DWORD InstanceLength = sizeof(PERF_INSTANCE_DEFINITION) + 8;
const DWORD BlockLength = 16;

template <typename T>
T &At(Bytes &data, size_t offset)
{
    return *reinterpret_cast<T *>(data.data() + offset);
}

PERF_OBJECT_TYPE &Object(Bytes &data)
{
    return At<PERF_OBJECT_TYPE>(data, 0);
}

PERF_COUNTER_DEFINITION &Counter(Bytes &data, size_t k)
{
    return At<PERF_COUNTER_DEFINITION>(data, sizeof(PERF_OBJECT_TYPE) + k * sizeof(PERF_COUNTER_DEFINITION));
}

PERF_INSTANCE_DEFINITION &Instance(Bytes &data, size_t i)
{
    return At<PERF_INSTANCE_DEFINITION>(data, DefinitionLength + i * (InstanceLength + BlockLength));
}

// The block of this instance, or the object's own block when it has no instances.
PERF_COUNTER_BLOCK &Block(Bytes &data, size_t i)
{
    const bool instances = Object(data).NumInstances != PERF_NO_INSTANCES;
    return At<PERF_COUNTER_BLOCK>(data, DefinitionLength + i * (InstanceLength + BlockLength) +
                                            (instances ? InstanceLength : 0));
}

ULONGLONG First(size_t i)
{
    return 10 * i + 1;
}

ULONGLONG Second(size_t i)
{
    return 0x100000000ull * (i + 1) + 2;
}

void WriteBlock(Bytes &data, size_t at, size_t i)
{
    At<PERF_COUNTER_BLOCK>(data, at).ByteLength = BlockLength;
    At<DWORD>(data, at + 4) = static_cast<DWORD>(First(i));
    At<ULONGLONG>(data, at + 8) = Second(i);
}

Bytes BuildObject(bool instances)
{
    const wchar_t *const names[] = {L"a", L"bc"};
    Bytes data(DefinitionLength + (instances ? 2 * (InstanceLength + BlockLength) : BlockLength));
    PERF_OBJECT_TYPE &object = Object(data);
    object.TotalByteLength = static_cast<DWORD>(data.size());
    object.DefinitionLength = DefinitionLength;
    object.HeaderLength = sizeof(PERF_OBJECT_TYPE);
    object.ObjectNameTitleIndex = 1000;
    object.NumCounters = 2;
    object.NumInstances = instances ? 2 : PERF_NO_INSTANCES;
    for (DWORD k = 0; k < 2; ++k)
    {
        Counter(data, k).ByteLength = sizeof(PERF_COUNTER_DEFINITION);
        Counter(data, k).CounterNameTitleIndex = 1002 + 2 * k;
        Counter(data, k).CounterSize = k == 0 ? 4 : 8;
        Counter(data, k).CounterOffset = k == 0 ? 4 : 8;
    }
    if (!instances)
    {
        WriteBlock(data, DefinitionLength, 0);
        return data;
    }
    for (size_t i = 0; i < 2; ++i)
    {
        PERF_INSTANCE_DEFINITION &instance = Instance(data, i);
        instance.ByteLength = InstanceLength;
        instance.UniqueID = PERF_NO_UNIQUE_ID;
        instance.NameOffset = sizeof(PERF_INSTANCE_DEFINITION);
        instance.NameLength = static_cast<DWORD>((std::wcslen(names[i]) + 1) * sizeof(wchar_t));
        std::memcpy(&instance + 1, names[i], instance.NameLength);
        WriteBlock(data, DefinitionLength + i * (InstanceLength + BlockLength) + InstanceLength, i);
    }
    return data;
}

bool Check(Bytes data, CCheckedObject &checked)
{
    return CPerformanceDataReader::ReadChecked(Object(data), checked);
}

TEST(PerformanceDataReaderTest, TheCheckedWalkCopiesEveryInstanceAndValue)
{
    CCheckedObject checked;
    ASSERT_TRUE(Check(BuildObject(false), checked));
    ASSERT_EQ(2u, checked.counters.size());
    EXPECT_EQ(1004u, checked.counters[1].CounterNameTitleIndex);
    EXPECT_EQ(BlockLength, checked.counterBlockLength);
    ASSERT_EQ(1u, checked.instances.size());
    EXPECT_EQ(L"", checked.instances[0].name);
    EXPECT_EQ((std::vector<ULONGLONG>{First(0), Second(0)}), checked.instances[0].values);

    ASSERT_TRUE(Check(BuildObject(true), checked));
    EXPECT_EQ(0u, checked.counterBlockLength);
    ASSERT_EQ(2u, checked.instances.size());
    EXPECT_EQ(L"a", checked.instances[0].name);
    EXPECT_EQ(L"bc", checked.instances[1].name);
    EXPECT_EQ((std::vector<ULONGLONG>{First(1), Second(1)}), checked.instances[1].values);
}

TEST(PerformanceDataReaderTest, TheCheckedWalkRefusesWhatDoesNotHoldTogether)
{
    const struct
    {
        const char *what;
        bool instances;
        std::function<void(Bytes &)> change;
        bool holds;
    } cases[] = {
        {"good", false, [](Bytes &) {}, true},
        {"good with instances", true, [](Bytes &) {}, true},
        {"instance known by id alone", true, [](Bytes &d) { Instance(d, 1).NameLength = 0; }, true},
        {"header shorter than its fields", false, [](Bytes &d) { Object(d).HeaderLength = 8; }, false},
        {"definitions past the object", false, [](Bytes &d) { Object(d).DefinitionLength += 24; }, false},
        {"more counters than definitions", false, [](Bytes &d) { Object(d).NumCounters = 3; }, false},
        {"counter definition too short", false, [](Bytes &d) { Counter(d, 0).ByteLength = 8; }, false},
        {"counter of 2 bytes", false, [](Bytes &d) { Counter(d, 0).CounterSize = 2; }, false},
        {"counter offset past its block", false, [](Bytes &d) { Counter(d, 1).CounterOffset = 12; }, false},
        {"counter offset past an instance's block", true, [](Bytes &d) { Counter(d, 1).CounterOffset = 9; }, false},
        {"counter block length past the object", false, [](Bytes &d) { Block(d, 0).ByteLength += 1; }, false},
        {"counter block shorter than its length", false, [](Bytes &d) { Block(d, 0).ByteLength = 2; }, false},
        {"last instance's block past the object", true, [](Bytes &d) { Block(d, 1).ByteLength += 1; }, false},
        {"instance count below none", true, [](Bytes &d) { Object(d).NumInstances = -2; }, false},
        {"more instances than the object holds", true, [](Bytes &d) { Object(d).NumInstances = 3; }, false},
        {"instance definition too short", true, [](Bytes &d) { Instance(d, 0).ByteLength = 8; }, false},
        {"instance length past the object", true, [](Bytes &d) { Instance(d, 1).ByteLength = 1000; }, false},
        {"instance name outside its ByteLength", true, [](Bytes &d) { Instance(d, 0).NameLength = 10; }, false},
        {"instance name inside its fixed fields", true, [](Bytes &d) { Instance(d, 0).NameOffset = 20; }, false},
        {"instance name without its NUL", true, [](Bytes &d) { Instance(d, 1).NameLength = 4; }, false},
    };
    for (const auto &test : cases)
    {
        SCOPED_TRACE(test.what);
        Bytes data = BuildObject(test.instances);
        test.change(data);
        CCheckedObject checked;
        EXPECT_EQ(test.holds, Check(data, checked));
        std::vector<std::pair<DWORD, ULONGLONG>> values;
        EXPECT_EQ(test.holds && !test.instances, CPerformanceDataReader::ReadCheckedValues(Object(data), values));
    }
}

int s_closes = 0;

LONG WINAPI CountClose(HKEY key)
{
    s_closes += key == HKEY_PERFORMANCE_DATA ? 1 : 0;
    return ::RegCloseKey(key);
}

TEST(PerformanceDataSessionTest, ClosesTheLibraryKeyOnceAtItsEnd)
{
    s_closes = 0;
    {
        const CPerformanceDataSession session(&CountClose);
        EXPECT_EQ(0, s_closes);
    }
    EXPECT_EQ(1, s_closes);
}

} // namespace
