#pragma once

#include <windows.h>

#include <memory>

namespace CorvaneTools {
namespace TessalyService {

class CService;

// Makes the one service the program runs; test builds make one that misbehaves.
typedef std::unique_ptr<CService> (*ServiceFactory)();

// The kind of crash dump the program writes: the whole memory.
const DWORD ProgramDumpKind = 2;

// The program's whole run, from the crash handlers to the service manager's result,
// which becomes the process exit code. Test builds may write smaller dumps, as a whole
// memory dump here takes about 40 s.
DWORD RunProgram(ServiceFactory makeService = nullptr, DWORD dumpKind = ProgramDumpKind);

// What the crash-dump policy calls when the process keeps crashing: one more dump, then
// the process ends with TooManyDumpsExitCode.
void OnTooManyCrashDumps();

const DWORD TooManyDumpsExitCode = 666;

} // namespace TessalyService
} // namespace CorvaneTools
