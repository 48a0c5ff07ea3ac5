#pragma once

#include "installer/PlanSteps.h"

#include <functional>
#include <string>
#include <vector>

namespace CorvaneTools {
namespace Installer {

// Carries out a deferred action's steps in order, telling the log what it does.
class CPlanRunner
{
public:
    explicit CPlanRunner(std::function<void(const std::wstring &)> log);

    // Throws CException at the first step that fails. A rollback (keepGoing) logs a
    // failed step and goes on with the next: whatever it can put back, it puts back.
    void Execute(const std::vector<CPlanStep> &steps, bool keepGoing);

    // A command answered 3010: the system must restart to finish.
    bool RestartNeeded() const
    {
        return m_restartNeeded;
    }

    // How long a step may take before it fails.
    static const DWORD ServiceTimeoutMs = 60000;
    static const DWORD ProgramTimeoutMs = 300000;

private:
    void Execute(const CPlanStep &step);
    void RunProgram(const std::wstring &commandLine, bool mustSucceed);
    void CleanUp(const std::wstring &folder, const std::wstring &program);

    std::function<void(const std::wstring &)> m_log;
    bool m_restartNeeded = false;
};

} // namespace Installer
} // namespace CorvaneTools
