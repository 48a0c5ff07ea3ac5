#include "perfmon/CounterStorageAllocator.h"
#include "perfmon/PerformanceDataBlock.h"
#include "perfmon/PerformanceDataBlockNames.h"
#include "perfmon/PerformanceMonitorCounters.h"
#include "perfmon/RecordFields.h"
#include "win32/errors/Win32Exception.h"
#include "win32/security/SecurityDescriptor.h"

#include "tests/support/CatchException.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TestNames.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>

using namespace CorvaneTools::PerfMon;
using namespace CorvaneTools::Win32;

namespace {

void AddCounters(CPerformanceDataSchema::Object &object, int count)
{
    for (int k = 0; k < count; ++k)
    {
        object.AddCounter(L"Counter " + std::to_wstring(k), L"Help " + std::to_wstring(k), 100, 0, 0x10000);
    }
}

// One object of 28 raw counters, the shape of the service's own object.
std::unique_ptr<CPerformanceDataSchema> TwentyEight()
{
    auto schema = std::make_unique<CPerformanceDataSchema>(L"009");
    CPerformanceDataSchema::Object &object = schema->AddObject(L"Tessaly Test", L"Help", 100);
    AddCounters(object, 28);
    return schema;
}

std::unique_ptr<CPerformanceDataSchema> TwoObjects()
{
    auto schema = std::make_unique<CPerformanceDataSchema>(L"009");
    AddCounters(schema->AddObject(L"First", L"", 100), 3);
    AddCounters(schema->AddObject(L"Second", L"", 200), 2);
    return schema;
}

DWORD SectionHeader(const CPerformanceDataBlock &block)
{
    return Get32(block.GetBlock() - 4, 0);
}

} // namespace

TEST(CounterStorageAllocatorTest, OffsetsAndLimits)
{
    CCounterStorageAllocator allocator(64);
    EXPECT_EQ(0u, allocator.BeginObject());
    EXPECT_EQ(0u, allocator.Allocate(8));
    EXPECT_EQ(8u, allocator.Allocate(8));
    allocator.AllocateInstances(3);
    EXPECT_EQ(48u, allocator.BeginObject()) << "three copies of 16 bytes";
    EXPECT_EQ(0u, allocator.Allocate(16));
    CException full = TestSupport::CatchException<CException>([&] { allocator.Allocate(1); });
    EXPECT_EQ(L"CCounterStorageAllocator::Allocate()", full.GetWhere());
    EXPECT_EQ(L"No space left. Need: 1", full.GetMessage());

    CCounterStorageAllocator instances(32);
    instances.BeginObject();
    instances.Allocate(8);
    CException more = TestSupport::CatchException<CException>([&] { instances.AllocateInstances(5); });
    EXPECT_EQ(L"CCounterStorageAllocator::AllocateInstances()", more.GetWhere());
    EXPECT_EQ(L"No space left. Need: 32", more.GetMessage());
    instances.AllocateInstances(4);
    EXPECT_EQ(32u, instances.BeginObject());
}

TEST(PerformanceDataBlockTest, LayoutOfTwentyEightCounters)
{
    auto schema = TwentyEight();
    CPerformanceDataBlock block(CUnqualifiedName(TestSupport::UniqueName(L"block")), *schema, 1000, nullptr);
    EXPECT_EQ(1424u, block.GetBlockSize());
    EXPECT_EQ(1424u, SectionHeader(block)) << "the section holds the block size in front of the block";
    const BYTE *b = block.GetBlock();
    EXPECT_EQ(1u, b[0]);
    EXPECT_EQ(0u, b[1] | b[2] | b[3]);
    EXPECT_EQ(16u, Get32(b, 4));
    EXPECT_EQ(16u, Get32(b, 8));
    EXPECT_EQ(1200u, Get32(b, 12));
    EXPECT_EQ(b + 16, block.GetObjectDefinitions());
    EXPECT_EQ(b + 1200, block.GetCounterData());

    const BYTE *record = b + 16;
    EXPECT_EQ(1184u, Get32(record, 0));
    EXPECT_EQ(1000u, Get32(record, 12));
    EXPECT_EQ(1001u, Get32(record, 20));
    EXPECT_EQ(0u, Get32(record, 44));
    for (DWORD k = 0; k < 28; ++k)
    {
        EXPECT_EQ(1002u + 2 * k, Get32(record, 64 + 40 * k + 4));
        EXPECT_EQ(1003u + 2 * k, Get32(record, 64 + 40 * k + 12));
        EXPECT_EQ(4u + 8 * k, Get32(record, 64 + 40 * k + 36));
    }
    EXPECT_EQ(1057u, Get32(record, 64 + 40 * 27 + 12)) << "the last title index is first + 57";
    for (DWORD i = 1200; i < 1424; ++i)
    {
        EXPECT_EQ(0u, b[i]) << "values start at 0, offset " << i;
    }
}

