#pragma once

#include "framework/ICommunicateServiceStatusToSCM.h"
#include "framework/ServiceConfiguration.h"

#include <string>

// The platform's headers make MessageBox a macro; the operation of that name is ours.
#ifdef MessageBox
#undef MessageBox
#endif

namespace CorvaneTools {
namespace Service {

// Everything else the framework asks of the platform: the process command line, the
// executable, message boxes, installing and removing services, the elevated relaunch and
// the service dispatcher.
class ICommunicateWithSCM : public ICommunicateServiceStatusToSCM
{
public:
    // Both arguments are ignored; debug mode means the services run as a plain process.
    virtual void SetDebugMode(const std::wstring &runAction, const std::wstring &messagePrefix) = 0;
    virtual bool GetDisplayMessages() const = 0;
    virtual void SetDisplayMessages(bool display) = 0;
    // The process's own argument vector, split once and kept.
    virtual int GetCommandLineArgs(wchar_t **&argv) = 0;
    virtual std::wstring GetExecutableName() const = 0;
    virtual std::wstring GetExecutablePath() const = 0;
    virtual void MessageBox(const std::wstring &text, const std::wstring &title) = 0;
    virtual void InstallService(const std::wstring &serviceName, DWORD serviceType,
                                const ServiceConfiguration &configuration, const std::wstring &commandLine) = 0;
    virtual void RemoveService(const std::wstring &serviceName) = 0;
    virtual bool IsVistaOrLater() const = 0;
    // 0 relaunched and ended with exitCode, 1 declined, 2 the relaunch failed (its error in
    // error).
    virtual int RunElevated(const std::wstring &title, const std::wstring &message, DWORD &error,
                            DWORD &exitCode) = 0;
    // Returns the exit code recorded from the services' stop reports.
    virtual DWORD StartDispatcher(const SERVICE_TABLE_ENTRYW *table) = 0;
};

} // namespace Service
} // namespace CorvaneTools
