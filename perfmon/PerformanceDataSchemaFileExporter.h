#pragma once

#include "perfmon/PerformanceDataSchema.h"
#include "win32/TempDirectory.h"

#include <string>

namespace CorvaneTools {
namespace PerfMon {

// Writes the .ini and symbol (.h) files the platform's counter-text loader reads, into a
// private temporary directory that goes away with the exporter. The order of the symbols
// fixes every title index relative to the installed first counter.
class CPerformanceDataSchemaFileExporter
{
public:
    CPerformanceDataSchemaFileExporter();

    // Full paths of the files written.
    std::wstring WriteIniFile(const std::wstring &applicationName, const CPerformanceDataSchema &schema) const;
    std::wstring WriteSymbolFile(const std::wstring &applicationName, const CPerformanceDataSchema &schema) const;

    const std::wstring &GetDirectory() const;

    // The application name with every blank replaced by "_".
    static std::wstring BaseName(const std::wstring &applicationName);

private:
    Win32::CTempDirectory m_directory;
};

} // namespace PerfMon
} // namespace CorvaneTools
