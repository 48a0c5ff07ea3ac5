#include "win32/crash/SEHException.h"
#include "win32/crash/SEHTranslator.h"

#include "tests/support/CatchException.h"
#include "tests/support/ChildProcess.h"

#include <gtest/gtest.h>

#include <cwchar>
#include <stdexcept>
#include <string>
#include <vector>

using namespace CorvaneTools::Win32;

namespace {

int g_destroyed = 0;

struct CCountOnDestruction
{
    ~CCountOnDestruction()
    {
        ++g_destroyed;
    }
};

// The compiler cannot see through these, so the faults happen at run time where written.
int *volatile g_null = nullptr;
volatile int g_zero = 0;
volatile int g_sink = 0;

__attribute__((noinline)) void WriteThroughNull()
{
    CCountOnDestruction guard;
    *g_null = 42;
    g_sink = 1;
}

__attribute__((noinline)) int DivideByZero(int value)
{
    CCountOnDestruction guard;
    return value / g_zero;
}

__attribute__((noinline)) void ReadThroughNullDeep(int depth)
{
    CCountOnDestruction guard;
    if (depth == 0)
    {
        g_sink = *g_null;
        return;
    }
    ReadThroughNullDeep(depth - 1);
    g_sink = depth;
}

std::wstring FormatPointer(const void *address)
{
    wchar_t text[32];
    swprintf(text, 32, L"0x%p", address);
    return text;
}

template <typename Action>
CSEHException ExpectTranslated(Action action)
{
    CSEHTranslator translator(&CSEHException::Translate);
    return TestSupport::CatchException<CSEHException>(action);
}

unsigned int g_seenCode = 0;

void RecordingTranslator(unsigned int code, EXCEPTION_POINTERS *information)
{
    g_seenCode = code;
    // Only valid here: the record of the fault that is being translated.
    if (information->ExceptionRecord->ExceptionCode != code)
    {
        throw std::logic_error("record does not carry the code");
    }
    throw std::runtime_error("recorded");
}

} // namespace

TEST(SEHTranslatorTest, AccessViolationArrivesAsCSEHExceptionWithItsAddress)
{
    g_destroyed = 0;
    const CSEHException e = ExpectTranslated([] { WriteThroughNull(); });
    EXPECT_EQ(0xC0000005u, e.GetCode());
    EXPECT_EQ(L"ACCESS_VIOLATION", e.GetWhere());
    // The fault address lies inside the function that faulted.
    const std::wstring message = e.GetMessage();
    ASSERT_EQ(L"0x", message.substr(0, 2));
    const unsigned long long address = std::wcstoull(message.c_str() + 2, nullptr, 16);
    const unsigned long long start = reinterpret_cast<unsigned long long>(&WriteThroughNull);
    EXPECT_GE(address, start);
    EXPECT_LT(address, start + 256);
    EXPECT_EQ(sizeof(void *) * 2 + 2, message.size());
    EXPECT_EQ(1, g_destroyed) << "the faulting frame's destructor must run";
}

TEST(SEHTranslatorTest, IntegerDivideByZeroIsTranslated)
{
    g_destroyed = 0;
    const CSEHException e = ExpectTranslated([] { g_sink = DivideByZero(7); });
    EXPECT_EQ(0xC0000094u, e.GetCode());
    EXPECT_EQ(L"INT_DIVIDE_BY_ZERO", e.GetWhere());
    EXPECT_EQ(1, g_destroyed);
}

TEST(SEHTranslatorTest, EveryFrameBetweenFaultAndCatchIsUnwound)
{
    g_destroyed = 0;
    const CSEHException e = ExpectTranslated([] {
        CCountOnDestruction outer;
        ReadThroughNullDeep(5);
    });
    EXPECT_EQ(0xC0000005u, e.GetCode());
    EXPECT_EQ(7, g_destroyed);
}

TEST(SEHTranslatorTest, RepeatedFaultsAreEachTranslated)
{
    int caught = 0;
    CSEHTranslator translator(&CSEHException::Translate);
    for (int i = 0; i < 500; ++i)
    {
        try
        {
            if (i % 2)
            {
                WriteThroughNull();
            }
            else
            {
                g_sink = DivideByZero(i);
            }
        }
        catch (const CSEHException &e)
        {
            caught += (e.GetCode() == (i % 2 ? 0xC0000005u : 0xC0000094u));
        }
    }
    EXPECT_EQ(500, caught);
}

TEST(SEHTranslatorTest, ScopesNestAndRestoreTheOuterTranslator)
{
    EXPECT_EQ(nullptr, CSEHTranslator::GetCurrent());
    {
        CSEHTranslator outer(&CSEHException::Translate);
        {
            CSEHTranslator inner(&RecordingTranslator);
            EXPECT_EQ(&RecordingTranslator, CSEHTranslator::GetCurrent());
            g_seenCode = 0;
            EXPECT_THROW(WriteThroughNull(), std::runtime_error);
            EXPECT_EQ(0xC0000005u, g_seenCode);
        }
        EXPECT_EQ(&CSEHException::Translate, CSEHTranslator::GetCurrent());
        EXPECT_THROW(WriteThroughNull(), CSEHException);
    }
    EXPECT_EQ(nullptr, CSEHTranslator::GetCurrent());
}

