#include "service/TcpStatistics.h"

#include "tests/service/ApplicationTestSupport.h"

#include <gtest/gtest.h>

using namespace CorvaneTools::Counters;
using namespace CorvaneTools::TessalyService;
using namespace ApplicationTest;

namespace {

const wchar_t *const s_parameters = L"SYSTEM\\CurrentControlSet\\Services\\Tcpip\\Parameters";

// One TCP/IP parameter set as the test wants it, and put back as it was.
class CScopedParameter
{
public:
    CScopedParameter(const wchar_t *name, DWORD type, const void *data, DWORD bytes) : m_name(name), m_saved(false)
    {
        DWORD size = sizeof(m_old);
        m_saved = ::RegGetValueW(HKEY_LOCAL_MACHINE, s_parameters, name, RRF_RT_ANY | RRF_NOEXPAND, &m_type, m_old,
                                 &size) == ERROR_SUCCESS;
        m_size = size;
        ::RegSetKeyValueW(HKEY_LOCAL_MACHINE, s_parameters, name, type, data, bytes);
    }

    ~CScopedParameter()
    {
        if (m_saved)
        {
            ::RegSetKeyValueW(HKEY_LOCAL_MACHINE, s_parameters, m_name, m_type, m_old, m_size);
        }
        else
        {
            ::RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, s_parameters, m_name);
        }
    }

    CScopedParameter(const CScopedParameter &) = delete;
    CScopedParameter &operator=(const CScopedParameter &) = delete;

private:
    const wchar_t *m_name;
    bool m_saved;
    DWORD m_type = 0;
    DWORD m_size = 0;
    BYTE m_old[256] = {};
};

struct CheckCase
{
    const wchar_t *name;
    void (CTcpStatistics::*check)();
    TcpCounter counter;
    const char *notSetLine;
};

const CheckCase s_checks[] = {
    {L"MaxUserPort", &CTcpStatistics::CheckMaxUserPortValue, MaxUserPort,
     "CService::CheckMaxUserPortValue() - HKLM\\SYSTEM\\CurrentControlSet\\Services\\TcpIp\\Parameters\\MaxUserPort "
     "is NOT set"},
    {L"TcpTimedWaitDelay", &CTcpStatistics::CheckTcpTimedWaitDelayValue, TcpTimedWaitDelay,
     "CService::ReadMaxUserPortValue() - HKLM\\SYSTEM\\CurrentControlSet\\Services\\TcpIp\\Parameters\\"
     "TcpTimedWaitDelay is NOT set"},
};

// A sampler publishing into counters of the test's own, for the registry checks.
struct CCheckedStatistics
{
    CCheckedStatistics() : statistics(tables)
    {
        statistics.SetCounters(&published.Counters());
    }

    // Runs one check with the counter at a non-zero value first, so that 0 is shown written.
    std::vector<std::string> Run(const CheckCase &c)
    {
        c.counter == MaxUserPort ? published.Counters().SetMaxUserPort(77)
                                 : published.Counters().SetTcpTimedWaitDelay(77);
        CCapturedLog log;
        (statistics.*c.check)();
        return log.Messages();
    }

    CPublishedCounters published;
    CFakeTcpTables tables;
    CTcpStatistics statistics;
};

} // namespace

TEST(RegistryCheckTest, AnAbsentValueGivesZeroAndTheNotSetLine)
{
    for (const CheckCase &c : s_checks)
    {
        CCheckedStatistics checked;
        if (::RegGetValueW(HKEY_LOCAL_MACHINE, s_parameters, c.name, RRF_RT_ANY, nullptr, nullptr, nullptr) ==
            ERROR_SUCCESS)
        {
            ADD_FAILURE() << "this platform's registry is expected to lack the value";
            continue;
        }
        EXPECT_EQ(std::vector<std::string>({c.notSetLine}), checked.Run(c));
        EXPECT_EQ(0u, checked.published[c.counter]);
    }
}

TEST(RegistryCheckTest, APresentValueReachesItsCounterSilently)
{
    for (const CheckCase &c : s_checks)
    {
        CCheckedStatistics checked;
        const DWORD value = c.counter == MaxUserPort ? 65534 : 30;
        CScopedParameter parameter(c.name, REG_DWORD, &value, sizeof(value));
        EXPECT_TRUE(checked.Run(c).empty());
        EXPECT_EQ(value, checked.published[c.counter]);
        EXPECT_EQ(0u, checked.published[c.counter == MaxUserPort ? TcpTimedWaitDelay : MaxUserPort]) << "only its own";
    }
}

TEST(RegistryCheckTest, AValueOfAnotherTypeOrSizeCountsAsNotSet)
{
    const wchar_t text[] = L"65534";
    const BYTE eight[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    const WORD two = 5000;
    const struct
    {
        DWORD type;
        const void *data;
        DWORD bytes;
    } wrongs[] = {
        {REG_SZ, text, sizeof(text)},
        {REG_BINARY, eight, sizeof(eight)},
        {REG_QWORD, eight, sizeof(eight)},
        {REG_DWORD, &two, sizeof(two)},
    };
    for (const CheckCase &c : s_checks)
    {
        for (const auto &wrong : wrongs)
        {
            CCheckedStatistics checked;
            CScopedParameter parameter(c.name, wrong.type, wrong.data, wrong.bytes);
            EXPECT_EQ(std::vector<std::string>({c.notSetLine}), checked.Run(c)) << wrong.type;
            EXPECT_EQ(0u, checked.published[c.counter]) << wrong.type;
        }
    }
}
