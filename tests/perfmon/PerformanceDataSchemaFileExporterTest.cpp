#include "perfmon/PerformanceDataSchemaFileExporter.h"

#include "win32/Exception.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

using namespace CorvaneTools::PerfMon;
using CorvaneTools::Win32::CException;

namespace {

std::string ReadFile(const std::wstring &path)
{
    std::ifstream file(path.c_str(), std::ios::binary);
    std::ostringstream content;
    content << file.rdbuf();
    return content.str();
}

void TwoObjects(CPerformanceDataSchema &schema)
{
    CPerformanceDataSchema::Object &first = schema.AddObject(L"First Object", L"First help", 100);
    first.AddCounter(L"A", L"a help", 100, 0, 0x10000);
    first.AddCounter(L"B", L"b help", 100, 0, 0x10000);
    CPerformanceDataSchema::Object &second = schema.AddObject(L"Second", L"Second help", 100);
    second.AddCounter(L"C", L"c help", 100, 0, 0x10000);
    second.AddCounter(L"D", L"d help", 100, 0, 0x10000);
    second.AddCounter(L"E", L"e help", 100, 0, 0x10000);
}

} // namespace

TEST(PerformanceDataSchemaFileExporterTest, BaseNames)
{
    EXPECT_EQ(L"Corvane_Tessaly", CPerformanceDataSchemaFileExporter::BaseName(L"Corvane Tessaly"));
    EXPECT_EQ(L"Plain", CPerformanceDataSchemaFileExporter::BaseName(L"Plain"));
    EXPECT_EQ(L"a__b_c_", CPerformanceDataSchemaFileExporter::BaseName(L"a  b c "));
}

TEST(PerformanceDataSchemaFileExporterTest, SymbolFileOffsetsRunAcrossObjects)
{
    CPerformanceDataSchema schema(L"009");
    TwoObjects(schema);
    CPerformanceDataSchemaFileExporter exporter;
    const std::wstring path = exporter.WriteSymbolFile(L"Corvane Tessaly", schema);
    EXPECT_EQ(exporter.GetDirectory() + L"Corvane_Tessaly.h", path);
    EXPECT_EQ("#define OBJECT_0\t\t\t0\r\n"
              "#define OBJECT_0_COUNTER_0\t\t2\r\n"
              "#define OBJECT_0_COUNTER_1\t\t4\r\n"
              "\r\n"
              "#define OBJECT_1\t\t\t6\r\n"
              "#define OBJECT_1_COUNTER_0\t\t8\r\n"
              "#define OBJECT_1_COUNTER_1\t\t10\r\n"
              "#define OBJECT_1_COUNTER_2\t\t12\r\n"
              "\r\n",
              ReadFile(path));
}

TEST(PerformanceDataSchemaFileExporterTest, IniFileExactly)
{
    CPerformanceDataSchema schema(L"009");
    TwoObjects(schema);
    CPerformanceDataSchemaFileExporter exporter;
    const std::wstring path = exporter.WriteIniFile(L"Corvane Tessaly", schema);
    EXPECT_EQ(exporter.GetDirectory() + L"Corvane_Tessaly.ini", path);
    EXPECT_EQ("[info]\r\n"
              "drivername=Corvane Tessaly\r\n"
              "symbolfile=Corvane_Tessaly.h\r\n"
              "\r\n"
              "[objects]\r\n"
              "OBJECT_0_009_NAME=First Object\r\n"
              "OBJECT_1_009_NAME=Second\r\n"
              "\r\n"
              "[languages]\r\n"
              "009=Ignored\r\n"
              "\r\n"
              "[text]\r\n"
              "OBJECT_0_009_NAME=First Object\r\n"
              "OBJECT_0_009_HELP=First help\r\n"
              "OBJECT_0_COUNTER_0_009_NAME=A\r\n"
              "OBJECT_0_COUNTER_0_009_HELP=a help\r\n"
              "OBJECT_0_COUNTER_1_009_NAME=B\r\n"
              "OBJECT_0_COUNTER_1_009_HELP=b help\r\n"
              "\r\n"
              "OBJECT_1_009_NAME=Second\r\n"
              "OBJECT_1_009_HELP=Second help\r\n"
              "OBJECT_1_COUNTER_0_009_NAME=C\r\n"
              "OBJECT_1_COUNTER_0_009_HELP=c help\r\n"
              "OBJECT_1_COUNTER_1_009_NAME=D\r\n"
              "OBJECT_1_COUNTER_1_009_HELP=d help\r\n"
              "OBJECT_1_COUNTER_2_009_NAME=E\r\n"
              "OBJECT_1_COUNTER_2_009_HELP=e help\r\n"
              "\r\n",
              ReadFile(path));
}

TEST(PerformanceDataSchemaFileExporterTest, DirectoryGoesWithTheExporterAndBadSchemasAreRefused)
{
    std::wstring directory;
    {
        CPerformanceDataSchema schema(L"009");
        TwoObjects(schema);
        CPerformanceDataSchemaFileExporter exporter;
        directory = exporter.GetDirectory();
        EXPECT_NE(std::wstring::npos, directory.find(L"CORVANE-PerfDataExporter"));
        exporter.WriteIniFile(L"App", schema);
        exporter.WriteSymbolFile(L"App", schema);
        EXPECT_NE(INVALID_FILE_ATTRIBUTES, ::GetFileAttributesW((directory + L"App.ini").c_str()));

        CPerformanceDataSchema empty(L"009");
        EXPECT_THROW(exporter.WriteIniFile(L"App", empty), CException);
        EXPECT_THROW(exporter.WriteSymbolFile(L"App", empty), CException);
    }
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, ::GetFileAttributesW(directory.c_str()));
}
