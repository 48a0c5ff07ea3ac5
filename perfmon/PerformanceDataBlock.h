#pragma once

#include "perfmon/PerformanceDataSchema.h"
#include "win32/handles/KernelObjectName.h"
#include "win32/memory/SharedMemory.h"
#include "win32/security/ObjectSecurity.h"
#include "win32/sync/CriticalSection.h"
#include "win32/sync/Optex.h"

namespace CorvaneTools {
namespace PerfMon {

// The named shared memory through which counter values travel from the service to every
// process that reads them. Whichever process constructs it first writes its layout, under
// the block's cross-process lock; the others open it as it is.
//
// Layout (offsets from the block, which starts 4 bytes into the section, after the size):
//   0  initialised (1 byte, then 3 zero bytes)
//   4  objectsOffset (16)
//   8  lastObjectOffset
//  12  counterDataOffset
//  16  object definition records, then the counter data area
class CPerformanceDataBlock : public Win32::ICriticalSection
{
public:
    static const DWORD HeaderSize = 16;
    static const DWORD SpinCount = 4000;
    // The longest anyone waits for the block's lock: far below the collect timeout the
    // counters are installed with, and far above the microseconds a holder keeps it.
    static const DWORD LockTimeoutMs = 1000;

    // The writer's block. Its objects get the descriptors of ObjectSecurity.h whatever the
    // attributes say (they serve the privilege probe); any of its names already held by an
    // object someone else could change, or of another type or size, fails with
    // CUntrustedObjectException (or the size's CWin32Exception) before anything is written.
    CPerformanceDataBlock(const Win32::IKernelObjectName &name, const CPerformanceDataSchema &schema,
                          DWORD firstTitleIndex, SECURITY_ATTRIBUTES *securityAttributes);
    // A reader's view of the block the writer made: the section opened read-only and the
    // lock with the rights taking it needs. Nothing is created, no privilege is needed or
    // touched, and the layout is left to whoever made it (a block not yet laid out reads
    // as such). Fails with ERROR_FILE_NOT_FOUND while there is no block, and with
    // CUntrustedObjectException when the section's descriptor lets others write it.
    CPerformanceDataBlock(const Win32::IKernelObjectName &name, const CPerformanceDataSchema &schema);
    ~CPerformanceDataBlock();

    CPerformanceDataBlock(const CPerformanceDataBlock &) = delete;
    CPerformanceDataBlock &operator=(const CPerformanceDataBlock &) = delete;

    BYTE *GetObjectDefinitions() const;
    BYTE *GetCounterData() const;

    // The whole block and its size, for readers that check what they walk; a reader's view
    // is mapped read-only.
    const BYTE *GetBlock() const;
    BYTE *GetBlock();
    // Whether the layout has been written; read once.
    bool IsInitialised() const;
    DWORD GetBlockSize() const;

    bool TryEnter() override;
    void Enter() override;
    void Leave() override;
    bool IsLockedByThisThread() const override;
    // Enter within a time limit; false when the lock was not had in time.
    bool TryEnterFor(DWORD timeoutMs);
    // What a wait for the lock that ran out of time says.
    static std::wstring LockTimeoutMessage();

    // Whether this process may create the block's section in the global namespace.
    static bool ValidateTokenPrivileges(const Win32::IKernelObjectName &name, SECURITY_ATTRIBUTES *securityAttributes);

private:
    static Win32::CUnqualifiedName LockName(const Win32::IKernelObjectName &name,
                                            SECURITY_ATTRIBUTES *securityAttributes);
    void InitialiseLayout(DWORD firstTitleIndex);

    const CPerformanceDataSchema &m_schema;
    const DWORD m_blockSize;
    Win32::COptex m_lock;
    Win32::CSharedMemory m_memory;
    BYTE *const m_block;
};

} // namespace PerfMon
} // namespace CorvaneTools
