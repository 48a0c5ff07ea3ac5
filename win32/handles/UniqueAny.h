#pragma once

#include <windows.h>

#include <cstdint>
#include <type_traits>
#include <utility>

namespace CorvaneTools {
namespace Win32 {

// Owns one platform resource of any kind: a handle, a key, a view, a block. The kind is
// the function that releases it and the value that means "none" (given as a number, as a
// pointer constant such as INVALID_HANDLE_VALUE cannot be a template argument). A pointer
// that is null holds nothing either, whatever the kind's "none": no pointer-like resource
// is ever null. Movable, not copyable; releasing never throws and keeps the thread's last
// error, so that an owner going out of scope between a failing call and the reading of its
// error changes nothing. A release that must be checked is made explicitly, after Detach.
template <typename T, auto Close, std::intptr_t Invalid = 0>
class TUniqueAny
{
public:
    TUniqueAny() noexcept : m_value(InvalidValue())
    {
    }

    explicit TUniqueAny(T value) noexcept : m_value(value)
    {
    }

    ~TUniqueAny()
    {
        Reset();
    }

    TUniqueAny(TUniqueAny &&other) noexcept : m_value(other.Detach())
    {
    }

    TUniqueAny &operator=(TUniqueAny &&other) noexcept
    {
        if (this != &other)
        {
            Reset(other.Detach());
        }
        return *this;
    }

    TUniqueAny(const TUniqueAny &) = delete;
    TUniqueAny &operator=(const TUniqueAny &) = delete;

    static T InvalidValue() noexcept
    {
        if constexpr (std::is_pointer_v<T>)
        {
            return reinterpret_cast<T>(Invalid);
        }
        else
        {
            return static_cast<T>(Invalid);
        }
    }

    static bool IsValid(T value) noexcept
    {
        if constexpr (std::is_pointer_v<T>)
        {
            if (value == nullptr)
            {
                return false;
            }
        }
        return value != InvalidValue();
    }

    T Get() const noexcept
    {
        return m_value;
    }

    bool IsValid() const noexcept
    {
        return IsValid(m_value);
    }

    // Releases what is held, unless it is this same value, and holds value.
    void Reset(T value = InvalidValue()) noexcept
    {
        if (m_value != value && IsValid(m_value))
        {
            const DWORD error = ::GetLastError();
            Close(m_value);
            ::SetLastError(error);
        }
        m_value = value;
    }

    // Releases what is held and gives the place for a function that writes a new one out.
    T *Put() noexcept
    {
        Reset();
        return &m_value;
    }

    // Gives the resource up without releasing it.
    [[nodiscard]] T Detach() noexcept
    {
        return std::exchange(m_value, InvalidValue());
    }

private:
    T m_value;
};

} // namespace Win32
} // namespace CorvaneTools
