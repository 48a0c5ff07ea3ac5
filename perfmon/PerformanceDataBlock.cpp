#include "perfmon/PerformanceDataBlock.h"
#include "perfmon/RecordFields.h"

#include "perfmon/CounterStorageAllocator.h"
#include "perfmon/PerformanceDataBlockNames.h"
#include "win32/errors/Exception.h"
#include "win32/handles/SmartHandle.h"
#include "win32/security/ObjectSecurity.h"
#include "win32/security/ProcessToken.h"
#include "win32/sync/LockOwner.h"
#include "win32/text/ToString.h"

#include <cstring>

namespace CorvaneTools {
namespace PerfMon {

using namespace Win32;

namespace {

DWORD BlockSize(const CPerformanceDataSchema &schema)
{
    return CPerformanceDataBlock::HeaderSize + schema.GetTotalSize();
}

HANDLE OpenAnyToken()
{
    const DWORD adjust = TOKEN_QUERY | TOKEN_ADJUST_PRIVILEGES;
    HANDLE token = nullptr;
    for (const DWORD access : {adjust, static_cast<DWORD>(TOKEN_QUERY)})
    {
        if (::OpenProcessToken(::GetCurrentProcess(), access, &token) ||
            ::OpenThreadToken(::GetCurrentThread(), access, TRUE, &token) ||
            ::OpenThreadToken(::GetCurrentThread(), access, FALSE, &token))
        {
            return token;
        }
    }
    return nullptr;
}

const wchar_t *const s_where = L"CPerformanceDataBlock::CPerformanceDataBlock()";

} // namespace

// The block's objects always carry their own descriptors: the caller's attributes would let
// anyone rewrite what every reader is served.
CPerformanceDataBlock::CPerformanceDataBlock(const IKernelObjectName &name, const CPerformanceDataSchema &schema,
                                             DWORD firstTitleIndex, SECURITY_ATTRIBUTES *securityAttributes)
    : m_schema(schema),
      m_blockSize(BlockSize(schema)),
      m_lock(LockName(name, securityAttributes), CObjectSecurity(ObjectProtection::SharedLock), SpinCount),
      m_memory(CUnqualifiedName(CPerformanceDataBlockNames(name).Section()), m_blockSize, ReadWrite, true,
               CObjectSecurity(ObjectProtection::PublishedSection)),
      m_block(static_cast<BYTE *>(m_memory.GetMemory()))
{
    // Again now that they exist: one may have been made between the first look and ours.
    m_lock.RequireTrusted(ObjectProtection::SharedLock, s_where);
    RequireTrustedObject(m_memory.GetHandle(), SE_KERNEL_OBJECT, ObjectProtection::PublishedSection, s_where,
                         CPerformanceDataBlockNames(name).Section());
    InitialiseLayout(firstTitleIndex);
}

// Only creating a section in the global namespace needs SeCreateGlobalPrivilege; opening an
// existing one does not ("Kernel object namespaces"), so every user can read.
CPerformanceDataBlock::CPerformanceDataBlock(const IKernelObjectName &name, const CPerformanceDataSchema &schema)
    : m_schema(schema),
      m_blockSize(BlockSize(schema)),
      m_lock(CUnqualifiedName(CPerformanceDataBlockNames(name).Lock()), nullptr, SpinCount, OpenOnly),
      m_memory(CUnqualifiedName(CPerformanceDataBlockNames(name).Section()), m_blockSize, ReadOnly, OpenOnly, nullptr),
      m_block(static_cast<BYTE *>(m_memory.GetMemory()))
{
    // Values from a block others may write would be whatever they chose.
    RequireTrustedObject(m_memory.GetHandle(), SE_KERNEL_OBJECT, ObjectProtection::PublishedSection, s_where,
                         CPerformanceDataBlockNames(name).Section());
}

CPerformanceDataBlock::~CPerformanceDataBlock() = default;

CUnqualifiedName CPerformanceDataBlock::LockName(const IKernelObjectName &name, SECURITY_ATTRIBUTES *securityAttributes)
{
    // Checked before any kernel object is made.
    if (!ValidateTokenPrivileges(name, securityAttributes))
    {
        throw CException(s_where,
                         L"Access Denied: You must have the SeCreateGlobalPrivilege privilege set on your account to "
                         L"be able to create a Performance Counter data block.");
    }
    // Nothing is written into an object someone else made: its maker could change what
    // every reader is served, or hold the lock for ever.
    const CPerformanceDataBlockNames names(name);
    RequireNoForeignObject(names.Lock(), false, ObjectProtection::SharedLock, s_where);
    RequireNoForeignObject(names.LockState(), true, ObjectProtection::SharedLock, s_where);
    RequireNoForeignObject(names.LockOwner(), true, ObjectProtection::SharedLock, s_where);
    RequireNoForeignObject(names.Section(), true, ObjectProtection::PublishedSection, s_where);
    return CUnqualifiedName(names.Lock());
}

bool CPerformanceDataBlock::IsInitialised() const
{
    return static_cast<const volatile BYTE *>(m_block)[BlockField::Initialised] != 0;
}

void CPerformanceDataBlock::InitialiseLayout(DWORD firstTitleIndex)
{
    // The flag is written last, so a block that has it is laid out: opening it then needs no
    // turn at the lock, for which a reader's collect may be keeping others waiting.
    if (IsInitialised())
    {
        return;
    }
    TTimedLockOwner<COptex> guard(m_lock, LockTimeoutMs);
    if (!guard.IsHeld())
    {
        throw CException(s_where, LockTimeoutMessage());
    }
    if (m_block[BlockField::Initialised] != 0)
    {
        return;
    }
    const DWORD definitionSize = m_schema.GetDefinitionSize();
    Put32(m_block, BlockField::ObjectsOffset, HeaderSize);
    Put32(m_block, BlockField::CounterDataOffset, HeaderSize + definitionSize);
    CCounterStorageAllocator allocator(m_schema.GetCounterDataSize());
    DWORD titleIndex = firstTitleIndex;
    DWORD position = HeaderSize;
    DWORD spaceLeft = definitionSize;
    for (const auto &object : m_schema)
    {
        const DWORD length = object.WriteTo(m_block + position, spaceLeft, titleIndex, allocator);
        spaceLeft -= length;
        Put32(m_block, BlockField::LastObjectOffset, position);
        position += length;
    }
    // Readers check this under the same lock, so it is written last.
    m_block[BlockField::Initialised] = 1;
}

// Both from the schema: the offsets in the block's header are anyone's to rewrite.
BYTE *CPerformanceDataBlock::GetObjectDefinitions() const
{
    return m_block + HeaderSize;
}

BYTE *CPerformanceDataBlock::GetCounterData() const
{
    return m_block + HeaderSize + m_schema.GetDefinitionSize();
}

const BYTE *CPerformanceDataBlock::GetBlock() const
{
    return m_block;
}

BYTE *CPerformanceDataBlock::GetBlock()
{
    return m_block;
}

DWORD CPerformanceDataBlock::GetBlockSize() const
{
    return m_blockSize;
}

bool CPerformanceDataBlock::TryEnter()
{
    return m_lock.TryEnter();
}

void CPerformanceDataBlock::Enter()
{
    m_lock.Enter();
}

void CPerformanceDataBlock::Leave()
{
    m_lock.Leave();
}

bool CPerformanceDataBlock::TryEnterFor(DWORD timeoutMs)
{
    return m_lock.TryEnterFor(timeoutMs);
}

std::wstring CPerformanceDataBlock::LockTimeoutMessage()
{
    return L"Timed out after " + ToString(static_cast<unsigned long>(LockTimeoutMs)) +
           L" ms waiting for the lock of the performance data block";
}

bool CPerformanceDataBlock::IsLockedByThisThread() const
{
    return m_lock.IsLockedByThisThread();
}

bool CPerformanceDataBlock::ValidateTokenPrivileges(const IKernelObjectName &name, SECURITY_ATTRIBUTES *securityAttributes)
{
    if (!name.IsGlobalName())
    {
        return true;
    }
    bool result = false;
    try
    {
        const HANDLE handle = OpenAnyToken();
        if (handle)
        {
            CProcessToken token(handle);
            static const wchar_t *const privilege = L"SeCreateGlobalPrivilege";
            result = token.HasPrivilege(privilege);
            if (result && !token.IsPrivilegeEnabled(privilege))
            {
                result = token.EnablePrivilegeIfHeld(privilege);
            }
        }
    }
    catch (const CException &)
    {
        result = false;
    }
    if (!result)
    {
        const std::wstring probe = L"Global\\CorvaneTools::PerfMon::CPerformanceDataBlock::ValidateTokenPrivileges-" +
                                   ToString(static_cast<unsigned long>(::GetCurrentProcessId()));
        CSmartHandle section(
            ::CreateFileMappingW(INVALID_HANDLE_VALUE, securityAttributes, PAGE_READWRITE, 0, 256, probe.c_str()));
        result = section.IsValid();
    }
    return result;
}

} // namespace PerfMon
} // namespace CorvaneTools
