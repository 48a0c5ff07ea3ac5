#pragma once

#include <windows.h>

namespace CorvaneTools {
namespace Win32 {

// A heap object shared by several holders; the holder that lets go last closes it and
// deletes it. Counts change atomically, so holders may live on different threads.
template <typename T>
class TReferenceCounted
{
public:
    explicit TReferenceCounted(T value) : m_value(value), m_count(1)
    {
    }

    TReferenceCounted(const TReferenceCounted &) = delete;
    TReferenceCounted &operator=(const TReferenceCounted &) = delete;

    T Get() const
    {
        return m_value;
    }

    void AddRef()
    {
        ::InterlockedIncrement(&m_count);
    }

    void Release()
    {
        if (::InterlockedDecrement(&m_count) == 0)
        {
            Close();
            delete this;
        }
    }

protected:
    // Runs when the last holder lets go, usually from a destructor: must not throw.
    virtual void Close() = 0;
    virtual ~TReferenceCounted() = default;

    T m_value;

private:
    volatile LONG m_count;
};

} // namespace Win32
} // namespace CorvaneTools
