#include "service/ResourceDLLDeployer.h"

#include "win32/ErrorMessage.h"
#include "win32/FileUtils.h"
#include "win32/SmartHandle.h"
#include "win32/SystemDirectories.h"
#include "win32/ToString.h"
#include "win32/Win32Exception.h"

#include <atomic>

using CorvaneTools::Win32::CSmartHandle;
using CorvaneTools::Win32::CWin32Exception;

namespace {

unsigned long NextFileNumber()
{
    // Seeded once with the tick count, so that runs of the program seldom meet old files.
    static std::atomic<DWORD> counter(::GetTickCount());
    return static_cast<unsigned long>(++counter);
}

HANDLE OpenForWriting(const std::wstring &path, DWORD disposition)
{
    return ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
}

} // namespace

CResourceDLLDeployer::CResourceDLLDeployer(const std::wstring &baseName, const wchar_t *resourceName)
    : m_path(CreateTemporaryFile(baseName))
{
    CSmartHandle file(OpenForWriting(m_path, TRUNCATE_EXISTING));
    if (!file.IsValid())
    {
        throw CWin32Exception(L"CResourceDLLDeployer::CResourceDLLDeployer() - failed to create file: \"" + m_path +
                                  L"\"",
                              ::GetLastError());
    }
    try
    {
        CorvaneTools::Win32::WriteResourceToFile(file, resourceName, L"DLL", ::GetModuleHandleW(nullptr));
    }
    catch (...)
    {
        // No destructor runs for a half-built object; the file is still ours.
        file.Close();
        ::DeleteFileW(m_path.c_str());
        throw;
    }
}

CResourceDLLDeployer::~CResourceDLLDeployer()
{
    if (!::DeleteFileW(m_path.c_str()))
    {
        const std::wstring text = L"~CResourceDLLDeployer() - DeleteFile failed: " +
                                  CorvaneTools::Win32::GetLastErrorMessage(::GetLastError(), true);
        ::OutputDebugStringW(text.c_str());
    }
}

const std::wstring &CResourceDLLDeployer::GetPath() const
{
    return m_path;
}

std::wstring CResourceDLLDeployer::CreateTemporaryFile(const std::wstring &baseName)
{
    using CorvaneTools::Win32::ToString;
    const std::wstring path = CorvaneTools::Win32::GetTempPath() + baseName +
                              ToString(static_cast<unsigned long>(::GetCurrentProcessId())) + L"-" +
                              ToString(static_cast<unsigned long>(::GetCurrentThreadId())) + L"-" +
                              ToString(NextFileNumber()) + L".tmp";
    // A failure here shows when the file is opened for the resource.
    const CSmartHandle created(OpenForWriting(path, CREATE_ALWAYS));
    return path;
}
