#pragma once

#include <windows.h>

#include <utility>

namespace CorvaneTools {
namespace Win32 {

// Owns one platform handle of any kind whose "none" is null, released by the function the
// type names: one mechanism for service handles, notification handles, heap blocks and the
// like. Movable, not copyable; releasing keeps the thread's last error, so that a handle
// going out of scope between a failing call and the reading of its error changes nothing.
template <typename T, auto ReleaseFunction>
class TUniqueHandle
{
public:
    TUniqueHandle() noexcept : m_value(nullptr)
    {
    }

    explicit TUniqueHandle(T value) noexcept : m_value(value)
    {
    }

    ~TUniqueHandle()
    {
        Reset();
    }

    TUniqueHandle(TUniqueHandle &&other) noexcept : m_value(other.m_value)
    {
        other.m_value = nullptr;
    }

    TUniqueHandle &operator=(TUniqueHandle &&other) noexcept
    {
        if (this != &other)
        {
            Reset(other.m_value);
            other.m_value = nullptr;
        }
        return *this;
    }

    TUniqueHandle(const TUniqueHandle &) = delete;
    TUniqueHandle &operator=(const TUniqueHandle &) = delete;

    T Get() const noexcept
    {
        return m_value;
    }

    bool IsValid() const noexcept
    {
        return m_value != nullptr;
    }

    // Releases the handle held, if any, and holds this one.
    void Reset(T value = nullptr) noexcept
    {
        if (m_value && m_value != value)
        {
            const DWORD error = ::GetLastError();
            ReleaseFunction(m_value);
            ::SetLastError(error);
        }
        m_value = value;
    }

    // Gives the handle up without releasing it.
    [[nodiscard]] T Detach() noexcept
    {
        return std::exchange(m_value, nullptr);
    }

private:
    T m_value;
};

} // namespace Win32
} // namespace CorvaneTools
