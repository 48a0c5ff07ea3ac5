#pragma once

#include <windows.h>

#include <initializer_list>
#include <string>
#include <vector>

// A child process that loads the test build of the counter DLL (which serves the counter
// set named in its environment and faults or holds the block's lock on request) and calls
// its exports step by step, printing one line per step:
//   "open", "close", "collect:<value name>:<buffer size>", "reload:<times>", "nulls",
//   "values:<value name>" (the 28 values collected and how long it took),
//   "threads:<threads>:<rounds>" (open, collects and close from many threads at once),
//   "watch:<title index>:<threads>:<events>" (one open for a consumer's whole run; see
//   CounterDllHost.h).
namespace CounterDll {

const DWORD BufferSize = 4096;

struct Session
{
    DWORD exitCode;
    std::string output;
    std::vector<std::string> debugLines;
};

// The test DLL of this test program's architecture, or of the other one.
std::wstring TestCounterDll(bool otherArchitecture = false);
std::wstring TcpChecksum();

// The child's arguments, for a session started without waiting for it.
std::vector<std::wstring> SessionArgs(const std::wstring &counterSet, const std::vector<std::wstring> &steps,
                                      bool otherArchitecture = false);

// Runs a session to its end, under a debugger unless asked not to; keeps only the DLL's
// own debugger lines.
Session RunSession(const std::wstring &counterSet, const std::vector<std::wstring> &steps, bool debug = true,
                   bool otherArchitecture = false);

size_t Count(const std::string &text, const std::string &part);
std::string Lines(std::initializer_list<const char *> lines);

} // namespace CounterDll
