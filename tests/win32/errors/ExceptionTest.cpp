#include "win32/errors/ErrorMessage.h"
#include "win32/errors/Win32Exception.h"

#include <gtest/gtest.h>

using namespace CorvaneTools::Win32;

TEST(ExceptionTest, CarriesWhereAndMessageAndCopies)
{
    const CException e(L"CThing::Do()", L"it broke");
    EXPECT_EQ(L"CThing::Do()", e.GetWhere());
    EXPECT_EQ(L"it broke", e.GetMessage());
    EXPECT_EQ(L"Callstack collection not enabled", e.GetCallStack());
    const CException copy(e);
    EXPECT_EQ(L"CThing::Do()", copy.GetWhere());
    EXPECT_EQ(L"it broke", copy.GetMessage());
}

TEST(ExceptionTest, Win32ExceptionFromAnErrorCarriesTheSystemText)
{
    const CWin32Exception e(L"CFile::Open() - CreateFile", 2);
    EXPECT_EQ(2u, e.GetError());
    EXPECT_EQ(L"CFile::Open() - CreateFile", e.GetWhere());
    EXPECT_EQ(GetLastErrorMessage(2, true), e.GetMessage());
    EXPECT_FALSE(e.GetMessage().empty());
}

TEST(ExceptionTest, Win32ExceptionFromAMessageHasNoError)
{
    const CWin32Exception e(L"W()", L"plain text");
    EXPECT_EQ(0u, e.GetError());
    EXPECT_EQ(L"plain text", e.GetMessage());
}

TEST(ExceptionTest, Win32ExceptionJoinsMessageAndSystemText)
{
    const CWin32Exception e(L"W()", L"Cannot open", 2);
    EXPECT_EQ(2u, e.GetError());
    EXPECT_EQ(L"Cannot open - " + GetLastErrorMessage(2, true), e.GetMessage());
}

TEST(ExceptionTest, CaughtThroughTheRoot)
{
    try
    {
        throw CWin32Exception(L"W()", 5);
    }
    catch (const CException &e)
    {
        EXPECT_EQ(L"W()", e.GetWhere());
        EXPECT_EQ(5u, dynamic_cast<const CWin32Exception &>(e).GetError());
    }
}
