#pragma once

#include <windows.h>

namespace CorvaneTools {
namespace Win32 {

// One thread-local slot: a pointer per thread, null until that thread sets it.
class CThreadLocalStorage
{
public:
    CThreadLocalStorage();
    ~CThreadLocalStorage();

    CThreadLocalStorage(const CThreadLocalStorage &) = delete;
    CThreadLocalStorage &operator=(const CThreadLocalStorage &) = delete;

    void *GetValue() const;
    void SetValue(void *value);

private:
    DWORD m_index;
    bool m_allocated;
};

} // namespace Win32
} // namespace CorvaneTools
