#pragma once

// windows.h and shlwapi.h map DeleteFile and PathCombine to their ...W forms; including
// them first keeps the names the same in every translation unit.
#include <windows.h>
#include <shlwapi.h>

#include <string>
#include <vector>

namespace CorvaneTools {
namespace Win32 {

// Creates one directory; an existing directory is fine, an existing file is not. What it
// creates gets the descriptor of security, or the inherited one without.
void CreateDirectoryIfRequired(const std::wstring &path, SECURITY_ATTRIBUTES *security = nullptr);
// Creates the directory and whatever parents are missing, each with that descriptor.
void CreateDirectoriesIfRequired(const std::wstring &path, SECURITY_ATTRIBUTES *security = nullptr);

// The platform's path combination, which also resolves "." and ".." parts.
bool PathCombine(const std::wstring &directory, const std::wstring &name, std::wstring &path);

// Text after the last "\"; the whole path when there is none.
std::wstring GetFileNamePart(const std::wstring &path);
// Text before the last "\"; empty when there is none.
std::wstring GetDirectoryPart(const std::wstring &path);

void DeleteFile(const std::wstring &path);

// Replaces the file with exactly these bytes; wide text is written in the ANSI code page.
void SaveStringAsFile(const std::wstring &path, const std::string &data);
void SaveStringAsFile(const std::wstring &path, const std::wstring &data);

// A UTF-16LE text file's bytes: the byte order mark FF FE, then every character low byte
// first, whatever the code page.
std::string Utf16LETextFileBytes(const std::wstring &text);

// Bytes owned by something else: a resource lives as long as its module is loaded.
struct CByteView
{
    const BYTE *data;
    size_t size;
};

// A resource's raw bytes in the loaded module, never copied to a file.
CByteView GetResourceBytes(const wchar_t *resourceName, const wchar_t *resourceType, HMODULE module = nullptr);

// The whole file, read once: what is checked and what is used are then the same bytes.
std::vector<BYTE> ReadFileBytes(const std::wstring &path);

// Writes a resource's raw bytes at the file's current position.
void WriteResourceToFile(HANDLE file, const wchar_t *resourceName, const wchar_t *resourceType,
                         HMODULE module = nullptr);

} // namespace Win32
} // namespace CorvaneTools
