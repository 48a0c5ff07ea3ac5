#include "win32/process/CommandLine.h"

#include "win32/files/FileUtils.h"

#include <windows.h>
#include <shlwapi.h>

namespace CorvaneTools {
namespace Win32 {

namespace {

bool IsPathOption(const std::wstring &argument, const std::vector<std::wstring> &pathOptions)
{
    if (argument.size() < 2 || (argument[0] != L'/' && argument[0] != L'-'))
    {
        return false;
    }
    for (const std::wstring &option : pathOptions)
    {
        if (::_wcsicmp(argument.c_str() + 1, option.c_str()) == 0)
        {
            return true;
        }
    }
    return false;
}

// "PathIsRelativeW function": a path without a drive or a leading backslash.
std::wstring Absolute(const std::wstring &path, const std::wstring &currentDirectory)
{
    if (path == L".")
    {
        return currentDirectory;
    }
    std::wstring combined;
    if (path.empty() || !::PathIsRelativeW(path.c_str()) || !PathCombine(currentDirectory, path, combined))
    {
        return path;
    }
    return combined;
}

} // namespace

std::wstring ElevatedParameters(const std::vector<std::wstring> &arguments, const std::wstring &currentDirectory,
                                const std::vector<std::wstring> &pathOptions)
{
    std::wstring parameters;
    for (size_t i = 0; i < arguments.size(); ++i)
    {
        const bool isPath = i > 0 && IsPathOption(arguments[i - 1], pathOptions);
        parameters +=
            QuoteCommandLineArgument(isPath ? Absolute(arguments[i], currentDirectory) : arguments[i]) + L" ";
    }
    return parameters;
}

std::wstring QuoteCommandLineArgument(const std::wstring &argument)
{
    if (!argument.empty() && argument.find_first_of(L" \t\"") == std::wstring::npos)
    {
        return argument;
    }
    std::wstring quoted = L"\"";
    size_t backslashes = 0;
    for (const wchar_t c : argument)
    {
        if (c == L'\\')
        {
            ++backslashes;
            continue;
        }
        // Backslashes are literal unless a quote follows them.
        quoted.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        quoted += c;
    }
    quoted.append(backslashes * 2, L'\\');
    return quoted + L"\"";
}

} // namespace Win32
} // namespace CorvaneTools
