#include "win32/handles/KernelObjectName.h"

#include "win32/errors/Exception.h"

#include <gtest/gtest.h>

using namespace CorvaneTools::Win32;

namespace {

std::wstring TooLongMessage(const std::wstring &name)
{
    return L"Name is too long: " + std::to_wstring(name.size()) + L" max is: 260 - \"" + name + L"\"";
}

} // namespace

TEST(KernelObjectNameTest, LengthLimitIsTheFullName)
{
    const std::wstring longest(260, L'n');
    EXPECT_EQ(longest, CUnqualifiedName(longest).GetName());
    const std::wstring tooLong(261, L'n');
    try
    {
        CUnqualifiedName name(tooLong);
        FAIL() << "no exception";
    }
    catch (const CException &e)
    {
        EXPECT_EQ(L"CKernelObjectNameImpl::CKernelObjectNameImpl()", e.GetWhere());
        EXPECT_EQ(TooLongMessage(tooLong), e.GetMessage());
    }

    // The prefix counts: 7 + 253 = 260 is the longest, 7 + 254 = 261 is refused.
    const std::wstring bare(253, L'g');
    EXPECT_EQ(L"Global\\" + bare, CGlobalName(bare).GetName());
    try
    {
        CGlobalName name(bare + L"g");
        FAIL() << "no exception";
    }
    catch (const CException &e)
    {
        EXPECT_EQ(TooLongMessage(L"Global\\" + bare + L"g"), e.GetMessage());
    }
}

TEST(KernelObjectNameTest, Namespaces)
{
    const CGlobalName global(L"Corvane Tessaly_PerfData");
    EXPECT_EQ(L"Global\\Corvane Tessaly_PerfData", global.GetName());
    EXPECT_TRUE(global.IsGlobalName());
    EXPECT_FALSE(global.IsLocalName());
    EXPECT_FALSE(global.IsUnqualifiedName());

    // A prefix already in the text is kept as it is.
    const CUnqualifiedName derived(global.GetName() + L"_Lock");
    EXPECT_EQ(L"Global\\Corvane Tessaly_PerfData_Lock", derived.GetName());
    EXPECT_TRUE(derived.IsGlobalName());

    const CUnqualifiedName local(L"Local\\x");
    EXPECT_TRUE(local.IsLocalName());
    EXPECT_FALSE(local.IsGlobalName());
    EXPECT_FALSE(local.IsUnqualifiedName());

    const CUnqualifiedName lowerCase(L"global\\x");
    EXPECT_FALSE(lowerCase.IsGlobalName());
    EXPECT_FALSE(CUnqualifiedName(L"local\\x").IsLocalName());
    EXPECT_TRUE(lowerCase.IsUnqualifiedName());
    EXPECT_TRUE(CUnqualifiedName(L"Global").IsUnqualifiedName());
    EXPECT_TRUE(CUnqualifiedName(L"").IsUnqualifiedName());
}
