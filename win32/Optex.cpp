#include "win32/Optex.h"

#include "win32/Win32Exception.h"

namespace CorvaneTools {
namespace Win32 {

namespace {

bool IsSingleProcessor()
{
    SYSTEM_INFO info = {};
    ::GetSystemInfo(&info);
    return info.dwNumberOfProcessors == 1;
}

// Spinning cannot help where the owner cannot run meanwhile.
const bool s_singleProcessor = IsSingleProcessor();

static_assert(sizeof(COptex::SharedState) == 16, "the shared state is 16 bytes in every process");

} // namespace

const wchar_t *const COptex::MappingSuffix = L"_Optext_MMF";

COptex::COptex(const IKernelObjectName &name, SECURITY_ATTRIBUTES *securityAttributes, DWORD spinCount)
    : m_event(securityAttributes, CEvent::NonSignalled, &name, CreateOrOpen), m_state(nullptr)
{
    const std::wstring mappingName = name.GetName() + MappingSuffix;
    m_mapping = ::CreateFileMappingW(INVALID_HANDLE_VALUE, securityAttributes, PAGE_READWRITE, 0,
                                     sizeof(SharedState), mappingName.c_str());
    if (!m_mapping.IsValid())
    {
        throw CWin32Exception(L"COptex::COptex() - Unable to create file mapping", ::GetLastError());
    }
    m_state = static_cast<SharedState *>(::MapViewOfFile(m_mapping, FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, 0));
    if (!m_state)
    {
        throw CWin32Exception(L"COptex::COptex() - Unable to map view of file", ::GetLastError());
    }
    if (!s_singleProcessor)
    {
        ::InterlockedExchange(&m_state->spinCount, static_cast<LONG>(spinCount));
    }
}

COptex::~COptex()
{
    if (m_state)
    {
        ::UnmapViewOfFile(m_state);
    }
}

bool COptex::TryEnter()
{
    const DWORD thread = ::GetCurrentThreadId();
    DWORD spins = static_cast<DWORD>(m_state->spinCount);
    for (;;)
    {
        if (::InterlockedCompareExchange(&m_state->lockCount, 1, 0) == 0)
        {
            m_state->ownerThreadId = thread;
            m_state->recursionCount = 1;
            return true;
        }
        if (m_state->ownerThreadId == thread)
        {
            ::InterlockedIncrement(&m_state->lockCount);
            m_state->recursionCount = m_state->recursionCount + 1;
            return true;
        }
        if (spins == 0)
        {
            return false;
        }
        --spins;
    }
}

void COptex::Enter()
{
    if (TryEnter())
    {
        return;
    }
    const DWORD thread = ::GetCurrentThreadId();
    if (::InterlockedIncrement(&m_state->lockCount) != 1)
    {
        // The leaving owner sets the event once for each waiter it hands the lock to.
        m_event.Wait();
    }
    m_state->ownerThreadId = thread;
    m_state->recursionCount = 1;
}

void COptex::Leave()
{
    m_state->recursionCount = m_state->recursionCount - 1;
    if (m_state->recursionCount > 0)
    {
        ::InterlockedDecrement(&m_state->lockCount);
        return;
    }
    m_state->ownerThreadId = 0;
    if (::InterlockedDecrement(&m_state->lockCount) > 0)
    {
        m_event.Set();
    }
}

bool COptex::IsLockedByThisThread() const
{
    return m_state->ownerThreadId == ::GetCurrentThreadId();
}

} // namespace Win32
} // namespace CorvaneTools
