#pragma once

#include "win32/handles/SmartHandle.h"

#include <windows.h>

#include <string>
#include <vector>

namespace CorvaneTools {
namespace Win32 {

// A new folder only SYSTEM and Administrators may use, for files handed to another
// program by path. It is held open without delete sharing, so no one can move it aside
// while it lives; going, it deletes exactly the files it made and itself, and nothing
// that a link put in their place.
class CStagingDirectory
{
public:
    // Under StagingParent().
    explicit CStagingDirectory(const std::wstring &prefix);
    // parent ends with "\".
    CStagingDirectory(const std::wstring &parent, const std::wstring &prefix);
    ~CStagingDirectory();

    CStagingDirectory(const CStagingDirectory &) = delete;
    CStagingDirectory &operator=(const CStagingDirectory &) = delete;

    // Full path, ending with "\".
    const std::wstring &GetPath() const;

    // A new file of that name here with exactly these bytes; returns its full path.
    std::wstring SaveFile(const std::wstring &name, const std::string &bytes);

    // %SystemRoot%\Temp\ when it exists and no one but the trusted accounts can write it,
    // else the user's temporary folder.
    static std::wstring StagingParent();

private:
    struct CMadeFile
    {
        std::wstring name;
        BY_HANDLE_FILE_INFORMATION identity;
    };

    void Create(const std::wstring &parent, const std::wstring &prefix);
    bool StillOurs() const;
    void DeleteMadeFile(const CMadeFile &file) const;

    std::wstring m_path;
    CSmartHandle m_directory;
    BY_HANDLE_FILE_INFORMATION m_identity;
    std::vector<CMadeFile> m_files;
};

} // namespace Win32
} // namespace CorvaneTools
