#include "win32/system/WOW64FileSystemRedirector.h"

#include "win32/errors/ErrorMessage.h"
#include "win32/errors/Win32Exception.h"
#include "win32/system/LibraryLoader.h"

namespace CorvaneTools {
namespace Win32 {

namespace {

typedef BOOL(WINAPI *RedirectionFunction)(PVOID *);

} // namespace

CWOW64FileSystemRedirector::CWOW64FileSystemRedirector() : m_oldValue(nullptr), m_disabled(false)
{
}

CWOW64FileSystemRedirector::~CWOW64FileSystemRedirector()
{
    if (!m_disabled)
    {
        return;
    }
    typedef BOOL(WINAPI * Function)(PVOID);
    static const Function revert = LookUpFunction<Function>(L"kernel32", "Wow64RevertWow64FsRedirection");
    if (revert && revert(m_oldValue))
    {
        return;
    }
    const DWORD error = revert ? ::GetLastError() : static_cast<DWORD>(ERROR_PROC_NOT_FOUND);
    try
    {
        const std::wstring text = L"~CWOW64FileSystemRedirector() - Wow64RevertWow64FsRedirection failed: " +
                                  GetLastErrorMessage(error, false);
        ::OutputDebugStringW(text.c_str());
    }
    catch (...)
    {
    }
}

bool CWOW64FileSystemRedirector::IsAvailable()
{
    return LookUpFunction<RedirectionFunction>(L"kernel32", "Wow64DisableWow64FsRedirection") != nullptr;
}

void CWOW64FileSystemRedirector::Disable()
{
    // A second call would save the disabled state and the destructor would restore that.
    if (m_disabled)
    {
        return;
    }
    static const RedirectionFunction disable =
        LookUpFunction<RedirectionFunction>(L"kernel32", "Wow64DisableWow64FsRedirection");
    if (!disable)
    {
        throw CException(L"CWOW64FileSystemRedirector::Disable()", L"Functionality not available on this platform");
    }
    if (!disable(&m_oldValue))
    {
        throw CWin32Exception(L"CWOW64FileSystemRedirector::Disable()", ::GetLastError());
    }
    m_disabled = true;
}

} // namespace Win32
} // namespace CorvaneTools