TEST(PerformanceDataBlockTest, LayoutOfTwoObjects)
{
    auto schema = TwoObjects();
    CPerformanceDataBlock block(CUnqualifiedName(TestSupport::UniqueName(L"block")), *schema, 50, nullptr);
    const BYTE *b = block.GetBlock();
    const DWORD firstLength = 64 + 3 * 40;
    EXPECT_EQ(16u + firstLength, Get32(b, 8)) << "lastObjectOffset is the second record's";
    EXPECT_EQ(16u + firstLength + 64 + 2 * 40, Get32(b, 12));
    const BYTE *second = b + 16 + firstLength;
    EXPECT_EQ(24u, Get32(second, 44)) << "second object's data follows the first's 3 slots";
    EXPECT_EQ(58u, Get32(second, 12));
    EXPECT_EQ(16u + firstLength + 144 + 40u, block.GetBlockSize());
}

TEST(PerformanceDataBlockTest, SecondConstructionKeepsLayoutAndValues)
{
    auto schema = TwentyEight();
    const CUnqualifiedName name(TestSupport::UniqueName(L"block"));
    CPerformanceDataBlock first(name, *schema, 1000, nullptr);
    BYTE *values = first.GetCounterData();
    values[8] = 0x5A;
    CPerformanceDataBlock second(name, *schema, 2000, nullptr);
    EXPECT_EQ(1000u, Get32(second.GetObjectDefinitions(), 12)) << "the title indexes were not rewritten";
    EXPECT_EQ(0x5A, second.GetCounterData()[8]);

    auto other = TwoObjects();
    try
    {
        CPerformanceDataBlock third(name, *other, 1000, nullptr);
        FAIL() << "a block of another size was opened";
    }
    catch (const CWin32Exception &e)
    {
        EXPECT_EQ(L"CSharedMemory::CSharedMemory() - Already exists and not the same size: \"" +
                      CPerformanceDataBlockNames(name).Section() + L"\"",
                  e.GetWhere());
        EXPECT_EQ(24u, e.GetError());
    }
}

TEST(PerformanceDataBlockTest, FailedLayoutLeavesItUninitialisedAndTheLockFree)
{
    // Sizes that wrap in 32 bits make this schema's block exactly as large as the good one's,
    // while writing its record fails.
    CPerformanceDataSchema bad(L"009");
    CPerformanceDataSchema::Object &wrapped = bad.AddObject(L"Obj", L"", 100);
    AddCounters(wrapped, 1);
    wrapped.SetInstances(0x20000001, 0xFFFFFFE8);
    CPerformanceDataSchema good(L"009");
    AddCounters(good.AddObject(L"Obj", L"", 100), 1);
    ASSERT_EQ(good.GetTotalSize(), bad.GetTotalSize());

    const CUnqualifiedName name(TestSupport::UniqueName(L"block"));
    CPerformanceDataBlock holder(name, good, 1, nullptr);
    holder.GetCounterData();
    const std::wstring other = TestSupport::UniqueName(L"block");
    CException failure = TestSupport::CatchException<CException>([&] { CPerformanceDataBlock block(CUnqualifiedName(other), bad, 1, nullptr); });
    EXPECT_EQ(L"Internal logic error", failure.GetMessage());

    // The failed attempt left the section (still held below) uninitialised and the lock free.
    CObjectSecurity published(ObjectProtection::PublishedSection);
    CSharedMemory section(CUnqualifiedName(CPerformanceDataBlockNames(other).Section()), good.GetTotalSize() + 16,
                          ReadWrite, true, published);
    CException again = TestSupport::CatchException<CException>([&] { CPerformanceDataBlock block(CUnqualifiedName(other), bad, 1, nullptr); });
    EXPECT_EQ(L"Internal logic error", again.GetMessage());
    EXPECT_EQ(0u, static_cast<BYTE *>(section.GetMemory())[0]);
    CPerformanceDataBlock recovered(CUnqualifiedName(other), good, 7, nullptr);
    EXPECT_EQ(1u, recovered.GetBlock()[0]);
    EXPECT_EQ(7u, Get32(recovered.GetObjectDefinitions(), 12));
    EXPECT_TRUE(recovered.TryEnter()) << "the failed layout released the lock";
    recovered.Leave();
}

