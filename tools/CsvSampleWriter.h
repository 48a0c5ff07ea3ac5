#pragma once

#include "tools/SampleOutput.h"

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

namespace CorvaneTools {
namespace Tools {

// Writes samples as the platform's command-line sampler writes its CSV files: a header row
// naming the format, the time zone and each counter's full path, then one row per sample.
// Every cell is quoted and every row ends with CR LF.
class CCsvSampleWriter
{
public:
    explicit CCsvSampleWriter(CSampleOutput &output);

    // The zone's cell, then one full counter path per column.
    void WriteHeader(const TIME_ZONE_INFORMATION &zone, const std::vector<std::wstring> &paths);
    // One value per column of the header; an empty one is written as an empty cell.
    void WriteSample(const SYSTEMTIME &time, const std::vector<std::optional<ULONGLONG>> &values);

    // "(PDH-CSV 4.0) (<standard name>)(<bias in minutes>)"
    static std::wstring FormatZone(const TIME_ZONE_INFORMATION &zone);
    // "MM/dd/yyyy HH:mm:ss.fff"
    static std::wstring FormatTime(const SYSTEMTIME &time);
    // "\\<computer>\<object>\<counter>"
    static std::wstring FormatPath(const std::wstring &computer, const std::wstring &object,
                                   const std::wstring &counter);
    // "\\<computer>\<object>(<instance>)\<counter>"
    static std::wstring FormatPath(const std::wstring &computer, const std::wstring &object,
                                   const std::wstring &instance, const std::wstring &counter);
    // The cell in quotes, its own quotes doubled.
    static std::wstring Quote(const std::wstring &cell);

private:
    void WriteRow(const std::vector<std::wstring> &cells);

    CSampleOutput &m_output;
};

} // namespace Tools
} // namespace CorvaneTools
