#pragma once

#include "win32/handles/IWaitable.h"

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
    // The handle moves; the source is left holding none.
    CSmartHandle(CSmartHandle &&other) noexcept;
    CSmartHandle &operator=(CSmartHandle &&other) noexcept;

    // Closes the current handle unless it is the same one.
    CSmartHandle &operator=(HANDLE handle);

    HANDLE GetHandle() const;
    operator HANDLE() const;

    bool IsValid() const;
    static bool IsValid(HANDLE handle);

    void Close();
    void Attach(HANDLE handle);
    // Gives the handle up without closing it.
    [[nodiscard]] HANDLE Detach();

    HANDLE GetWaitHandle() const override;

private:
    HANDLE m_handle;
};

} // namespace Win32
} // namespace CorvaneTools
