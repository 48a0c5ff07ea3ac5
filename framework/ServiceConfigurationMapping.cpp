#include "framework/ServiceConfigurationMapping.h"

#include "framework/ServiceConfiguration.h"
#include "win32/errors/Exception.h"
#include "win32/text/ToString.h"

namespace CorvaneTools {
namespace Service {

// The where-texts name the manager interface, as every report of a failed install does.
DWORD MapStartupType(LONG startType)
{
    switch (startType)
    {
    case ServiceConfiguration::Disabled:
        return SERVICE_DISABLED;
    case ServiceConfiguration::Manual:
        return SERVICE_DEMAND_START;
    case ServiceConfiguration::Automatic:
    case ServiceConfiguration::AutomaticDelayed:
        return SERVICE_AUTO_START;
    default:
        throw Win32::CException(L"CServiceControlManagerInterface::MapStartupType()",
                                L"Unexpected service startup type: " +
                                    Win32::ToHexString(static_cast<unsigned long>(startType), Win32::HexPrefix));
    }
}

DWORD MapServiceSidType(LONG sidType)
{
    switch (sidType)
    {
    case ServiceConfiguration::SidNotConfigured:
    case ServiceConfiguration::SidNone:
        return SERVICE_SID_TYPE_NONE;
    case ServiceConfiguration::SidRestricted:
        return SERVICE_SID_TYPE_RESTRICTED;
    case ServiceConfiguration::SidUnrestricted:
        return SERVICE_SID_TYPE_UNRESTRICTED;
    default:
        throw Win32::CException(L"CServiceControlManagerInterface::MapServiceSidType()",
                                L"Unexpected service SID type: " +
                                    Win32::ToHexString(static_cast<unsigned long>(sidType), Win32::HexPrefix));
    }
}

} // namespace Service
} // namespace CorvaneTools
