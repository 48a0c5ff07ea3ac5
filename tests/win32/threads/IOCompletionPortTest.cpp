#include "win32/threads/IOCompletionPort.h"

#include "ThreadTestSupport.h"

#include <gtest/gtest.h>

using namespace CorvaneTools::Win32;

TEST(IOCompletionPortTest, PacketsComeBackWholeInTheOrderPosted)
{
    CIOCompletionPort port(1);
    OVERLAPPED first = {};
    OVERLAPPED second = {};
    port.PostStatus(1, 10, &first);
    port.PostStatus(static_cast<ULONG_PTR>(-1), 0xFFFFFFFF, &second);
    port.PostStatus(3);

    const struct
    {
        ULONG_PTR key;
        DWORD bytes;
        OVERLAPPED *overlapped;
    } expected[] = {{1, 10, &first}, {static_cast<ULONG_PTR>(-1), 0xFFFFFFFF, &second}, {3, 0, nullptr}};
    for (const auto &packet : expected)
    {
        DWORD bytes = 1;
        ULONG_PTR key = 0;
        OVERLAPPED *overlapped = &first;
        port.GetStatus(bytes, key, overlapped);
        EXPECT_EQ(packet.key, key);
        EXPECT_EQ(packet.bytes, bytes);
        EXPECT_EQ(packet.overlapped, overlapped);
    }
}

TEST(IOCompletionPortTest, WaitingReaderGetsAPacketPostedLater)
{
    CIOCompletionPort port(1);
    auto reader = ThreadTestSupport::StartThread([&]() -> unsigned int {
        DWORD bytes = 0;
        ULONG_PTR key = 0;
        OVERLAPPED *overlapped = nullptr;
        port.GetStatus(bytes, key, overlapped);
        return static_cast<unsigned int>(key + bytes);
    });
    EXPECT_FALSE(reader->Thread().Wait(20));
    port.PostStatus(40, 2);
    EXPECT_EQ(42u, reader->ExitCode());
}
