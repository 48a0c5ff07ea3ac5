#pragma once

#include "win32/handles/KernelObjectName.h"

#include <string>

namespace CorvaneTools {
namespace PerfMon {

// Every kernel object name of one performance data block, made from the block's name:
// the writer, the readers and the tests all take them from here.
class CPerformanceDataBlockNames
{
public:
    explicit CPerformanceDataBlockNames(const Win32::IKernelObjectName &block);
    // The block's name exactly as given.
    explicit CPerformanceDataBlockNames(const std::wstring &block);

    // A counter set's block is in the global namespace, so that readers in every session
    // find the one the service made.
    static Win32::CGlobalName CounterSetBlock(const std::wstring &counterSetName);
    static CPerformanceDataBlockNames OfCounterSet(const std::wstring &counterSetName);

    std::wstring Block() const;
    // The section that holds the block.
    std::wstring Section() const;
    // The lock's event, and the two mappings that hold its state and its owner.
    std::wstring Lock() const;
    std::wstring LockState() const;
    std::wstring LockOwner() const;

private:
    std::wstring m_block;
};

} // namespace PerfMon
} // namespace CorvaneTools
