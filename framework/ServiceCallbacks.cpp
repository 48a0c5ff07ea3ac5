#include "framework/ServiceCallbacks.h"

namespace CorvaneTools {
namespace Service {

void CServiceCallbacks::OnUserControl(DWORD, DWORD)
{
}

void CServiceCallbacks::OnParamChange()
{
}

void CServiceCallbacks::OnNetBindChange(DWORD)
{
}

void CServiceCallbacks::OnSessionChange(DWORD, DWORD)
{
}

bool CServiceCallbacks::OnDeviceQueryRemove(void *, CServiceControlDispatcher &)
{
    return true;
}

void CServiceCallbacks::OnDeviceEvent(DWORD, void *, CServiceControlDispatcher &)
{
}

bool CServiceCallbacks::OnHardwareProfileQueryChange(CServiceControlDispatcher &)
{
    return true;
}

void CServiceCallbacks::OnHardwareProfileChanged(DWORD)
{
}

void CServiceCallbacks::OnPowerEvent(DWORD)
{
}

bool CServiceCallbacks::OnPowerQuerySuspend(DWORD, CServiceControlDispatcher &)
{
    return true;
}

DWORD CServiceCallbacks::OnException()
{
    return UseDefaultExitCode;
}

DWORD CServiceCallbacks::OnException(const std::exception &)
{
    return UseDefaultExitCode;
}

DWORD CServiceCallbacks::OnException(const Win32::CSEHException &)
{
    return UseDefaultExitCode;
}

DWORD CServiceCallbacks::OnException(const Win32::CException &)
{
    return UseDefaultExitCode;
}

} // namespace Service
} // namespace CorvaneTools
