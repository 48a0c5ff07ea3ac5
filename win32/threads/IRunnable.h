#pragma once

namespace CorvaneTools {
namespace Win32 {

// The work a CThread runs. Never deleted through this interface.
class IRunnable
{
public:
    // The result is the thread's exit code.
    virtual unsigned int Run() = 0;

protected:
    ~IRunnable() = default;
};

} // namespace Win32
} // namespace CorvaneTools
