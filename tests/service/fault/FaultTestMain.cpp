// Tessaly with tables that misbehave on purpose, chosen by the environment variable
// TESSALY_FAULT:
//   access    every table call writes through a null pointer
//   repeat    the first table call faults six times in a row, each fault caught
//   purecall  the first table call makes a pure virtual call
//   build     making the service throws, before the program has a log
// Anything else samples the platform's tables. Started by the service control manager, whose
// environment it does not share, the start argument "/refuseStart" makes its start throw. Its dumps are of kind 1 (a fifth of a
// megabyte) unless TESSALY_DUMP_KIND names another.
#include "service/ProgramEntry.h"
#include "service/Service.h"
#include "win32/crash/SEHException.h"
#include "win32/errors/Exception.h"
#include "win32/system/LibraryLoader.h"

#include <windows.h>

#include <cstdlib>
#include <string>

using namespace CorvaneTools::TessalyService;

namespace FaultTest {

struct CHalfMade;
void CallPure(CHalfMade *object);

struct CHalfMade
{
    // While it is being made its vtable slot is still the abstract class's.
    CHalfMade()
    {
        CallPure(this);
    }
    virtual ~CHalfMade() = default;
    virtual void Pure() = 0;
};

// Out of the compiler's sight, or it calls the one override it can see instead.
__attribute__((noipa)) void CallPure(CHalfMade *object)
{
    object->Pure();
}

struct CMade : CHalfMade
{
    void Pure() override
    {
    }
};

} // namespace FaultTest

namespace {

volatile int *volatile s_nowhere = nullptr;

class CFaultingTables : public ITcpTables
{
public:
    explicit CFaultingTables(const std::string &mode) : m_mode(mode), m_calls(0)
    {
    }

    DWORD GetExtendedTcpTable(void *table, DWORD *size) override
    {
        if (m_mode == "access" || (m_mode == "repeat" && m_calls == 0) || (m_mode == "purecall" && m_calls == 0))
        {
            ++m_calls;
            Misbehave();
        }
        return m_platform.GetExtendedTcpTable(table, size);
    }

    DWORD GetExtendedTcp6Table(void *table, DWORD *size) override
    {
        return m_platform.GetExtendedTcp6Table(table, size);
    }

    bool HasTcp6Table() const override
    {
        return m_platform.HasTcp6Table();
    }

private:
    void Misbehave()
    {
        if (m_mode == "purecall")
        {
            FaultTest::CMade made;
        }
        else if (m_mode == "repeat")
        {
            for (int i = 0; i < 6; ++i)
            {
                try
                {
                    *s_nowhere = i;
                }
                catch (const CorvaneTools::Win32::CSEHException &)
                {
                }
            }
        }
        else
        {
            *s_nowhere = 1;
        }
    }

    const std::string m_mode;
    int m_calls;
    CPlatformTcpTables m_platform;
};

class CFaultingService : public CService
{
public:
    explicit CFaultingService(const std::string &mode) : CService(m_faulting), m_faulting(mode)
    {
    }

    DWORD OnServiceStart(CorvaneTools::Service::IShutdownService &shutdown,
                         CorvaneTools::Service::IReportServiceStatus &status,
                         CorvaneTools::Service::IManageServiceNotifications &notifications, DWORD argc,
                         wchar_t **argv) override
    {
        for (DWORD i = 1; i < argc; ++i)
        {
            if (std::wstring(argv[i]) == L"/refuseStart")
            {
                throw CorvaneTools::Win32::CException(L"CFaultingService::OnServiceStart()", L"start refused");
            }
        }
        return CService::OnServiceStart(shutdown, status, notifications, argc, argv);
    }

private:
    CFaultingTables m_faulting;
};

std::unique_ptr<CService> MakeService()
{
    const char *mode = std::getenv("TESSALY_FAULT");
    if (mode && std::string(mode) == "build")
    {
        throw CorvaneTools::Win32::CException(L"MakeService()", L"no service made");
    }
    return std::unique_ptr<CService>(new CFaultingService(mode ? mode : ""));
}

} // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int)
{
    CorvaneTools::Win32::RestrictLibrarySearchToSystemDirectory();
    const char *kind = std::getenv("TESSALY_DUMP_KIND");
    return static_cast<int>(RunProgram(&MakeService, kind ? std::strtoul(kind, nullptr, 10) : 1));
}
