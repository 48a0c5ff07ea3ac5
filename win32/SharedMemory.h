#pragma once

#include "win32/AccessMode.h"
#include "win32/KernelObjectName.h"
#include "win32/SmartHandle.h"

namespace CorvaneTools {
namespace Win32 {

// Named shared memory backed by the paging file. The first 4 bytes hold the size of the
// user area, written by the process that created it, so that every process opening it by
// name agrees on its size.
class CSharedMemory
{
public:
    static const DWORD MaxSize = 0xFFFFFFFFu - 4;
    // How long an opener waits for the header of a section whose creator has not yet written it.
    static const DWORD HeaderWaitMs = 1000;

    CSharedMemory(const IKernelObjectName &name, DWORD size, AccessMode mode, bool allowExisting,
                  SECURITY_ATTRIBUTES *securityAttributes);
    ~CSharedMemory();

    CSharedMemory(const CSharedMemory &) = delete;
    CSharedMemory &operator=(const CSharedMemory &) = delete;

    // The user area, after the size header.
    void *GetMemory() const;

    static DWORD CalculateSize(DWORD size);
    static DWORD GetProtection(AccessMode mode);

private:
    CSmartHandle m_mapping;
    void *m_view;
};

} // namespace Win32
} // namespace CorvaneTools
