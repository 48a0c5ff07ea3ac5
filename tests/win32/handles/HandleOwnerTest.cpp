#include "win32/handles/SmartHandle.h"
#include "win32/handles/UniqueHandle.h"

#include <gtest/gtest.h>

#include <utility>

using namespace CorvaneTools::Win32;

namespace {

bool IsOpen(HANDLE handle)
{
    DWORD flags = 0;
    return ::GetHandleInformation(handle, &flags) != FALSE;
}

typedef TUniqueHandle<HLOCAL, &::LocalFree> CLocalMemory;

} // namespace

// Owners move their handle, close it once, and leave the thread's last error as it was.
TEST(HandleOwnerTest, MovesCloseOnceAndKeepTheLastError)
{
    const HANDLE raw = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    {
        CSmartHandle first(raw);
        CSmartHandle second(std::move(first));
        EXPECT_FALSE(first.IsValid());
        EXPECT_EQ(raw, second.GetHandle());
        CSmartHandle third;
        third = std::move(second);
        EXPECT_FALSE(second.IsValid());
        EXPECT_TRUE(IsOpen(raw));
        ::SetLastError(ERROR_FILE_NOT_FOUND);
    }
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), ::GetLastError()) << "closing kept the error";
    EXPECT_FALSE(IsOpen(raw)) << "closed when the last owner went";

    CLocalMemory memory(::LocalAlloc(LMEM_FIXED, 16));
    CLocalMemory moved(std::move(memory));
    EXPECT_FALSE(memory.IsValid());
    ASSERT_TRUE(moved.IsValid());
    const HLOCAL kept = moved.Detach();
    EXPECT_FALSE(moved.IsValid());
    ::SetLastError(ERROR_ACCESS_DENIED);
    moved.Reset(kept);
    moved.Reset();
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), ::GetLastError());
}
