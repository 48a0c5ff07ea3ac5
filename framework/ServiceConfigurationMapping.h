#pragma once

#include <windows.h>

namespace CorvaneTools {
namespace Service {

// Framework start type (ServiceConfiguration::StartType) to the platform's.
DWORD MapStartupType(LONG startType);
// Framework SID type (ServiceConfiguration::SidType) to the platform's.
DWORD MapServiceSidType(LONG sidType);

} // namespace Service
} // namespace CorvaneTools
