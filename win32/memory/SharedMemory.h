#pragma once

#include "win32/handles/KernelObjectCreationMode.h"
#include "win32/handles/KernelObjectName.h"
#include "win32/handles/SmartHandle.h"
#include "win32/handles/UniqueOwners.h"
#include "win32/security/AccessMode.h"

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
    // OpenOnly opens a section another process made, asking only for the access of mode,
    // and never creates one: a missing section fails with ERROR_FILE_NOT_FOUND, one whose
    // creator has not yet written its size with ERROR_NOT_READY.
    CSharedMemory(const IKernelObjectName &name, DWORD size, AccessMode mode, KernelObjectCreationMode creation,
                  SECURITY_ATTRIBUTES *securityAttributes);

    CSharedMemory(const CSharedMemory &) = delete;
    CSharedMemory &operator=(const CSharedMemory &) = delete;

    // The user area, after the size header.
    void *GetMemory() const;
    // The section, for reading its descriptor (an OpenOnly opener holds READ_CONTROL too).
    HANDLE GetHandle() const;

    static DWORD CalculateSize(DWORD size);
    static DWORD GetProtection(AccessMode mode);

private:
    void OpenExisting(const std::wstring &fullName, DWORD size, AccessMode mode);

    CSmartHandle m_mapping;
    CUniqueMapView m_view;
};

} // namespace Win32
} // namespace CorvaneTools
