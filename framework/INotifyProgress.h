#pragma once

#include <windows.h>

namespace CorvaneTools {
namespace Service {

// Long work tells the service control manager it is still going.
class INotifyProgress
{
public:
    virtual void NotifyProgress(DWORD waitHintMs) = 0;
    virtual ~INotifyProgress() = default;
};

} // namespace Service
} // namespace CorvaneTools
