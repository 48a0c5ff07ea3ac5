#include "win32/sync/ActivityCounter.h"

namespace CorvaneTools {
namespace Win32 {

CActivityCounter::CScopedActivity::CScopedActivity(CActivityCounter &counter) : m_counter(counter)
{
    m_counter.Increment();
}

CActivityCounter::CScopedActivity::~CScopedActivity()
{
    try
    {
        m_counter.Decrement();
    }
    catch (...)
    {
    }
}

CActivityCounter::CActivityCounter(unsigned long initialCount)
    : m_count(0), m_idle(CEvent::NonSignalled), m_active(CEvent::NonSignalled)
{
    SetCount(initialCount);
}

void CActivityCounter::SetCount(unsigned long count)
{
    Owner lock(*this);
    m_count = count;
    if (m_count != 0)
    {
        MarkActive();
    }
    else
    {
        MarkIdle();
    }
}

bool CActivityCounter::Increment()
{
    Owner lock(*this);
    const bool wasIdle = (m_count == 0);
    ++m_count;
    if (m_count != 0)
    {
        MarkActive();
    }
    return wasIdle;
}

bool CActivityCounter::Decrement()
{
    Owner lock(*this);
    --m_count;
    if (m_count == 0)
    {
        MarkIdle();
        return true;
    }
    return false;
}

unsigned long CActivityCounter::GetCount()
{
    Owner lock(*this);
    return m_count;
}

const IWaitable &CActivityCounter::GetIdleEvent() const
{
    return m_idle;
}

const IWaitable &CActivityCounter::GetActiveEvent() const
{
    return m_active;
}

void CActivityCounter::MarkIdle()
{
    m_idle.Set();
    m_active.Reset();
}

void CActivityCounter::MarkActive()
{
    m_idle.Reset();
    m_active.Set();
}

} // namespace Win32
} // namespace CorvaneTools
