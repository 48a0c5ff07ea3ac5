#include "perfmon/PerformanceDataSchemaFileExporter.h"

#include "win32/errors/Exception.h"

#include "counters/TcpCounterSchema.h"

#include "tests/perfmon/TwoObjectSchema.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

using namespace CorvaneTools::Counters;
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

// What a UTF-16LE file with its byte order mark holds: FF FE, then every character low byte
// first.
std::string Utf16LEFile(const std::wstring &text)
{
    std::string bytes = "\xFF\xFE";
    for (const wchar_t c : text)
    {
        bytes += static_cast<char>(c & 0xFF);
        bytes += static_cast<char>((c >> 8) & 0xFF);
    }
    return bytes;
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
    TestSupport::AddTwoObjects(schema);
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
    TestSupport::AddTwoObjects(schema);
    CPerformanceDataSchemaFileExporter exporter;
    const std::wstring path = exporter.WriteIniFile(L"Corvane Tessaly", schema);
    EXPECT_EQ(exporter.GetDirectory() + L"Corvane_Tessaly.ini", path);
    const std::string bytes = ReadFile(path);
    EXPECT_EQ(std::string("\xFF\xFE[\0i\0n\0f\0o\0]\0\r\0\n\0", 18), bytes.substr(0, 18));
    EXPECT_EQ(Utf16LEFile(L"[info]\r\n"
              L"drivername=Corvane Tessaly\r\n"
              L"symbolfile=Corvane_Tessaly.h\r\n"
              L"\r\n"
              L"[objects]\r\n"
              L"OBJECT_0_009_NAME=First Object\r\n"
              L"OBJECT_1_009_NAME=Second\r\n"
              L"\r\n"
              L"[languages]\r\n"
              L"009=Ignored\r\n"
              L"\r\n"
              L"[text]\r\n"
              L"OBJECT_0_009_NAME=First Object\r\n"
              L"OBJECT_0_009_HELP=First help\r\n"
              L"OBJECT_0_COUNTER_0_009_NAME=A\r\n"
              L"OBJECT_0_COUNTER_0_009_HELP=a help\r\n"
              L"OBJECT_0_COUNTER_1_009_NAME=B\r\n"
              L"OBJECT_0_COUNTER_1_009_HELP=b help\r\n"
              L"\r\n"
              L"OBJECT_1_009_NAME=Second\r\n"
              L"OBJECT_1_009_HELP=Second help\r\n"
              L"OBJECT_1_COUNTER_0_009_NAME=C\r\n"
              L"OBJECT_1_COUNTER_0_009_HELP=c help\r\n"
              L"OBJECT_1_COUNTER_1_009_NAME=D\r\n"
              L"OBJECT_1_COUNTER_1_009_HELP=d help\r\n"
              L"OBJECT_1_COUNTER_2_009_NAME=E\r\n"
              L"OBJECT_1_COUNTER_2_009_HELP=e help\r\n"
              L"\r\n"),
              bytes);
}

TEST(PerformanceDataSchemaFileExporterTest, TextsOutsideTheAnsiCodePageAreKept)
{
    CPerformanceDataSchema schema(L"009");
    schema.AddObject(L"Z\u20ac\u00e9", L"help", 100).AddCounter(L"\u4e2d", L"help", 100, 0, 0x10000);
    CPerformanceDataSchemaFileExporter exporter;
    const std::string bytes = ReadFile(exporter.WriteIniFile(L"App\u00e9", schema));
    for (const wchar_t *line : {L"\r\ndrivername=App\u00e9\r\n", L"\r\nOBJECT_0_009_NAME=Z\u20ac\u00e9\r\n",
                                L"\r\nOBJECT_0_COUNTER_0_009_NAME=\u4e2d\r\n"})
    {
        EXPECT_NE(std::string::npos, bytes.find(Utf16LEFile(line).substr(2))) << testing::PrintToString(std::wstring(line));
    }
}

