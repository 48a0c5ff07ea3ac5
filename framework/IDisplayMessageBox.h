#pragma once

#include <windows.h>

#include <string>

namespace CorvaneTools {
namespace Service {

// Tells the user something, in a box unless messages are off.
class IDisplayMessageBox
{
public:
    virtual DWORD DisplayMessage(const std::wstring &message) = 0;
    virtual ~IDisplayMessageBox() = default;
};

} // namespace Service
} // namespace CorvaneTools
