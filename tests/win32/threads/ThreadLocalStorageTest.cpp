#include "win32/threads/ThreadLocalStorage.h"

#include "ThreadTestSupport.h"

#include <gtest/gtest.h>

using namespace CorvaneTools::Win32;

TEST(ThreadLocalStorageTest, EachThreadHasItsOwnValue)
{
    CThreadLocalStorage slot;
    CThreadLocalStorage other;
    int mine = 1;
    int theirs = 2;
    EXPECT_EQ(nullptr, slot.GetValue());
    slot.SetValue(&mine);
    EXPECT_EQ(nullptr, other.GetValue());

    EXPECT_EQ(1u, ThreadTestSupport::RunOnOtherThread([&]() -> unsigned int {
                  if (slot.GetValue() != nullptr)
                  {
                      return 0;
                  }
                  slot.SetValue(&theirs);
                  return slot.GetValue() == &theirs ? 1 : 0;
              }));
    EXPECT_EQ(&mine, slot.GetValue());
    slot.SetValue(nullptr);
    EXPECT_EQ(nullptr, slot.GetValue());
}
