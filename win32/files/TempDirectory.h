#pragma once

#include <windows.h>

#include <string>

namespace CorvaneTools {
namespace Win32 {

// A new directory under the user's temporary directory, removed with everything in it
// when the object goes.
class CTempDirectory
{
public:
    // Named prefix + "-" + process id + "-" + seconds since 1970.
    explicit CTempDirectory(const std::wstring &prefix);
    ~CTempDirectory();

    CTempDirectory(const CTempDirectory &) = delete;
    CTempDirectory &operator=(const CTempDirectory &) = delete;

    // Full path, ending with "\".
    const std::wstring &GetPath() const;

    // Deletes what it can below directory (ending with "\"), keeping the directory itself;
    // throws afterwards if some file could not be deleted.
    static void RemoveDirectoryContents(const std::wstring &directory);

private:
    static std::wstring CreateTempDirectory(const std::wstring &prefix);
    static bool RemoveContents(const std::wstring &directory);

    std::wstring m_path;
};

} // namespace Win32
} // namespace CorvaneTools
