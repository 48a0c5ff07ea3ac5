#pragma once

#include <string>

// One of the DLL builds the program carries, written out to a temporary file of its own
// for as long as the object lives.
class CResourceDLLDeployer
{
public:
    // The resource, of type "DLL", comes from the program's own module.
    CResourceDLLDeployer(const std::wstring &baseName, const wchar_t *resourceName);
    // Deletes the file; a failure goes to the debugger output only.
    ~CResourceDLLDeployer();

    CResourceDLLDeployer(const CResourceDLLDeployer &) = delete;
    CResourceDLLDeployer &operator=(const CResourceDLLDeployer &) = delete;

    const std::wstring &GetPath() const;

    // Temporary directory + base name + process id + "-" + thread id + "-" + the next value
    // of a process-wide counter + ".tmp"; the file is created empty.
    static std::wstring CreateTemporaryFile(const std::wstring &baseName);

private:
    std::wstring m_path;
};