TEST(PerformanceDataBlockTest, PrivilegeTest)
{
    EXPECT_TRUE(CPerformanceDataBlock::ValidateTokenPrivileges(CUnqualifiedName(L"local"), nullptr));
    CSecurityDescriptorAllowAll descriptor;
    CSecurityAttributes attributes(descriptor, false);
    EXPECT_TRUE(CPerformanceDataBlock::ValidateTokenPrivileges(CGlobalName(L"x"), attributes));
    auto schema = TwentyEight();
    CPerformanceDataBlock block(CGlobalName(TestSupport::UniqueName(L"global")), *schema, 1, attributes);
    EXPECT_EQ(1u, block.GetBlock()[0]);
}

TEST(PerformanceMonitorCountersTest, LookUpsAndTheirFailures)
{
    auto schema = TwoObjects();
    CPerformanceMonitorCounters counters(CUnqualifiedName(TestSupport::UniqueName(L"counters")), *schema, 10,
                                         nullptr);
    CException missing = TestSupport::CatchException<CException>([&] { counters.GetPerformanceObject(L"first"); });
    EXPECT_EQ(L"CPerformanceMonitorCounters::FindObjectByName()", missing.GetWhere());
    EXPECT_EQ(L"Object not found: \"first\"", missing.GetMessage());

    const auto first = counters.GetPerformanceObject(L"First");
    const auto second = counters.GetPerformanceObject(L"Second");
    EXPECT_EQ(first, counters.GetPerformanceObject(L"First"));
    EXPECT_NE(first, second);

    CException counter = TestSupport::CatchException<CException>([&] { counters.GetPerformanceCounter(second, L"Counter 2"); });
    EXPECT_EQ(L"CPerformanceMonitorCounters::ObjectIndex::FindCounter()", counter.GetWhere());
    EXPECT_EQ(L"Counter not found: \"Counter 2\"", counter.GetMessage());

    CPerformanceMonitorCounters others(CUnqualifiedName(TestSupport::UniqueName(L"counters")), *schema, 10, nullptr);
    const auto foreign = others.GetPerformanceObject(L"First");
    CException invalid = TestSupport::CatchException<CException>([&] { counters.GetPerformanceCounter(foreign, L"Counter 0"); });
    EXPECT_EQ(L"CPerformanceMonitorCounters::ObjectIdToObjectIndex()", invalid.GetWhere());
    EXPECT_EQ(L"Invalid objectId", invalid.GetMessage());
    EXPECT_EQ(L"Invalid objectId", TestSupport::CatchException<CException>([&] { counters.ResetPerformanceObject(nullptr); }).GetMessage());

    const BYTE *data = counters.GetDataBlock().GetCounterData();
    for (int k = 0; k < 2; ++k)
    {
        EXPECT_EQ(reinterpret_cast<const volatile void *>(data + 24 + 8 * k),
                  counters.GetPerformanceCounter(second, L"Counter " + std::to_wstring(k)));
    }
}

TEST(PerformanceMonitorCountersTest, StoresAndResets)
{
    auto schema = TwentyEight();
    CPerformanceMonitorCounters counters(CUnqualifiedName(TestSupport::UniqueName(L"counters")), *schema, 10,
                                         nullptr);
    const auto object = counters.GetPerformanceObject(L"Tessaly Test");
    BYTE *data = const_cast<BYTE *>(counters.GetDataBlock().GetCounterData());
    std::memset(data + 4, 0xEE, 4);
    for (DWORD k = 0; k < 28; ++k)
    {
        CPerformanceMonitorCounters::SetCounterValue(
            counters.GetPerformanceCounter(object, L"Counter " + std::to_wstring(k)), 0xA0000000u + k);
    }
    for (DWORD k = 0; k < 28; ++k)
    {
        EXPECT_EQ(0xA0000000u + k, Get32(data, 8 * k));
        if (k > 0)
        {
            EXPECT_EQ(0u, Get32(data, 8 * k + 4)) << "the high half is never written";
        }
    }
    EXPECT_EQ(0xEEEEEEEEu, Get32(data, 4));
    counters.ResetPerformanceObject(object);
    for (DWORD i = 0; i < 224; ++i)
    {
        ASSERT_EQ(0u, data[i]);
    }
    CPerformanceMonitorCounters::SetCounterValue(counters.GetPerformanceCounter(object, L"Counter 3"), 5);
    EXPECT_EQ(object, counters.GetPerformanceObject(L"Tessaly Test"));
    EXPECT_EQ(0u, Get32(data, 24)) << "looking the object up again clears it";

    CPerformanceDataSchema withInstances(L"009");
    CPerformanceDataSchema::Object &instanced = withInstances.AddObject(L"Inst", L"", 100);
    AddCounters(instanced, 1);
    instanced.SetInstances(2, 8);
    CPerformanceMonitorCounters multi(CUnqualifiedName(TestSupport::UniqueName(L"counters")), withInstances, 10,
                                      nullptr);
    CException refused = TestSupport::CatchException<CException>([&] { multi.GetPerformanceObject(L"Inst"); });
    EXPECT_EQ(L"CPerformanceMonitorCounters::GetPerformanceObject()", refused.GetWhere());
    EXPECT_EQ(L"Object has instances, use AllocatePerformanceObjectInstance()", refused.GetMessage());
}

