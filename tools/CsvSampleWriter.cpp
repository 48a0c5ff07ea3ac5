#include "tools/CsvSampleWriter.h"

#include <cwchar>

namespace CorvaneTools {
namespace Tools {

CCsvSampleWriter::CCsvSampleWriter(CSampleOutput &output) : m_output(output)
{
}

void CCsvSampleWriter::WriteHeader(const TIME_ZONE_INFORMATION &zone, const std::vector<std::wstring> &paths)
{
    std::vector<std::wstring> cells(1, FormatZone(zone));
    cells.insert(cells.end(), paths.begin(), paths.end());
    WriteRow(cells);
}

void CCsvSampleWriter::WriteSample(const SYSTEMTIME &time, const std::vector<std::optional<ULONGLONG>> &values)
{
    std::vector<std::wstring> cells(1, FormatTime(time));
    for (const std::optional<ULONGLONG> &value : values)
    {
        cells.push_back(value ? std::to_wstring(*value) : std::wstring());
    }
    WriteRow(cells);
}

std::wstring CCsvSampleWriter::FormatZone(const TIME_ZONE_INFORMATION &zone)
{
    // The platform does not promise a terminated name in the fixed-size field.
    const size_t length = ::wcsnlen(zone.StandardName, sizeof(zone.StandardName) / sizeof(zone.StandardName[0]));
    return L"(PDH-CSV 4.0) (" + std::wstring(zone.StandardName, length) + L")(" + std::to_wstring(zone.Bias) + L")";
}

std::wstring CCsvSampleWriter::FormatTime(const SYSTEMTIME &time)
{
    wchar_t text[32];
    std::swprintf(text, sizeof(text) / sizeof(text[0]), L"%02u/%02u/%04u %02u:%02u:%02u.%03u", time.wMonth,
                  time.wDay, time.wYear, time.wHour, time.wMinute, time.wSecond, time.wMilliseconds);
    return text;
}

std::wstring CCsvSampleWriter::FormatPath(const std::wstring &computer, const std::wstring &object,
                                          const std::wstring &counter)
{
    return L"\\\\" + computer + L"\\" + object + L"\\" + counter;
}

std::wstring CCsvSampleWriter::FormatPath(const std::wstring &computer, const std::wstring &object,
                                          const std::wstring &instance, const std::wstring &counter)
{
    return FormatPath(computer, object + L"(" + instance + L")", counter);
}

std::wstring CCsvSampleWriter::Quote(const std::wstring &cell)
{
    std::wstring quoted(1, L'"');
    for (const wchar_t c : cell)
    {
        quoted += c;
        if (c == L'"')
        {
            quoted += c;
        }
    }
    return quoted + L'"';
}

void CCsvSampleWriter::WriteRow(const std::vector<std::wstring> &cells)
{
    std::wstring row;
    for (size_t i = 0; i < cells.size(); ++i)
    {
        row += (i == 0 ? L"" : L",") + Quote(cells[i]);
    }
    m_output.Write(row + L"\r\n");
}

} // namespace Tools
} // namespace CorvaneTools
