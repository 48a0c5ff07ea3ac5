#include "framework/ServiceManager.h"
#include "win32/errors/Exception.h"
#include "win32/errors/Win32Exception.h"

#include "tests/framework/RecordingScm.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cwctype>
#include <random>
#include <set>
#include <stdexcept>

using namespace CorvaneTools::Service;
using FrameworkTestSupport::CFakeService;
using FrameworkTestSupport::CRecordingScm;

namespace {

const unsigned s_seed = 20240613;
const int s_vectors = 3000;

class CArgumentGenerator
{
public:
    explicit CArgumentGenerator(unsigned seed) : m_random(seed)
    {
    }

    std::vector<std::wstring> Vector()
    {
        std::vector<std::wstring> arguments(Below(7));
        for (auto &argument : arguments)
        {
            argument = Argument();
        }
        return arguments;
    }

    unsigned Below(unsigned limit)
    {
        return std::uniform_int_distribution<unsigned>(0, limit - 1)(m_random);
    }

private:
    std::wstring Argument()
    {
        static const wchar_t *const names[] = {L"install", L"remove",  L"run",    L"debug",    L"service",
                                               L"help",    L"?",       L"noMessages", L"poll", L"createLog",
                                               L"logPath", L"unknown", L"",       L"install:x"};
        static const wchar_t *const oddities[] = {
            L"",         L" ",          L"\"/install\"", L"5",      L"-1",        L"C:\\Logs\\",
            L"\u00e9t\u00e9", L"/\u4e2d\u6587", L"-\u00c9COUTE", L"\t", L"/install /remove", L"\"",
        };
        switch (Below(4))
        {
        case 0:
            return oddities[Below(sizeof(oddities) / sizeof(oddities[0]))];
        case 1:
            if (Below(8) == 0)
            {
                return std::wstring(1, L"-/"[Below(2)]) + std::wstring(1 + Below(40000), L'x');
            }
            // fall through
        default:
            return std::wstring(1, L"-/"[Below(2)]) + RandomCase(names[Below(sizeof(names) / sizeof(names[0]))]);
        }
    }

    std::wstring RandomCase(std::wstring name)
    {
        for (auto &c : name)
        {
            c = Below(2) != 0 ? std::towupper(c) : std::towlower(c);
        }
        return name;
    }

    std::mt19937 m_random;
};

// The counter outcomes a service may give, thrown failures among them.
void ChooseCounters(CFakeService &service, unsigned choice)
{
    service.m_configuration.hasPerformanceCounters = choice != 0;
    switch (choice)
    {
    case 1:
        service.m_counters = [](std::wstring &) { return false; };
        break;
    case 2:
        service.m_counters = [](std::wstring &) -> bool {
            throw CorvaneTools::Win32::CWin32Exception(L"X::Y()", ERROR_ACCESS_DENIED);
        };
        break;
    case 3:
        service.m_counters = [](std::wstring &) -> bool { throw std::runtime_error("broken"); };
        break;
    case 4:
        service.m_counters = [](std::wstring &) -> bool { throw 42; };
        break;
    default:
        break;
    }
}

TEST(ServiceManagerFuzzTest, RandomCommandLinesEndInAKnownExitCode)
{
    std::printf("seed %u\n", s_seed);
    CArgumentGenerator generator(s_seed);
    const std::set<DWORD> allowed = {0, 3, 4, 5, 255};
    std::set<DWORD> seen;
    for (int n = 0; n < s_vectors; ++n)
    {
        const std::vector<std::wstring> arguments = generator.Vector();
        CRecordingScm scm(arguments);
        scm.m_vistaOrLater = generator.Below(2) != 0;
        scm.m_accessDenied = generator.Below(4) == 0;
        scm.m_elevationOutcome = static_cast<int>(generator.Below(3));
        CFakeService service;
        ChooseCounters(service, generator.Below(6));
        DWORD result = 0xFFFFFFFF;
        try
        {
            CServiceManager manager(scm, L"Tessaly Test", L"1.2.3.4", false);
            manager.AddService(service);
            manager.ProcessCommandLine();
            result = manager.Run();
        }
        catch (...)
        {
            ADD_FAILURE() << "vector " << n << ": Run threw";
        }
        seen.insert(result);
        if (allowed.count(result) == 0)
        {
            ADD_FAILURE() << "vector " << n << ": exit code " << result;
        }
    }
    // The generator reaches every outcome, or the test proves less than it says.
    EXPECT_EQ(allowed, seen);
}

} // namespace
