#include "win32/files/ProtectedFolder.h"

#include "win32/errors/Win32Exception.h"
#include "win32/files/FileUtils.h"
#include "win32/handles/SmartHandle.h"
#include "win32/handles/UniqueOwners.h"
#include "win32/security/ObjectSecurity.h"
#include "win32/security/ProcessToken.h"
#include "win32/text/ToString.h"

#include <sddl.h>

#include <vector>

namespace CorvaneTools {
namespace Win32 {

namespace {

const wchar_t s_reparsePoint[] = L"it is a reparse point (a link, junction or mount point), so what is written "
                                 L"there may land elsewhere";

std::wstring ErrorText(const wchar_t *what, DWORD error)
{
    return what + std::wstring(L" (error ") + ToString(static_cast<unsigned long>(error)) + L")";
}

std::wstring TokenUserSid()
{
    const CProcessToken token;
    DWORD size = 0;
    ::GetTokenInformation(token.GetHandle(), TokenUser, nullptr, 0, &size);
    std::vector<BYTE> buffer(size ? size : 1);
    TUniqueLocalMemory<LPWSTR> text;
    if (!::GetTokenInformation(token.GetHandle(), TokenUser, buffer.data(), size, &size) ||
        !::ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER *>(buffer.data())->User.Sid, text.Put()))
    {
        throw CWin32Exception(L"CreateProtectedDirectories() - GetTokenInformation", ::GetLastError());
    }
    return std::wstring(text.Get());
}

// A standard user's descriptor, which ObjectProtection has no value for.
class CDescriptorText
{
public:
    explicit CDescriptorText(const std::wstring &definition) : m_attributes()
    {
        if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(definition.c_str(), SDDL_REVISION_1,
                                                                    m_descriptor.Put(), nullptr))
        {
            throw CWin32Exception(L"CreateProtectedDirectories() - ConvertStringSecurityDescriptorToSecurityDescriptor",
                                  ::GetLastError());
        }
        m_attributes = {sizeof(m_attributes), m_descriptor.Get(), FALSE};
    }

    CDescriptorText(const CDescriptorText &) = delete;
    CDescriptorText &operator=(const CDescriptorText &) = delete;

    SECURITY_ATTRIBUTES *Attributes()
    {
        return &m_attributes;
    }

private:
    CUniqueSecurityDescriptor m_descriptor;
    SECURITY_ATTRIBUTES m_attributes;
};

} // namespace

std::wstring ProtectedFolderDefinition(bool administrator, const std::wstring &userSid)
{
    const std::wstring readable = CObjectSecurity::Definition(ObjectProtection::ReadableFolder);
    return administrator ? readable : readable + L"(A;OICI;FA;;;" + userSid + L")";
}

void CreateProtectedDirectories(const std::wstring &path)
{
    // LocalSystem passes the administrator test.
    if (CProcessToken::IsUserAnAdmin())
    {
        CObjectSecurity security(ObjectProtection::ReadableFolder);
        CreateDirectoriesIfRequired(path, security);
        return;
    }
    CDescriptorText security(ProtectedFolderDefinition(false, TokenUserSid()));
    CreateDirectoriesIfRequired(path, security.Attributes());
}

std::wstring FindFolderHazard(const std::wstring &folder)
{
    // By name as well as by handle: Wine 8 reports a link's own attributes only by name, and
    // its handle opened on the link reports the target's (measured).
    const DWORD attributes = ::GetFileAttributesW(folder.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
    {
        return ErrorText(L"its attributes cannot be read", ::GetLastError());
    }
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT)
    {
        return s_reparsePoint;
    }
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY))
    {
        return L"it is not a folder";
    }
    const CSmartHandle handle(::CreateFileW(folder.c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                            nullptr));
    if (!handle.IsValid())
    {
        return ErrorText(L"it cannot be opened to read its descriptor", ::GetLastError());
    }
    BY_HANDLE_FILE_INFORMATION information = {};
    if (::GetFileInformationByHandle(handle, &information) &&
        (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
    {
        return s_reparsePoint;
    }
    return FindUntrustedWriters(handle, SE_FILE_OBJECT, ObjectProtection::ReadableFolder);
}

} // namespace Win32
} // namespace CorvaneTools
