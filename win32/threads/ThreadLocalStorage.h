#pragma once

#include "win32/handles/UniqueOwners.h"

#include <windows.h>

namespace CorvaneTools {
namespace Win32 {

// One thread-local slot: a pointer per thread, null until that thread sets it.
class CThreadLocalStorage
{
public:
    CThreadLocalStorage();

    CThreadLocalStorage(const CThreadLocalStorage &) = delete;
    CThreadLocalStorage &operator=(const CThreadLocalStorage &) = delete;

    void *GetValue() const;
    void SetValue(void *value);

private:
    CUniqueTlsIndex m_index;
};

} // namespace Win32
} // namespace CorvaneTools
