// The collector's side of the block: finding it, opening it, and pointing into it.
#include "perfmon/PerformanceDataCollector.h"

#include "win32/errors/Exception.h"
#include "win32/errors/Win32Exception.h"
#include "win32/handles/UniqueOwners.h"

namespace CorvaneTools {
namespace PerfMon {

using namespace Win32;

namespace {

// The block is not there yet: its writer has not made it, or not yet sized it.
bool IsAbsent(DWORD error)
{
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_NOT_READY;
}

} // namespace

const std::wstring &CPerformanceDataCollector::GetBlockError() const
{
    return m_blockError;
}

bool CPerformanceDataCollector::IsBlockOpen() const
{
    return m_block != nullptr;
}

void CPerformanceDataCollector::OpenBlock()
{
    // While no writer has made the block, which may be for as long as the consumer runs,
    // each collect asks once whether it exists, and builds nothing.
    if (!Win32::CUniqueHandle(::OpenFileMappingW(FILE_MAP_READ, FALSE, m_sectionName.c_str())).IsValid() &&
        IsAbsent(::GetLastError()))
    {
        m_blockError.clear();
        return;
    }
    DWORD error = ERROR_SUCCESS;
    std::wstring why;
    try
    {
        m_block.reset(new CPerformanceDataBlock(m_name, m_schema));
    }
    catch (const CWin32Exception &e)
    {
        error = e.GetError();
        why = e.GetWhere() + L" - " + e.GetMessage();
    }
    catch (const CException &e)
    {
        error = ERROR_INVALID_DATA;
        why = e.GetWhere() + L" - " + e.GetMessage();
    }
    if (IsAbsent(error))
    {
        why.clear();
    }
    m_blockError = why;
    PointIntoBlock();
}

void CPerformanceDataCollector::PointIntoBlock()
{
    const bool fits = m_block && m_layout.Fits();
    const BYTE *const block = fits ? m_block->GetBlock() : nullptr;
    for (DWORD i = 0; i < m_numObjects; ++i)
    {
        const CPerformanceDataBlockLayout::Object &layout = m_layout.GetObject(i);
        m_objects[i].record = fits ? block + layout.recordOffset : nullptr;
        m_objects[i].data = fits ? block + m_layout.GetCounterDataOffset() + layout.dataOffset : nullptr;
    }
}

} // namespace PerfMon
} // namespace CorvaneTools
