#pragma once

#include <windows.h>

namespace CorvaneTools {
namespace PerfMon {

// What the counter DLL's entry points call; one implementation per DLL.
class ICollectPerformanceData
{
public:
    virtual void Open(const wchar_t *deviceNames) = 0;
    virtual void Close() = 0;
    // False when the data do not fit the buffer; data is advanced past what is written.
    virtual bool Collect(const wchar_t *valueName, void *&data, DWORD &totalBytes, DWORD &numObjectTypes) = 0;
    virtual ~ICollectPerformanceData() = default;
};

} // namespace PerfMon
} // namespace CorvaneTools
