#pragma once

namespace CorvaneTools {
namespace Win32 {

// How a named kernel object is obtained.
enum KernelObjectCreationMode
{
    CreateOrOpen = 0,
    // An object of that name that already exists is an error.
    CreateOnly = 1,
    // An object of that name that does not exist is an error.
    OpenOnly = 2,
};

} // namespace Win32
} // namespace CorvaneTools
