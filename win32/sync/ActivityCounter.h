#pragma once

#include "win32/sync/Event.h"
#include "win32/sync/LockableObject.h"

namespace CorvaneTools {
namespace Win32 {

// Counts activities in progress; its idle event is signalled exactly when none are, its
// active event exactly when some are. Its own lock keeps the two in step with the count.
class CActivityCounter : public CLockableObject
{
public:
    // One activity for the lifetime of a scope.
    class CScopedActivity
    {
    public:
        explicit CScopedActivity(CActivityCounter &counter);
        ~CScopedActivity();

        CScopedActivity(const CScopedActivity &) = delete;
        CScopedActivity &operator=(const CScopedActivity &) = delete;

    private:
        CActivityCounter &m_counter;
    };

    explicit CActivityCounter(unsigned long initialCount = 0);

    void SetCount(unsigned long count);

    // True when the count was 0 before.
    bool Increment();

    // True when the count is 0 now.
    bool Decrement();

    unsigned long GetCount();

    const IWaitable &GetIdleEvent() const;
    const IWaitable &GetActiveEvent() const;

private:
    void MarkIdle();
    void MarkActive();

    unsigned long m_count;
    CManualResetEvent m_idle;
    CManualResetEvent m_active;
};

} // namespace Win32
} // namespace CorvaneTools
