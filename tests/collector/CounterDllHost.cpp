#include "tests/collector/CounterDllHost.h"

#include "tests/collector/ServedBytes.h"
#include "win32/security/ProcessToken.h"

#include <winperf.h>

#include <atomic>
#include <cstdio>
#include <thread>
#include <vector>

namespace CounterDll {

namespace {

// Room for every object of the set with every instance slot in use.
const DWORD BufferBytes = 65536;

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

// A query of the set's first title index is served the service object alone, "Global" every
// object of the set; nothing while no counters are installed.
void Collect(const Exports &dll, wchar_t *query, DWORD titleIndex, DWORD expectedObjects, std::vector<BYTE> &buffer,
             Seen &seen)
{
    void *data = buffer.data();
    DWORD bytes = static_cast<DWORD>(buffer.size());
    DWORD objects = 0;
    const DWORD result = dll.collect(query, &data, &bytes, &objects);
    const size_t advanced = static_cast<BYTE *>(data) - buffer.data();
    ++seen.collects;
    std::string violation = result != ERROR_SUCCESS ? "result " + std::to_string(result)
                                                    : AnswerViolation(buffer.data(), bytes, objects, advanced);
    if (violation.empty() && objects != 0 && objects != expectedObjects)
    {
        violation = std::to_string(objects) + " objects where " + std::to_string(expectedObjects) + " are asked for";
    }
    if (seen.violation.empty() && !violation.empty())
    {
        seen.violation = violation;
    }
    const std::string kind = violation.empty() ? AnswerKind(buffer.data(), bytes, objects, titleIndex) : "other";
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
            std::vector<BYTE> buffer(BufferBytes);
            std::wstring index = std::to_wstring(titleIndex);
            wchar_t global[] = L"Global";
            for (long n = 0; ::WaitForSingleObject(stop, 0) == WAIT_TIMEOUT; ++n)
            {
                const bool byIndex = n % 2 == 0;
                Collect(dll, byIndex ? &index[0] : global, titleIndex, byIndex ? 1u : ServedBytes::NumObjects, buffer,
                        seen[t]);
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
