#pragma once

#include "tests/support/TestNames.h"

#include <windows.h>

#include <string>
#include <vector>

namespace TestSupport {

// A test that needs a second process starts this same program again with
// "--child=NAME args..." and the named entry point runs instead of the tests.
typedef int (*ChildEntry)(const std::vector<std::wstring> &args);

// Registers an entry point at static initialisation; returns true so it can seed a static.
bool RegisterChild(const wchar_t *name, ChildEntry entry);

// Runs the named child if the command line asks for one; returns false otherwise.
bool RunChildIfRequested(int argc, wchar_t **argv, int &exitCode);

// A started child process of this program, waited for and closed by the destructor.
class CChildProcess
{
public:
    // The program is this test program unless another path is named; without a child name
    // it is started with the arguments alone. A debugged child
    // must be waited for with WaitDebugging, on the thread that started it. With a token
    // it runs as that token's user.
    CChildProcess(const std::wstring &name, const std::vector<std::wstring> &args = {},
                  const std::wstring &program = std::wstring(), bool debug = false, HANDLE token = nullptr);
    ~CChildProcess();

    CChildProcess(const CChildProcess &) = delete;
    CChildProcess &operator=(const CChildProcess &) = delete;

    // Waits at most timeoutMs; returns the exit code, or STILL_ACTIVE when it has not ended.
    DWORD Wait(DWORD timeoutMs = 60000);

    // Acts as the child's debugger until it ends: collects its debugger output, one entry
    // per string it sent, as a debugger receives them. Returns the exit code, or STILL_ACTIVE.
    DWORD WaitDebugging(std::vector<std::string> &debugOutput, DWORD timeoutMs = 60000);

    // What the child wrote to its standard output and error so far, read after it ended.
    std::string Output();

    HANDLE Handle() const;

private:
    PROCESS_INFORMATION m_process;
    HANDLE m_outputRead;
};

// Runs a child to its end; returns its exit code.
DWORD RunChild(const std::wstring &name, const std::vector<std::wstring> &args = {});

} // namespace TestSupport

// Declares a child entry point: CHILD_MAIN(Name) { ...; return code; }
#define TESSALY_CHILD_MAIN(name)                                                                                  \
    static int ChildMain_##name(const std::vector<std::wstring> &args);                                        \
    static const bool s_childRegistered_##name = TestSupport::RegisterChild(L## #name, &ChildMain_##name);         \
    static int ChildMain_##name([[maybe_unused]] const std::vector<std::wstring> &args)
