#include "win32/crash/CrashDumps.h"
#include "win32/crash/CrashHandlers.h"
#include "win32/crash/SEHException.h"
#include "win32/crash/StackWalker.h"

#include "tests/support/ChildProcess.h"
#include "tests/support/ScratchDirectory.h"
#include "tests/win32/crash/CrashDumpTestSupport.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>

using namespace CorvaneTools::Win32;
using CrashDumpTests::CCapturedLog;
using CrashDumpTests::CFakeDumper;
using CrashDumpTests::Narrow;

namespace {

void OtherPureCallHandler()
{
}
void OtherNewHandler()
{
}
void OtherTerminateHandler()
{
    std::abort();
}
void OtherAbortHandler(int)
{
}

int *volatile g_null = nullptr;

// The 32-bit runtime has no getter.
_purecall_handler CurrentPureCallHandler()
{
    const _purecall_handler current = ::_set_purecall_handler(&OtherPureCallHandler);
    ::_set_purecall_handler(current);
    return current;
}

// The process-wide policy writes through a fake for the life of the test, without limit.
class CProcessPolicyScope
{
public:
    CProcessPolicyScope() : m_scratch(L"CrashHandlers"), m_dumper(m_scratch / L"app.exe")
    {
        InitialiseCrashDumps(&m_dumper, 0, true, 0, nullptr);
    }
    ~CProcessPolicyScope()
    {
        InitialiseCrashDumps(nullptr, 10, true, 0, nullptr);
    }
    CFakeDumper &Dumper()
    {
        return m_dumper;
    }

private:
    TestSupport::CScratchDirectory m_scratch;
    CFakeDumper m_dumper;
};

} // namespace

TEST(CrashHandlersTest, InstallsItsHooksAndRestoresThePreviousOnes)
{
    const UINT errorMode = ::SetErrorMode(SEM_FAILCRITICALERRORS);
    const auto purecall = ::_set_purecall_handler(&OtherPureCallHandler);
    const auto newHandler = std::set_new_handler(&OtherNewHandler);
    const auto terminate = std::set_terminate(&OtherTerminateHandler);
    const auto abortHandler = std::signal(SIGABRT, &OtherAbortHandler);
    {
        CCrashHandlers handlers;
        EXPECT_EQ(0x8003u, ::GetErrorMode());
        EXPECT_EQ(&CCrashHandlers::PureCallHandler, CurrentPureCallHandler());
        EXPECT_EQ(&CCrashHandlers::TranslateStructuredException, CSEHTranslator::GetCurrent());
        EXPECT_EQ(&CCrashHandlers::TerminateHandler, std::get_terminate());
        EXPECT_EQ(&CCrashHandlers::NewHandler, std::get_new_handler());
        EXPECT_EQ(&CCrashHandlers::AbortSignalHandler, std::signal(SIGABRT, &CCrashHandlers::AbortSignalHandler));
    }
    EXPECT_EQ(UINT(SEM_FAILCRITICALERRORS), ::GetErrorMode());
    EXPECT_EQ(&OtherPureCallHandler, CurrentPureCallHandler());
    EXPECT_EQ(nullptr, CSEHTranslator::GetCurrent());
    EXPECT_EQ(&OtherTerminateHandler, std::get_terminate());
    EXPECT_EQ(&OtherNewHandler, std::get_new_handler());
    EXPECT_EQ(&OtherAbortHandler, std::signal(SIGABRT, abortHandler));
    std::set_terminate(terminate);
    std::set_new_handler(newHandler);
    ::_set_purecall_handler(purecall);
    ::SetErrorMode(errorMode);
}

TEST(CrashHandlersTest, TranslatorDumpsEveryStructuredExceptionButStackOverflow)
{
    CProcessPolicyScope policy;
    const struct
    {
        unsigned int code;
        int dumps;
    } cases[] = {{EXCEPTION_ACCESS_VIOLATION, 1}, {EXCEPTION_STACK_OVERFLOW, 0}, {EXCEPTION_INT_DIVIDE_BY_ZERO, 1}};
    for (const auto &c : cases)
    {
        EXCEPTION_RECORD record = {};
        record.ExceptionCode = c.code;
        CONTEXT context = {};
        EXCEPTION_POINTERS information = {&record, &context};
        const int before = policy.Dumper().m_writes;
        try
        {
            CCrashHandlers::TranslateStructuredException(c.code, &information);
        }
        catch (const CSEHException &e)
        {
            EXPECT_EQ(c.code, e.GetCode());
            EXPECT_EQ(&information, e.GetInformation());
        }
        EXPECT_EQ(c.dumps, policy.Dumper().m_writes - before) << std::hex << c.code;
    }
}

TEST(CrashHandlersTest, ARealFaultIsDumpedAndArrivesAsCSEHException)
{
    CProcessPolicyScope policy;
    CCrashHandlers handlers;
    unsigned int code = 0;
    try
    {
        *g_null = 1;
    }
    catch (const CSEHException &e)
    {
        code = e.GetCode();
    }
    EXPECT_EQ(unsigned(EXCEPTION_ACCESS_VIOLATION), code);
    EXPECT_EQ(1, policy.Dumper().m_writes);
    EXPECT_NE(nullptr, policy.Dumper().m_lastInformation);
}

TEST(CrashHandlersTest, PureCallDumpsAndNewHandlerThrows)
{
    CProcessPolicyScope policy;
    CCapturedLog log;
    CCrashHandlers::PureCallHandler();
    EXPECT_EQ(1, policy.Dumper().m_writes);
    EXPECT_EQ(nullptr, policy.Dumper().m_lastInformation);
    EXPECT_EQ("Purecall", log.Messages().back());
    EXPECT_THROW(CCrashHandlers::NewHandler(), std::bad_alloc);
}

TEST(CrashHandlersTest, CallStackNamesThisProgramFirst)
{
    const std::wstring stack = CStackWalker::GetCallStack();
    const std::wstring program = TestSupport::ThisProgram().substr(TestSupport::ThisProgram().rfind(L'\\') + 1);
    EXPECT_EQ(0u, stack.find(program)) << Narrow(stack);
    EXPECT_LT(2u, size_t(std::count(stack.begin(), stack.end(), L'\n')));
}

TESSALY_CHILD_MAIN(CrashHandlersTerminateChild)
{
    CorvaneTools::Win32::CDebugTrace::Instance().SetLogName(Narrow(args.at(0)));
    CCrashHandlers handlers;
    std::terminate();
}

TEST(CrashHandlersTest, TerminateLogsTheCallStackAndEndsTheProcess)
{
    CCapturedLog log(CCapturedLog::TempPath());
    TestSupport::CChildProcess child(L"CrashHandlersTerminateChild", {std::wstring(log.Path().begin(), log.Path().end())});
    EXPECT_EQ(3u, child.Wait());
    // Abort, as the runtime's own terminate handler calls it, raises SIGABRT.
    EXPECT_EQ((std::vector<std::string>{"std::terminate!", "SIGABRT!"}), log.Messages());
    const std::string text = TestSupport::ReadBytes(std::wstring(log.Path().begin(), log.Path().end()));
    const std::string program = Narrow(TestSupport::ThisProgram().substr(TestSupport::ThisProgram().rfind(L'\\') + 1));
    const size_t terminate = text.find("std::terminate!");
    const size_t abortSignal = text.find("SIGABRT!");
    EXPECT_LT(terminate, text.find(program, terminate)) << text;
    EXPECT_LT(abortSignal, text.find(program, abortSignal)) << text;
}
