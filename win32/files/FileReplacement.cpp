#include "win32/files/FileReplacement.h"

#include "win32/errors/Win32Exception.h"
#include "win32/files/RestartDeletion.h"
#include "win32/handles/SmartHandle.h"
#include "win32/text/ToString.h"

namespace CorvaneTools {
namespace Win32 {

namespace {

const wchar_t s_where[] = L"ReplaceFileContents()";

// A file of this name that is already there belongs to someone else, or to an earlier run
// that stopped half way: it is left alone and the next name tried.
HANDLE CreateStagingFile(const std::wstring &destination, std::wstring &staging)
{
    for (unsigned int attempt = 0; attempt < StagingAttempts; ++attempt)
    {
        staging = StagingFileName(destination, attempt);
        const HANDLE file = ::CreateFileW(staging.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                          FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE)
        {
            return file;
        }
        const DWORD error = ::GetLastError();
        if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS)
        {
            throw CWin32Exception(std::wstring(s_where) + L" - CreateFile \"" + staging + L"\"", error);
        }
    }
    throw CWin32Exception(std::wstring(s_where) + L" - no free staging name beside \"" + destination + L"\"",
                          ERROR_FILE_EXISTS);
}

void WriteAll(HANDLE file, CByteView bytes, const std::wstring &staging)
{
    for (size_t done = 0; done < bytes.size;)
    {
        const DWORD chunk = static_cast<DWORD>(bytes.size - done < 0x10000000 ? bytes.size - done : 0x10000000);
        DWORD written = 0;
        if (!::WriteFile(file, bytes.data + done, chunk, &written, nullptr) || written == 0)
        {
            throw CWin32Exception(std::wstring(s_where) + L" - WriteFile \"" + staging + L"\"", ::GetLastError());
        }
        done += written;
    }
    // The move below is written through; the bytes it makes visible must be on disk first.
    if (!::FlushFileBuffers(file))
    {
        throw CWin32Exception(std::wstring(s_where) + L" - FlushFileBuffers \"" + staging + L"\"", ::GetLastError());
    }
}

} // namespace

std::wstring StagingFileName(const std::wstring &destination, unsigned int attempt)
{
    return destination + L"." + ToString(static_cast<unsigned long>(::GetCurrentProcessId())) + L"-" +
           ToString(static_cast<unsigned long>(attempt)) + L".new";
}

void ReplaceFileContents(const std::wstring &destination, CByteView bytes, std::wstring &aside)
{
    aside.clear();
    RequireNoFolderAt(destination, s_where);
    std::wstring staging;
    CSmartHandle file(CreateStagingFile(destination, staging));
    try
    {
        WriteAll(file, bytes, staging);
        // Checked, as the flush is: the close of a written file is the last place a write
        // can be reported to fail.
        if (!::CloseHandle(file.Detach()))
        {
            throw CWin32Exception(L"CSmartHandle::Close()", ::GetLastError());
        }
        // "MoveFileExW function": with MOVEFILE_WRITE_THROUGH it returns only once the move
        // is on disk. A copy a reader has loaded cannot be replaced, only renamed.
        if (::MoveFileExW(staging.c_str(), destination.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        {
            return;
        }
        const DWORD error = ::GetLastError();
        if (!MayBeHeld(error))
        {
            throw CWin32Exception(std::wstring(s_where) + L" - MoveFileEx \"" + destination + L"\"", error);
        }
        aside = MoveAsideUntilRestart(destination);
        if (!::MoveFileExW(staging.c_str(), destination.c_str(), MOVEFILE_WRITE_THROUGH))
        {
            const DWORD moveError = ::GetLastError();
            // The old copy goes back; its deletion at restart then finds nothing to do.
            ::MoveFileExW(aside.c_str(), destination.c_str(), MOVEFILE_WRITE_THROUGH);
            aside.clear();
            throw CWin32Exception(std::wstring(s_where) + L" - MoveFileEx \"" + destination + L"\"", moveError);
        }
    }
    catch (...)
    {
        file.Close();
        ::DeleteFileW(staging.c_str());
        throw;
    }
}

} // namespace Win32
} // namespace CorvaneTools
