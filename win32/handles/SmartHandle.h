#pragma once

#include "win32/handles/IWaitable.h"
#include "win32/handles/UniqueOwners.h"

namespace CorvaneTools {
namespace Win32 {

// Owns one platform handle and closes it, as something to wait on. Either "none" of the
// platform's functions (null or INVALID_HANDLE_VALUE) holds nothing; closing never throws.
class CSmartHandle : public IWaitable
{
public:
    CSmartHandle() noexcept;
    explicit CSmartHandle(HANDLE handle) noexcept;
    ~CSmartHandle();

    CSmartHandle(const CSmartHandle &) = delete;
    CSmartHandle &operator=(const CSmartHandle &) = delete;
    // The handle moves; the source is left holding none.
    CSmartHandle(CSmartHandle &&other) noexcept;
    CSmartHandle &operator=(CSmartHandle &&other) noexcept;

    // Closes the current handle unless it is the same one.
    CSmartHandle &operator=(HANDLE handle) noexcept;

    HANDLE GetHandle() const noexcept;
    operator HANDLE() const noexcept;

    bool IsValid() const noexcept;
    static bool IsValid(HANDLE handle) noexcept;

    void Close() noexcept;
    void Attach(HANDLE handle) noexcept;
    // Gives the handle up without closing it.
    [[nodiscard]] HANDLE Detach() noexcept;

    HANDLE GetWaitHandle() const override;

private:
    CUniqueFile m_handle;
};

} // namespace Win32
} // namespace CorvaneTools
