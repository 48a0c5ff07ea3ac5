#pragma once

#include "perfmon/PerformanceDataSchema.h"
#include "win32/files/StagingDirectory.h"

#include <string>

namespace CorvaneTools {
namespace PerfMon {

// Writes the .ini and symbol (.h) files the platform's counter-text loader reads, into a
// private staging directory that goes away with the exporter. The order of the symbols
// fixes every title index relative to the installed first counter. The .ini is UTF-16LE
// with its byte order mark, the .h ASCII.
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
    // Writing a file changes only which files the directory takes away with it.
    mutable Win32::CStagingDirectory m_directory;
};

} // namespace PerfMon
} // namespace CorvaneTools
