#pragma once

#include "win32/handles/UniqueOwners.h"

#include <windows.h>

#include <stdexcept>
#include <string>

namespace CorvaneTools {
namespace Tools {

// Raised when the output cannot be opened or written; the tool ends with its own exit code.
class COutputError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

// Where the sampled rows go: the process's standard output, or a file of its own.
class CSampleOutput
{
public:
    // Standard output, which is not closed here.
    CSampleOutput();
    // A new file; an existing one is truncated only when overwrite is true. Throws COutputError.
    CSampleOutput(const std::wstring &path, bool overwrite);

    CSampleOutput(const CSampleOutput &) = delete;
    CSampleOutput &operator=(const CSampleOutput &) = delete;

    // Writes the text in the system ANSI code page, every byte before it returns, so that a
    // reader of the file sees whole rows and an interruption loses none. Throws COutputError.
    void Write(const std::wstring &text);

private:
    // Only a file of its own is held; standard output stays the process's.
    CorvaneTools::Win32::CUniqueFile m_file;
    HANDLE m_handle;
    std::string m_name;
};

} // namespace Tools
} // namespace CorvaneTools
