#pragma once

#include <windows.h>

namespace CorvaneTools {
namespace TessalyService {

// The platform calls that tell which program a process id stands for, behind one face so
// that a test can plant processes, names and reused ids.
class IProcessIdentities
{
public:
    // A handle kept for as long as the process's name is: while it is open the id cannot be
    // given to another process ("the identifier is valid ... until all handles to the
    // process are closed and the process object is freed; at this point, the identifier may
    // be reused", PROCESS_INFORMATION). Null when the process cannot be opened.
    virtual HANDLE Open(DWORD pid) = 0;
    virtual void Close(HANDLE process) = 0;
    // In the platform's FILETIME units; false when it cannot be read.
    virtual bool GetCreationTime(HANDLE process, ULONGLONG &time) = 0;
    // The full image path into path (capacity in characters, in; length without the
    // terminator, out); false when it cannot be read or does not fit.
    virtual bool GetImagePath(HANDLE process, wchar_t *path, DWORD &length) = 0;

protected:
    ~IProcessIdentities() = default;
};

// The real calls: OpenProcess with PROCESS_QUERY_LIMITED_INFORMATION, which is all that
// GetProcessTimes and QueryFullProcessImageNameW need and which protected processes grant
// too ("Process Security and Access Rights").
class CPlatformProcessIdentities : public IProcessIdentities
{
public:
    HANDLE Open(DWORD pid) override;
    void Close(HANDLE process) override;
    bool GetCreationTime(HANDLE process, ULONGLONG &time) override;
    bool GetImagePath(HANDLE process, wchar_t *path, DWORD &length) override;
};

} // namespace TessalyService
} // namespace CorvaneTools