TEST(SEHTranslatorTest, SoftwareExceptionsPassThroughUntouched)
{
    CSEHTranslator translator(&CSEHException::Translate);
    // Debugger output travels as an informational exception that must not be translated.
    ::OutputDebugStringW(L"SEHTranslatorTest\n");
    EXPECT_THROW(throw std::runtime_error("plain"), std::runtime_error);
    EXPECT_FALSE(CSEHTranslator::IsTranslated(0x40010006));   // debugger output
    EXPECT_FALSE(CSEHTranslator::IsTranslated(0x406D1388));   // thread name
    EXPECT_FALSE(CSEHTranslator::IsTranslated(0xE06D7363));   // another compiler's C++ exception
    EXPECT_FALSE(CSEHTranslator::IsTranslated(0x20474343));   // this compiler's C++ exception
    EXPECT_TRUE(CSEHTranslator::IsTranslated(0xC0000005));
    EXPECT_TRUE(CSEHTranslator::IsTranslated(0xC00000FD));
    EXPECT_TRUE(CSEHTranslator::IsTranslated(0x80000001));
    EXPECT_TRUE(CSEHTranslator::IsTranslated(0x80000004));
    EXPECT_FALSE(CSEHTranslator::IsTranslated(0x80000005));
}

TEST(SEHTranslatorTest, NamesTable)
{
    const std::vector<std::pair<unsigned int, const wchar_t *>> names = {
        {0xC0000005, L"ACCESS_VIOLATION"},   {0x80000002, L"DATATYPE_MISALIGNMENT"},
        {0x80000003, L"BREAKPOINT"},         {0x80000004, L"SINGLE_STEP"},
        {0x80000001, L"GUARD_PAGE"},         {0xC0000006, L"IN_PAGE_ERROR"},
        {0xC0000008, L"INVALID_HANDLE"},     {0xC000001D, L"ILLEGAL_INSTRUCTION"},
        {0xC0000025, L"NONCONTINUABLE_EXCEPTION"}, {0xC0000026, L"INVALID_DISPOSITION"},
        {0xC000008C, L"ARRAY_BOUNDS_EXCEEDED"}, {0xC000008F, L"FLT_INEXACT_RESULT"},
        {0xC0000090, L"FLT_INVALID_OPERATION"}, {0xC0000091, L"FLT_OVERFLOW"},
        {0xC0000092, L"FLT_STACK_CHECK"},    {0xC0000093, L"FLT_UNDERFLOW"},
        {0xC0000094, L"INT_DIVIDE_BY_ZERO"}, {0xC0000095, L"INT_OVERFLOW"},
        {0xC0000096, L"PRIV_INSTRUCTION"},   {0xC00000FD, L"STACK_OVERFLOW"},
        {0xC000008D, L"FLT_DENORMAL_OPERAND"}, {0xC000008E, L"FLT_DIVIDE_BY_ZERO"},
    };
    for (const auto &entry : names)
    {
        EXPECT_EQ(entry.second, CSEHException::GetName(entry.first)) << std::hex << entry.first;
    }
    EXPECT_EQ(L"Unknown exception", CSEHException::GetName(0xC0000001));
    EXPECT_EQ(L"Unknown exception", CSEHException::GetName(0));
    EXPECT_EQ(L"Unknown exception", CSEHException(0xE0000001, nullptr).GetWhere());
    EXPECT_EQ(FormatPointer(nullptr), CSEHException(0xC0000005, nullptr).GetMessage());
}

// Children that fault where no translator is installed: the process must die of the fault.

TESSALY_CHILD_MAIN(FaultWithoutTranslator)
{
    {
        CSEHTranslator translator(&CSEHException::Translate);
    }
    WriteThroughNull();
    return 0;
}

static DWORD WINAPI FaultingThread(void *)
{
    WriteThroughNull();
    return 0;
}

TESSALY_CHILD_MAIN(FaultOnOtherThread)
{
    CSEHTranslator translator(&CSEHException::Translate);
    try
    {
        HANDLE thread = ::CreateThread(nullptr, 0, &FaultingThread, nullptr, 0, nullptr);
        ::WaitForSingleObject(thread, INFINITE);
    }
    catch (...)
    {
        return 3;
    }
    return 0;
}

TESSALY_CHILD_MAIN(ApplicationExceptionInScope)
{
    CSEHTranslator translator(&CSEHException::Translate);
    try
    {
        ::RaiseException(0xE0000001, 0, 0, nullptr);
    }
    catch (...)
    {
        return 3;
    }
    return 0;
}

TEST(SEHTranslatorTest, FaultsOutsideAScopeStillEndTheProcess)
{
    EXPECT_EQ(0xC0000005u, TestSupport::RunChild(L"FaultWithoutTranslator"));
    EXPECT_EQ(0xC0000005u, TestSupport::RunChild(L"FaultOnOtherThread"))
        << "a scope covers its own thread only";
    EXPECT_EQ(0xE0000001u, TestSupport::RunChild(L"ApplicationExceptionInScope"));
}
