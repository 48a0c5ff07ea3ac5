#pragma once

// The product's counter DLLs installed for real under the service's own counter-set name,
// and a writer process publishing known values. The writer is the child "CounterWriter"
// of the test program, in CounterWriter.cpp.

#include "counters/TcpCounterSchema.h"
#include "perfmon/PerformanceCounterInstaller.h"
#include "perfmon/PerformanceDataSchemaFileExporter.h"

#include "tests/support/ChildProcess.h"
#include "tests/support/ProviderRegistrationLock.h"
#include "tests/support/TestNames.h"

#include <memory>
#include <string>

namespace TestSupport {

inline std::wstring BuildFolder(const wchar_t *architecture)
{
    return TestSupport::ThisFolder() + L"\\..\\..\\" + architecture;
}

inline std::wstring ProductDll(const wchar_t *architecture)
{
    return BuildFolder(architecture) + L"\\..\\..\\dist\\" + architecture + L"\\TessalyCounters.dll";
}

inline std::wstring Reader(const wchar_t *architecture)
{
    return BuildFolder(architecture) + L"\\bin\\TessalyCounterReader.exe";
}

// The installation, with the registration lock held from before it until after its removal.
class CInstalledProductCounters
{
public:
    CInstalledProductCounters()
    {
        using namespace CorvaneTools::Counters;
        using namespace CorvaneTools::PerfMon;
        CPerformanceCounterInstaller installer;
        if (installer.IsInstalled(TcpCounterSetName))
        {
            installer.Uninstall(TcpCounterSetName);
        }
        CPerformanceDataSchema schema(L"009");
        BuildTcpCounterSchema(schema);
        CPerformanceDataSchemaFileExporter exporter;
        m_installed = installer.Install(TcpCounterSetName, ProductDll(L"x86"), ProductDll(L"x64"),
                                        L"TessalyCounters.dll", exporter.WriteSymbolFile(TcpCounterSetName, schema),
                                        exporter.WriteIniFile(TcpCounterSetName, schema), L"", 10000, 10000,
                                        schema.GetChecksum());
        m_first = installer.FirstCounterIndex(TcpCounterSetName);
    }

    ~CInstalledProductCounters()
    {
        if (!m_removed)
        {
            Uninstall();
        }
    }

    CInstalledProductCounters(const CInstalledProductCounters &) = delete;
    CInstalledProductCounters &operator=(const CInstalledProductCounters &) = delete;

    // The installer's result, and the title index of the object.
    DWORD Installed() const
    {
        return m_installed;
    }

    DWORD First() const
    {
        return m_first;
    }

    // The uninstaller's result; 0 when it removed everything.
    DWORD Uninstall()
    {
        m_removed = true;
        return CorvaneTools::PerfMon::CPerformanceCounterInstaller().Uninstall(
            CorvaneTools::Counters::TcpCounterSetName);
    }

private:
    CProviderRegistrationLock m_lock;
    DWORD m_installed = 0;
    DWORD m_first = 0;
    bool m_removed = false;
};

// A writer for as long as the test holds its stop event.
class CWriter
{
public:
    CWriter()
        : m_readyName(UniqueName(L"writerReady")), m_stopName(UniqueName(L"writerStop")),
          m_ready(::CreateEventW(nullptr, TRUE, FALSE, m_readyName.c_str())),
          m_stop(::CreateEventW(nullptr, TRUE, FALSE, m_stopName.c_str())),
          m_child(new TestSupport::CChildProcess(L"CounterWriter", {m_readyName, m_stopName}))
    {
        const HANDLE either[] = {m_ready, m_child->Handle()};
        m_started = ::WaitForMultipleObjects(2, either, FALSE, 60000) == WAIT_OBJECT_0;
    }

    ~CWriter()
    {
        Stop();
        ::CloseHandle(m_ready);
        ::CloseHandle(m_stop);
    }

    bool Started() const
    {
        return m_started;
    }

    DWORD Stop()
    {
        if (!m_child)
        {
            return m_exitCode;
        }
        ::SetEvent(m_stop);
        m_exitCode = m_child->Wait();
        m_output = m_child->Output();
        m_child.reset();
        return m_exitCode;
    }

    const std::string &Output() const
    {
        return m_output;
    }

private:
    const std::wstring m_readyName;
    const std::wstring m_stopName;
    const HANDLE m_ready;
    const HANDLE m_stop;
    std::unique_ptr<TestSupport::CChildProcess> m_child;
    bool m_started = false;
    DWORD m_exitCode = 0;
    std::string m_output;
};

} // namespace TestSupport
