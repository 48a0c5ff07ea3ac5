#include "tests/collector/CounterDllHost.h"

#include "tests/collector/PublishedValues.h"
#include "win32/security/ProcessToken.h"

#include <winperf.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

namespace CounterDll {

using namespace CorvaneTools::Counters;

namespace {

DWORD Get32(const BYTE *at)
{
    DWORD value;
    std::memcpy(&value, at, sizeof(value));
    return value;
}

std::string ObjectViolation(const BYTE *object, DWORD room)
{
    const DWORD total = Get32(object);
    const DWORD definition = Get32(object + offsetof(PERF_OBJECT_TYPE, DefinitionLength));
    const DWORD header = Get32(object + offsetof(PERF_OBJECT_TYPE, HeaderLength));
    const DWORD counters = Get32(object + offsetof(PERF_OBJECT_TYPE, NumCounters));
    const LONG instances = static_cast<LONG>(Get32(object + offsetof(PERF_OBJECT_TYPE, NumInstances)));
    if (total > room || total % 8 != 0 || header != sizeof(PERF_OBJECT_TYPE) ||
        definition != header + counters * sizeof(PERF_COUNTER_DEFINITION))
    {
        return "object lengths: total " + std::to_string(total) + ", definition " + std::to_string(definition);
    }
    if (instances != PERF_NO_INSTANCES)
    {
        return "instances where none are published";
    }
    if (total - definition < sizeof(PERF_COUNTER_BLOCK))
    {
        return "no counter block";
    }
    const DWORD block = Get32(object + definition);
    if (block % 8 != 0 || definition + block != total)
    {
        return "counter block length " + std::to_string(block) + " in an object of " + std::to_string(total);
    }
    for (DWORD k = 0; k < counters; ++k)
    {
        const BYTE *counter = object + header + k * sizeof(PERF_COUNTER_DEFINITION);
        const DWORD size = Get32(counter + offsetof(PERF_COUNTER_DEFINITION, CounterSize));
        const DWORD offset = Get32(counter + offsetof(PERF_COUNTER_DEFINITION, CounterOffset));
        if ((size != 4 && size != 8) || offset % size != 0 || offset < sizeof(PERF_COUNTER_BLOCK) ||
            offset + size > block)
        {
            return "counter " + std::to_string(k) + " of " + std::to_string(size) + " bytes at " + std::to_string(offset);
        }
    }
    return std::string();
}

// The kinds of answer a consumer can meet.
const char *Kind(const BYTE *data, DWORD bytes, DWORD objects)
{
    if (bytes == 0 && objects == 0)
    {
        return "none";
    }
    if (objects != 1 || bytes < sizeof(PERF_OBJECT_TYPE) || Get32(data + 32) != NumTcpCounters)
    {
        return "other";
    }
    const DWORD definition = Get32(data + 4);
    bool zeros = true;
    bool published = true;
    for (DWORD k = 0; k < NumTcpCounters; ++k)
    {
        const BYTE *counter = data + sizeof(PERF_OBJECT_TYPE) + k * sizeof(PERF_COUNTER_DEFINITION);
        const DWORD value = Get32(data + definition + Get32(counter + offsetof(PERF_COUNTER_DEFINITION, CounterOffset)));
        zeros = zeros && value == 0;
        published = published && value == PublishedValues[k];
    }
    return zeros ? "zeros" : published ? "published" : "other";
}

const wchar_t *const s_globalPrivilege = L"SeCreateGlobalPrivilege";

bool GlobalPrivilegeEnabled()
{
    return CorvaneTools::Win32::CProcessToken().IsPrivilegeEnabled(s_globalPrivilege);
}

void DisableGlobalPrivilege()
{
    CorvaneTools::Win32::CProcessToken(TOKEN_QUERY | TOKEN_ADJUST_PRIVILEGES).DisablePrivilege(s_globalPrivilege);
}

struct Seen
{
    std::vector<std::string> kinds;
    long collects = 0;
    long others = 0;
    std::string violation;
};

void Collect(const Exports &dll, wchar_t *query, std::vector<BYTE> &buffer, Seen &seen)
{
    void *data = buffer.data();
    DWORD bytes = static_cast<DWORD>(buffer.size());
    DWORD objects = 0;
    const DWORD result = dll.collect(query, &data, &bytes, &objects);
    const size_t advanced = static_cast<BYTE *>(data) - buffer.data();
    ++seen.collects;
    const std::string violation = result != ERROR_SUCCESS ? "result " + std::to_string(result)
                                                          : AnswerViolation(buffer.data(), bytes, objects, advanced);
    if (seen.violation.empty() && !violation.empty())
    {
        seen.violation = violation;
    }
    const std::string kind = Kind(buffer.data(), bytes, objects);
    // A snapshot taken while the writer stores its values mixes two states; such a passing
    // answer is counted, not listed.
    if (kind == "other")
    {
        ++seen.others;
    }
    else if (seen.kinds.empty() || seen.kinds.back() != kind)
    {
        seen.kinds.push_back(kind);
    }
}

} // namespace

std::string AnswerViolation(const BYTE *data, DWORD bytes, DWORD objects, size_t advanced)
{
    if (advanced != bytes || bytes % 8 != 0)
    {
        return "advanced " + std::to_string(advanced) + " for " + std::to_string(bytes) + " bytes";
    }
    DWORD at = 0;
    for (DWORD i = 0; i < objects; ++i)
    {
        if (bytes - at < sizeof(PERF_OBJECT_TYPE))
        {
            return "object " + std::to_string(i) + " past the byte count";
        }
        const std::string violation = ObjectViolation(data + at, bytes - at);
        if (!violation.empty())
        {
            return violation;
        }
        at += Get32(data + at);
    }
    return at == bytes ? std::string() : "objects cover " + std::to_string(at) + " of " + std::to_string(bytes) + " bytes";
}

bool TryGlobalPrivilege()
{
    CorvaneTools::Win32::CProcessToken token(TOKEN_QUERY | TOKEN_ADJUST_PRIVILEGES);
    const bool held = token.EnablePrivilegeIfHeld(s_globalPrivilege);
    if (held)
    {
        token.DisablePrivilege(s_globalPrivilege);
    }
    return held;
}

void Watch(const Exports &dll, DWORD titleIndex, int threads, const std::wstring &events)
{
    DisableGlobalPrivilege();
    const bool disabledBefore = !GlobalPrivilegeEnabled();
    const HANDLE stop = ::OpenEventW(SYNCHRONIZE, FALSE, (events + L"_stop").c_str());
    const HANDLE started = ::OpenEventW(EVENT_MODIFY_STATE, FALSE, (events + L"_started").c_str());
    std::printf("open %lu\n", dll.open(nullptr));
    std::vector<Seen> seen(threads);
    std::atomic<int> running{0};
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t)
    {
        workers.emplace_back([&, t] {
            std::vector<BYTE> buffer(4096);
            std::wstring index = std::to_wstring(titleIndex);
            wchar_t global[] = L"Global";
            for (long n = 0; ::WaitForSingleObject(stop, 0) == WAIT_TIMEOUT; ++n)
            {
                Collect(dll, n % 2 == 0 ? &index[0] : global, buffer, seen[t]);
                if (n == 0 && ++running == threads)
                {
                    ::SetEvent(started);
                }
            }
        });
    }
    for (std::thread &worker : workers)
    {
        worker.join();
    }
    std::printf("close %lu\n", dll.close());
    for (int t = 0; t < threads; ++t)
    {
        std::string kinds;
        for (const std::string &kind : seen[t].kinds)
        {
            kinds += (kinds.empty() ? "" : ",") + kind;
        }
        std::printf("thread %d kinds %s collects %ld others %ld violation %s\n", t, kinds.c_str(), seen[t].collects,
                    seen[t].others, seen[t].violation.empty() ? "none" : seen[t].violation.c_str());
    }
    std::printf("privilege disabled before %d after %d\n", disabledBefore ? 1 : 0, GlobalPrivilegeEnabled() ? 0 : 1);
}

} // namespace CounterDll
