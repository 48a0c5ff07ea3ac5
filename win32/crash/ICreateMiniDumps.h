#pragma once

#include <windows.h>

#include <string>

namespace CorvaneTools {
namespace Win32 {

// Something that names and writes crash dump files; the dump policy writes through one.
// Never deleted through this interface: the application owns its dumper.
class ICreateMiniDumps
{
public:
    // Directory and base name shared by every dump file of this dumper.
    virtual std::wstring GetDumpFileNamePrefix() = 0;
    // A new, unique dump file name.
    virtual std::wstring GetDumpFileName() = 0;
    // Without exception information the dump carries the calling thread's state.
    virtual bool CreateMiniDump(const std::wstring &fileName, EXCEPTION_POINTERS *information) = 0;
    virtual bool CreateMiniDump(EXCEPTION_POINTERS *information) = 0;

protected:
    ~ICreateMiniDumps() = default;
};

} // namespace Win32
} // namespace CorvaneTools
