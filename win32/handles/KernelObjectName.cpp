#include "win32/handles/KernelObjectName.h"

#include "win32/errors/Exception.h"
#include "win32/text/ToString.h"

namespace CorvaneTools {
namespace Win32 {

namespace {

// Systems before major version 5 have no kernel object namespaces.
bool HasNamespaces()
{
    OSVERSIONINFOW version = {};
    version.dwOSVersionInfoSize = sizeof(version);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    if (!::GetVersionExW(&version))
    {
        return true;
    }
#pragma GCC diagnostic pop
    return version.dwMajorVersion >= 5;
}

} // namespace

CKernelObjectNameImpl::CKernelObjectNameImpl(const std::wstring &name) : m_name(Checked(name))
{
}

CKernelObjectNameImpl::CKernelObjectNameImpl(const std::wstring &prefix, const std::wstring &name)
    : m_name(Checked(HasNamespaces() ? prefix + name : name))
{
}

std::wstring CKernelObjectNameImpl::Checked(const std::wstring &name)
{
    if (name.size() > MaxLength)
    {
        throw CException(L"CKernelObjectNameImpl::CKernelObjectNameImpl()",
                         L"Name is too long: " + ToString(static_cast<unsigned __int64>(name.size())) + L" max is: " +
                             ToString(static_cast<int>(MaxLength)) + L" - \"" + name + L"\"");
    }
    return name;
}

std::wstring CKernelObjectNameImpl::GetName() const
{
    return m_name;
}

bool CKernelObjectNameImpl::IsGlobalName() const
{
    return m_name.compare(0, 7, L"Global\\") == 0;
}

bool CKernelObjectNameImpl::IsLocalName() const
{
    return m_name.compare(0, 6, L"Local\\") == 0;
}

bool CKernelObjectNameImpl::IsUnqualifiedName() const
{
    return !IsGlobalName() && !IsLocalName();
}

CGlobalName::CGlobalName(const std::wstring &name) : CKernelObjectNameImpl(L"Global\\", name)
{
}

CUnqualifiedName::CUnqualifiedName(const std::wstring &name) : CKernelObjectNameImpl(name)
{
}

} // namespace Win32
} // namespace CorvaneTools
