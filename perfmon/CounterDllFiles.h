#pragma once

// What the counter installer knows about the files it places: the system directories of
// both kinds, the images it reads, and whether a copy there may be removed.
#include "perfmon/IInstallPerformanceMonitorCounters.h"

#include <windows.h>

#include <string>
#include <vector>

namespace CorvaneTools {
namespace PerfMon {

// The file read once; its bytes are then checked and written.
struct CFileImage
{
    explicit CFileImage(const std::wstring &path);
    std::vector<BYTE> bytes;
    IInstallPerformanceMonitorCounters::CDllImage image;
};

bool FileExists(const std::wstring &path);

// 32-bit code on a 64-bit system sees the 32-bit system directory under the name of the
// 64-bit one unless redirection is switched off.
bool SystemDirectoryIsRedirected();

// Whether the system has a 32-bit system directory beside its own.
bool HasRedirection();

bool IsVistaOrLater();

// The copies of fileName in the system directories: the system's own first, then the
// 32-bit one where there is one.
std::vector<std::wstring> SystemCopyPaths(const std::wstring &fileName);

} // namespace PerfMon
} // namespace CorvaneTools
