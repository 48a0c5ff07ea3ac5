#pragma once

#include <windows.h>

#include <string>

namespace CorvaneTools {
namespace Win32 {

// The name of a named kernel object. Held by value, passed by reference, never deleted
// through the interface.
class IKernelObjectName
{
public:
    virtual std::wstring GetName() const = 0;
    virtual bool IsGlobalName() const = 0;
    virtual bool IsLocalName() const = 0;
    virtual bool IsUnqualifiedName() const = 0;

protected:
    ~IKernelObjectName() = default;
};

class CKernelObjectNameImpl : public IKernelObjectName
{
public:
    static const size_t MaxLength = MAX_PATH;

    explicit CKernelObjectNameImpl(const std::wstring &name);
    CKernelObjectNameImpl(const std::wstring &prefix, const std::wstring &name);

    std::wstring GetName() const override;
    bool IsGlobalName() const override;
    bool IsLocalName() const override;
    bool IsUnqualifiedName() const override;

private:
    static std::wstring Checked(const std::wstring &name);

    std::wstring m_name;
};

// "Global\" + name: visible to every session.
class CGlobalName : public CKernelObjectNameImpl
{
public:
    explicit CGlobalName(const std::wstring &name);
};

// The name exactly as given.
class CUnqualifiedName : public CKernelObjectNameImpl
{
public:
    explicit CUnqualifiedName(const std::wstring &name);
};

} // namespace Win32
} // namespace CorvaneTools
