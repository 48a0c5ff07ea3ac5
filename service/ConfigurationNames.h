#pragma once

#include <string>

// Where the service keeps its configuration and its log, named once for the program and
// for the installer package, which keeps the configuration across an upgrade and clears
// the log away with the program.
namespace CorvaneTools {
namespace TessalyService {

constexpr const wchar_t ServicesKeyPath[] = L"SYSTEM\\CurrentControlSet\\Services\\";
constexpr const wchar_t ConfigKeyName[] = L"Config";
constexpr const wchar_t PollValueName[] = L"Poll";
constexpr const wchar_t LogValueName[] = L"Log";
constexpr const wchar_t LogPathValueName[] = L"LogPath";
constexpr const wchar_t LogFileName[] = L"CorvaneTessaly.log";

// Under HKLM.
inline std::wstring ServiceKeyPath(const std::wstring &serviceName)
{
    return ServicesKeyPath + serviceName;
}

inline std::wstring ConfigKeyPath(const std::wstring &serviceName)
{
    return ServiceKeyPath(serviceName) + L"\\" + ConfigKeyName;
}

} // namespace TessalyService
} // namespace CorvaneTools
