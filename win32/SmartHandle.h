#pragma once

#include "win32/IWaitable.h"

namespace CorvaneTools {
namespace Win32 {

// Owns one platform handle and closes it.
class CSmartHandle : public IWaitable
{
public:
    CSmartHandle();
    explicit CSmartHandle(HANDLE handle);
    ~CSmartHandle();

    CSmartHandle(const CSmartHandle &) = delete;
    CSmartHandle &operator=(const CSmartHandle &) = delete;

    // Closes the current handle unless it is the same one.
    CSmartHandle &operator=(HANDLE handle);

    HANDLE GetHandle() const;
    operator HANDLE() const;

    bool IsValid() const;
    static bool IsValid(HANDLE handle);

    void Close();
    void Attach(HANDLE handle);
    HANDLE Detach();

    HANDLE GetWaitHandle() const override;

private:
    HANDLE m_handle;
};

} // namespace Win32
} // namespace CorvaneTools