// A process of either bitness opening the block the test process made: it checks the layout,
// reads the values at the counter handle addresses and answers by storing into counter 27.
TESSALY_CHILD_MAIN(BlockReader)
{
    auto schema = TwentyEight();
    CPerformanceMonitorCounters counters(CGlobalName(args.at(0)), *schema, 9999, nullptr);
    const CPerformanceDataBlock &block = counters.GetDataBlock();
    if (Get32(block.GetObjectDefinitions(), 12) != 500)
    {
        return 30; // layout rewritten or not shared
    }
    const BYTE *data = block.GetCounterData();
    for (DWORD k = 0; k < 27; ++k)
    {
        if (Get32(data, 8 * k) != 1000 + k * 3 || Get32(data, 8 * k + 4) != 0)
        {
            return 31;
        }
    }
    // Stored through the slot address, not GetPerformanceObject, which would clear the values.
    CPerformanceMonitorCounters::SetCounterValue(
        reinterpret_cast<CPerformanceMonitorCounters::CounterHandle>(const_cast<BYTE *>(data) + 8 * 27), 4242);
    return 0;
}

// Takes snapshots under the block's lock, as the collector does, while the other process
// stores values whose two halves are equal; a torn store would break the pattern.
TESSALY_CHILD_MAIN(SnapshotReader)
{
    auto schema = TwentyEight();
    CPerformanceDataBlock block(CGlobalName(args.at(0)), *schema, 500, nullptr);
    BYTE snapshot[224];
    int changes = 0;
    DWORD last = 0;
    for (int round = 0; round < 20000; ++round)
    {
        block.Enter();
        std::memcpy(snapshot, block.GetCounterData(), sizeof(snapshot));
        block.Leave();
        for (DWORD k = 0; k < 28; ++k)
        {
            const DWORD value = Get32(snapshot, 8 * k);
            if ((value >> 16) != (value & 0xFFFF))
            {
                return 40;
            }
        }
        changes += Get32(snapshot, 0) != last;
        last = Get32(snapshot, 0);
    }
    return changes > 0 ? 0 : 41;
}

TEST(PerformanceDataBlockTest, ProcessesOfBothArchitecturesShareOneLayout)
{
    for (const std::wstring &program : {TestSupport::OtherArchitectureProgram(), std::wstring()})
    {
        auto schema = TwentyEight();
        const std::wstring name = TestSupport::UniqueName(L"shared");
        CPerformanceMonitorCounters counters(CGlobalName(name), *schema, 500, nullptr);
        const auto object = counters.GetPerformanceObject(L"Tessaly Test");
        for (DWORD k = 0; k < 28; ++k)
        {
            CPerformanceMonitorCounters::SetCounterValue(
                counters.GetPerformanceCounter(object, L"Counter " + std::to_wstring(k)), 1000 + k * 3);
        }
        TestSupport::CChildProcess child(L"BlockReader", {name}, program);
        ASSERT_EQ(0u, child.Wait()) << child.Output();
        EXPECT_EQ(4242u, Get32(counters.GetDataBlock().GetCounterData(), 8 * 27));
    }
}

TEST(PerformanceDataBlockTest, SnapshotsUnderTheLockNeverSeeTornValues)
{
    auto schema = TwentyEight();
    const std::wstring name = TestSupport::UniqueName(L"torn");
    CPerformanceMonitorCounters counters(CGlobalName(name), *schema, 500, nullptr);
    const auto object = counters.GetPerformanceObject(L"Tessaly Test");
    std::vector<CPerformanceMonitorCounters::CounterHandle> handles;
    for (DWORD k = 0; k < 28; ++k)
    {
        handles.push_back(counters.GetPerformanceCounter(object, L"Counter " + std::to_wstring(k)));
    }
    TestSupport::CChildProcess child(L"SnapshotReader", {name}, TestSupport::OtherArchitectureProgram());
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        for (DWORD i = 1; !stop; ++i)
        {
            for (auto handle : handles)
            {
                CPerformanceMonitorCounters::SetCounterValue(handle, (i & 0xFFFF) * 0x10001u);
            }
        }
    });
    const DWORD code = child.Wait(120000);
    stop = true;
    writer.join();
    EXPECT_EQ(0u, code) << child.Output();
}
