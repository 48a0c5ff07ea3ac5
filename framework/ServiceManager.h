#pragma once

#include "framework/ServiceManagerBase.h"

namespace CorvaneTools {
namespace Service {

// The service manager of this program: install, remove, run as a process, run as a service.
class CServiceManager : public CServiceManagerBase
{
public:
    // Parses the command line at once; its errors are kept for Run to show.
    CServiceManager(ICommunicateWithSCM &scm, const std::wstring &title, const std::wstring &version,
                    bool runAsProcessWithoutArguments);
    ~CServiceManager() override;

protected:
    RunAction ParseRunAction(int argc, wchar_t **argv, int &index) override;
    DWORD ExecuteRunAction(RunAction action, const std::wstring &messagePrefix) override;
    std::wstring GetRunActionUsage() const override;
};

} // namespace Service
} // namespace CorvaneTools