TEST(PerformanceDataSchemaFileExporterTest, DirectoryGoesWithTheExporterAndBadSchemasAreRefused)
{
    std::wstring directory;
    {
        CPerformanceDataSchema schema(L"009");
        TestSupport::AddTwoObjects(schema);
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

// The service's own counter set: every line as the counter-text loader must read it, CR LF;
// the .ini in UTF-16LE after its byte order mark, the .h in ASCII without one.
TEST(PerformanceDataSchemaFileExporterTest, TheTcpCounterSetFiles)
{
    CPerformanceDataSchema schema(L"009");
    BuildTcpCounterSchema(schema);
    CPerformanceDataSchemaFileExporter exporter;
    EXPECT_EQ(Utf16LEFile(
              L"[info]\r\n"
              L"drivername=Corvane Tessaly\r\n"
              L"symbolfile=Corvane_Tessaly.h\r\n"
              L"\r\n"
              L"[objects]\r\n"
              L"OBJECT_0_009_NAME=Corvane Tessaly Service\r\n"
              L"OBJECT_1_009_NAME=Corvane Tessaly Process Connections\r\n"
              L"\r\n"
              L"[languages]\r\n"
              L"009=Ignored\r\n"
              L"\r\n"
              L"[text]\r\n"
              L"OBJECT_0_009_NAME=Corvane Tessaly Service\r\n"
              L"OBJECT_0_009_HELP=The \"Corvane Tessaly Service\" object type defines counters that monitor the state of the TCP subsystem.\r\n"
              L"OBJECT_0_COUNTER_0_009_NAME=IPv4: CLOSED\r\n"
              L"OBJECT_0_COUNTER_0_009_HELP=The total number of IPv4 connections in CLOSED state\r\n"
              L"OBJECT_0_COUNTER_1_009_NAME=IPv4: LISTEN\r\n"
              L"OBJECT_0_COUNTER_1_009_HELP=The total number of IPv4 connections in LISTEN state\r\n"
              L"OBJECT_0_COUNTER_2_009_NAME=IPv4: SYN_SENT\r\n"
              L"OBJECT_0_COUNTER_2_009_HELP=The total number of IPv4 connections in SYN_SENT state\r\n"
              L"OBJECT_0_COUNTER_3_009_NAME=IPv4: SYN_RCVD\r\n"
              L"OBJECT_0_COUNTER_3_009_HELP=The total number of IPv4 connections in SYN_RCVD state\r\n"
              L"OBJECT_0_COUNTER_4_009_NAME=IPv4: ESTABLISHED\r\n"
              L"OBJECT_0_COUNTER_4_009_HELP=The total number of IPv4 connections in ESTABLISHED state\r\n"
              L"OBJECT_0_COUNTER_5_009_NAME=IPv4: FIN_WAIT1\r\n"
              L"OBJECT_0_COUNTER_5_009_HELP=The total number of IPv4 connections in FIN_WAIT1 state\r\n"
              L"OBJECT_0_COUNTER_6_009_NAME=IPv4: FIN_WAIT2\r\n"
              L"OBJECT_0_COUNTER_6_009_HELP=The total number of IPv4 connections in FIN_WAIT2 state\r\n"
              L"OBJECT_0_COUNTER_7_009_NAME=IPv4: CLOSE_WAIT\r\n"
              L"OBJECT_0_COUNTER_7_009_HELP=The total number of IPv4 connections in CLOSE_WAIT state\r\n"
              L"OBJECT_0_COUNTER_8_009_NAME=IPv4: CLOSING\r\n"
              L"OBJECT_0_COUNTER_8_009_HELP=The total number of IPv4 connections in CLOSING state\r\n"
              L"OBJECT_0_COUNTER_9_009_NAME=IPv4: LAST_ACK\r\n"
              L"OBJECT_0_COUNTER_9_009_HELP=The total number of IPv4 connections in LAST_ACK state\r\n"
              L"OBJECT_0_COUNTER_10_009_NAME=IPv4: TIME_WAIT\r\n"
              L"OBJECT_0_COUNTER_10_009_HELP=The total number of IPv4 connections in TIME_WAIT state\r\n"
              L"OBJECT_0_COUNTER_11_009_NAME=IPv4: Max TIME_WAIT\r\n"
              L"OBJECT_0_COUNTER_11_009_HELP=The maximum number of IPv4 connections ever in TIME_WAIT state\r\n"
              L"OBJECT_0_COUNTER_12_009_NAME=IPv4: DELETE TCB\r\n"
              L"OBJECT_0_COUNTER_12_009_HELP=The total number of IPv4 connections in DELETE_TCB state\r\n"
              L"OBJECT_0_COUNTER_13_009_NAME=IPv6: CLOSED\r\n"
              L"OBJECT_0_COUNTER_13_009_HELP=The total number of IPv6 connections in CLOSED state\r\n"
              L"OBJECT_0_COUNTER_14_009_NAME=IPv6: LISTEN\r\n"
              L"OBJECT_0_COUNTER_14_009_HELP=The total number of IPv6 connections in LISTEN state\r\n"
              L"OBJECT_0_COUNTER_15_009_NAME=IPv6: SYN_SENT\r\n"
              L"OBJECT_0_COUNTER_15_009_HELP=The total number of IPv6 connections in SYN_SENT state\r\n"
              L"OBJECT_0_COUNTER_16_009_NAME=IPv6: SYN_RCVD\r\n"
              L"OBJECT_0_COUNTER_16_009_HELP=The total number of IPv6 connections in SYN_RCVD state\r\n"
              L"OBJECT_0_COUNTER_17_009_NAME=IPv6: ESTABLISHED\r\n"
              L"OBJECT_0_COUNTER_17_009_HELP=The total number of IPv6 connections in ESTABLISHED state\r\n"
              L"OBJECT_0_COUNTER_18_009_NAME=IPv6: FIN_WAIT1\r\n"
              L"OBJECT_0_COUNTER_18_009_HELP=The total number of IPv6 connections in FIN_WAIT1 state\r\n"
              L"OBJECT_0_COUNTER_19_009_NAME=IPv6: FIN_WAIT2\r\n"
              L"OBJECT_0_COUNTER_19_009_HELP=The total number of IPv6 connections in FIN_WAIT2 state\r\n"
              L"OBJECT_0_COUNTER_20_009_NAME=IPv6: CLOSE_WAIT\r\n"
              L"OBJECT_0_COUNTER_20_009_HELP=The total number of IPv6 connections in CLOSE_WAIT state\r\n"
              L"OBJECT_0_COUNTER_21_009_NAME=IPv6: CLOSING\r\n"
              L"OBJECT_0_COUNTER_21_009_HELP=The total number of IPv6 connections in CLOSING state\r\n"
              L"OBJECT_0_COUNTER_22_009_NAME=IPv6: LAST_ACK\r\n"
              L"OBJECT_0_COUNTER_22_009_HELP=The total number of IPv6 connections in LAST_ACK state\r\n"
              L"OBJECT_0_COUNTER_23_009_NAME=IPv6: TIME_WAIT\r\n"
              L"OBJECT_0_COUNTER_23_009_HELP=The total number of IPv6 connections in TIME_WAIT state\r\n"
              L"OBJECT_0_COUNTER_24_009_NAME=IPv6: Max TIME_WAIT\r\n"
              L"OBJECT_0_COUNTER_24_009_HELP=The maximum number of IPv6 connections ever in TIME_WAIT state\r\n"
              L"OBJECT_0_COUNTER_25_009_NAME=IPv6: DELETE TCB\r\n"
              L"OBJECT_0_COUNTER_25_009_HELP=The total number of IPv6 connections in DELETE_TCB state\r\n"
              L"OBJECT_0_COUNTER_26_009_NAME=MaxUserPort\r\n"
              L"OBJECT_0_COUNTER_26_009_HELP=The value of HKLM\\SYSTEM\\CurrentControlSet\\Services\\TcpIp\\Parameters\\MaxUserPort\r\n"
              L"OBJECT_0_COUNTER_27_009_NAME=TcpTimedWaitDelay\r\n"
              L"OBJECT_0_COUNTER_27_009_HELP=The value of HKLM\\SYSTEM\\CurrentControlSet\\Services\\TcpIp\\Parameters\\TcpTimedWaitDelay\r\n"
              L"\r\n"
              L"OBJECT_1_009_NAME=Corvane Tessaly Process Connections\r\n"
              L"OBJECT_1_009_HELP=The \"Corvane Tessaly Process Connections\" object type counts the connections in the TCP table by owning process, IPv4 and IPv6 together: one instance per process among the 64 with the most connections, _Unowned for the rows without an owning process, _Other for the processes beyond those 64, and _Total.\r\n"
              L"OBJECT_1_COUNTER_0_009_NAME=Connections\r\n"
              L"OBJECT_1_COUNTER_0_009_HELP=The number of IPv4 and IPv6 connections owned by the process, in any state\r\n"
              L"OBJECT_1_COUNTER_1_009_NAME=CLOSED\r\n"
              L"OBJECT_1_COUNTER_1_009_HELP=The number of IPv4 and IPv6 connections owned by the process in CLOSED state\r\n"
              L"OBJECT_1_COUNTER_2_009_NAME=LISTEN\r\n"
              L"OBJECT_1_COUNTER_2_009_HELP=The number of IPv4 and IPv6 connections owned by the process in LISTEN state\r\n"
              L"OBJECT_1_COUNTER_3_009_NAME=SYN_SENT\r\n"
              L"OBJECT_1_COUNTER_3_009_HELP=The number of IPv4 and IPv6 connections owned by the process in SYN_SENT state\r\n"
              L"OBJECT_1_COUNTER_4_009_NAME=SYN_RCVD\r\n"
              L"OBJECT_1_COUNTER_4_009_HELP=The number of IPv4 and IPv6 connections owned by the process in SYN_RCVD state\r\n"
              L"OBJECT_1_COUNTER_5_009_NAME=ESTABLISHED\r\n"
              L"OBJECT_1_COUNTER_5_009_HELP=The number of IPv4 and IPv6 connections owned by the process in ESTABLISHED state\r\n"
              L"OBJECT_1_COUNTER_6_009_NAME=FIN_WAIT1\r\n"
              L"OBJECT_1_COUNTER_6_009_HELP=The number of IPv4 and IPv6 connections owned by the process in FIN_WAIT1 state\r\n"
              L"OBJECT_1_COUNTER_7_009_NAME=FIN_WAIT2\r\n"
              L"OBJECT_1_COUNTER_7_009_HELP=The number of IPv4 and IPv6 connections owned by the process in FIN_WAIT2 state\r\n"
              L"OBJECT_1_COUNTER_8_009_NAME=CLOSE_WAIT\r\n"
              L"OBJECT_1_COUNTER_8_009_HELP=The number of IPv4 and IPv6 connections owned by the process in CLOSE_WAIT state\r\n"
              L"OBJECT_1_COUNTER_9_009_NAME=CLOSING\r\n"
              L"OBJECT_1_COUNTER_9_009_HELP=The number of IPv4 and IPv6 connections owned by the process in CLOSING state\r\n"
              L"OBJECT_1_COUNTER_10_009_NAME=LAST_ACK\r\n"
              L"OBJECT_1_COUNTER_10_009_HELP=The number of IPv4 and IPv6 connections owned by the process in LAST_ACK state\r\n"
              L"OBJECT_1_COUNTER_11_009_NAME=TIME_WAIT\r\n"
              L"OBJECT_1_COUNTER_11_009_HELP=The number of IPv4 and IPv6 connections owned by the process in TIME_WAIT state\r\n"
              L"OBJECT_1_COUNTER_12_009_NAME=DELETE TCB\r\n"
              L"OBJECT_1_COUNTER_12_009_HELP=The number of IPv4 and IPv6 connections owned by the process in DELETE_TCB state\r\n"
              L"\r\n"),
        ReadFile(exporter.WriteIniFile(L"Corvane Tessaly", schema)));
    EXPECT_EQ(
              "#define OBJECT_0\t\t\t0\r\n"
              "#define OBJECT_0_COUNTER_0\t\t2\r\n"
              "#define OBJECT_0_COUNTER_1\t\t4\r\n"
              "#define OBJECT_0_COUNTER_2\t\t6\r\n"
              "#define OBJECT_0_COUNTER_3\t\t8\r\n"
              "#define OBJECT_0_COUNTER_4\t\t10\r\n"
              "#define OBJECT_0_COUNTER_5\t\t12\r\n"
              "#define OBJECT_0_COUNTER_6\t\t14\r\n"
              "#define OBJECT_0_COUNTER_7\t\t16\r\n"
              "#define OBJECT_0_COUNTER_8\t\t18\r\n"
              "#define OBJECT_0_COUNTER_9\t\t20\r\n"
              "#define OBJECT_0_COUNTER_10\t\t22\r\n"
              "#define OBJECT_0_COUNTER_11\t\t24\r\n"
              "#define OBJECT_0_COUNTER_12\t\t26\r\n"
              "#define OBJECT_0_COUNTER_13\t\t28\r\n"
              "#define OBJECT_0_COUNTER_14\t\t30\r\n"
              "#define OBJECT_0_COUNTER_15\t\t32\r\n"
              "#define OBJECT_0_COUNTER_16\t\t34\r\n"
              "#define OBJECT_0_COUNTER_17\t\t36\r\n"
              "#define OBJECT_0_COUNTER_18\t\t38\r\n"
              "#define OBJECT_0_COUNTER_19\t\t40\r\n"
              "#define OBJECT_0_COUNTER_20\t\t42\r\n"
              "#define OBJECT_0_COUNTER_21\t\t44\r\n"
              "#define OBJECT_0_COUNTER_22\t\t46\r\n"
              "#define OBJECT_0_COUNTER_23\t\t48\r\n"
              "#define OBJECT_0_COUNTER_24\t\t50\r\n"
              "#define OBJECT_0_COUNTER_25\t\t52\r\n"
              "#define OBJECT_0_COUNTER_26\t\t54\r\n"
              "#define OBJECT_0_COUNTER_27\t\t56\r\n"
              "\r\n"
              "#define OBJECT_1\t\t\t58\r\n"
              "#define OBJECT_1_COUNTER_0\t\t60\r\n"
              "#define OBJECT_1_COUNTER_1\t\t62\r\n"
              "#define OBJECT_1_COUNTER_2\t\t64\r\n"
              "#define OBJECT_1_COUNTER_3\t\t66\r\n"
              "#define OBJECT_1_COUNTER_4\t\t68\r\n"
              "#define OBJECT_1_COUNTER_5\t\t70\r\n"
              "#define OBJECT_1_COUNTER_6\t\t72\r\n"
              "#define OBJECT_1_COUNTER_7\t\t74\r\n"
              "#define OBJECT_1_COUNTER_8\t\t76\r\n"
              "#define OBJECT_1_COUNTER_9\t\t78\r\n"
              "#define OBJECT_1_COUNTER_10\t\t80\r\n"
              "#define OBJECT_1_COUNTER_11\t\t82\r\n"
              "#define OBJECT_1_COUNTER_12\t\t84\r\n"
              "\r\n",
        ReadFile(exporter.WriteSymbolFile(L"Corvane Tessaly", schema)));
}
