#pragma once

#include "tests/support/TestNames.h"

#include <windows.h>

#include <stdexcept>
#include <string>

namespace TestSupport {

// A new directory under the temporary directory, without its trailing "\"; the tree
// below it is removed with the platform's own calls when the object goes.
class CScratchDirectory
{
public:
    explicit CScratchDirectory(const std::wstring &what);
    ~CScratchDirectory();

    CScratchDirectory(const CScratchDirectory &) = delete;
    CScratchDirectory &operator=(const CScratchDirectory &) = delete;

    const std::wstring &Path() const;
    std::wstring operator/(const std::wstring &name) const;

private:
    std::wstring m_path;
};

void RemoveTree(const std::wstring &path);
bool Exists(const std::wstring &path);
void WriteBytes(const std::wstring &path, const std::string &bytes);
std::string ReadBytes(const std::wstring &path);

} // namespace TestSupport
