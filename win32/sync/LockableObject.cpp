#include "win32/sync/LockableObject.h"

namespace CorvaneTools {
namespace Win32 {

CLockableObject::CLockableObject() = default;

CLockableObject::~CLockableObject() = default;

bool CLockableObject::TryEnter()
{
    return m_criticalSection.TryEnter();
}

void CLockableObject::Enter()
{
    m_criticalSection.Enter();
}

void CLockableObject::Leave()
{
    m_criticalSection.Leave();
}

} // namespace Win32
} // namespace CorvaneTools
