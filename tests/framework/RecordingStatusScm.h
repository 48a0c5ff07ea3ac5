#pragma once

#include "framework/ICommunicateServiceStatusToSCM.h"
#include "framework/IDeviceNotificationPlatform.h"
#include "win32/errors/Win32Exception.h"

#include <algorithm>
#include <functional>
#include <array>
#include <vector>

namespace FrameworkTestSupport {

// The seven fields of a status record, in the platform's order.
typedef std::array<DWORD, 7> StatusFields;

inline StatusFields Fields(const SERVICE_STATUS &status)
{
    return {status.dwServiceType,   status.dwCurrentState,           status.dwControlsAccepted,
            status.dwWin32ExitCode, status.dwServiceSpecificExitCode, status.dwCheckPoint,
            status.dwWaitHint};
}

// Records what a status object tells the service control manager; nothing reaches the
// platform. A non-zero error makes the matching call throw, as the real interface does. Not
// locked: tests order the threads that report.
class CRecordingStatusScm : public CorvaneTools::Service::ICommunicateServiceStatusToSCM
{
public:
    explicit CRecordingStatusScm(bool debugMode = false) : m_debugMode(debugMode)
    {
    }

    // What registration hands out outside debug mode.
    static SERVICE_STATUS_HANDLE Handle()
    {
        return reinterpret_cast<SERVICE_STATUS_HANDLE>(static_cast<ULONG_PTR>(0x5EED));
    }

    SERVICE_STATUS_HANDLE RegisterControlHandler(const std::wstring &serviceName, LPHANDLER_FUNCTION_EX handler,
                                                 void *context) override
    {
        ++m_registrations;
        m_serviceName = serviceName;
        m_handler = handler;
        m_context = context;
        if (m_registrationError != 0)
        {
            throw CorvaneTools::Win32::CWin32Exception(L"CServiceControlManagerInterface::RegisterControlHandler()",
                                                       m_registrationError);
        }
        return m_debugMode ? nullptr : Handle();
    }

    SERVICE_STATUS_HANDLE RegisterControlHandler(const std::wstring &serviceName, LPHANDLER_FUNCTION) override
    {
        ++m_plainRegistrations;
        m_serviceName = serviceName;
        return m_debugMode ? nullptr : Handle();
    }

    void SetStatus(SERVICE_STATUS_HANDLE handle, const SERVICE_STATUS &status) override
    {
        if (m_reportError != 0)
        {
            throw CorvaneTools::Win32::CWin32Exception(L"CServiceControlManagerInterface::SetStatus()", m_reportError);
        }
        if (m_beforeRecording)
        {
            m_beforeRecording(status);
        }
        m_handles.push_back(handle);
        m_reports.push_back(Fields(status));
    }

    bool IsDebugMode() const override
    {
        return m_debugMode;
    }

    bool m_debugMode;
    DWORD m_registrationError = 0;
    DWORD m_reportError = 0;

    int m_registrations = 0;
    int m_plainRegistrations = 0;
    std::wstring m_serviceName;
    LPHANDLER_FUNCTION_EX m_handler = nullptr;
    void *m_context = nullptr;

    std::vector<SERVICE_STATUS_HANDLE> m_handles;
    std::vector<StatusFields> m_reports;
    // Runs inside each report before it is recorded, as a slow delivery would.
    std::function<void(const SERVICE_STATUS &)> m_beforeRecording;
};

// Records the filter records handed to the platform; a non-zero error makes every call fail.
class CRecordingDevices : public CorvaneTools::Service::IDeviceNotificationPlatform
{
public:
    struct Registration
    {
        HANDLE recipient;
        std::vector<BYTE> filter;
        DWORD flags;
    };

    // The platform handle of the n-th registration, counting from 1.
    static HDEVNOTIFY Issued(size_t n)
    {
        return reinterpret_cast<HDEVNOTIFY>(static_cast<ULONG_PTR>(0x1000 + n));
    }

    HDEVNOTIFY Register(HANDLE recipient, void *filter, DWORD flags) override
    {
        ::SetLastError(m_error);
        if (m_error != 0)
        {
            return nullptr;
        }
        // As many bytes as the record's size field says.
        const BYTE *bytes = static_cast<const BYTE *>(filter);
        const DWORD size = std::min<DWORD>(*static_cast<const DWORD *>(filter), 64);
        m_registered.push_back({recipient, std::vector<BYTE>(bytes, bytes + size), flags});
        return Issued(m_registered.size());
    }

    bool Unregister(HDEVNOTIFY notification) override
    {
        ::SetLastError(m_error);
        if (m_error == 0)
        {
            m_unregistered.push_back(notification);
        }
        return m_error == 0;
    }

    DWORD m_error = 0;
    std::vector<Registration> m_registered;
    std::vector<HDEVNOTIFY> m_unregistered;
};

} // namespace FrameworkTestSupport
