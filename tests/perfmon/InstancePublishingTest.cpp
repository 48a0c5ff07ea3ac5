// The writer's instance sets as a reader's collector serves them: whole, exactly, and never
// half of one set and half of another while the writer publishes.
#include "perfmon/PerformanceDataBlockNames.h"
#include "perfmon/PerformanceDataCollector.h"
#include "perfmon/PerformanceInstanceSet.h"
#include "perfmon/PerformanceMonitorCounters.h"
#include "perfmon/RecordFields.h"
#include "win32/errors/Exception.h"
#include "win32/sync/LockOwner.h"

#include "counters/ProcessConnectionsSchema.h"
#include "counters/TcpCounterSchema.h"
#include "tests/support/CatchException.h"
#include "tests/support/TestNames.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

using namespace CorvaneTools::Counters;
using namespace CorvaneTools::PerfMon;
using namespace CorvaneTools::Win32;

namespace {

const DWORD s_first = 2000;
// The service object's name, help and 28 counters come first.
const DWORD s_processIndex = s_first + 2 * (1 + NumTcpCounters);

struct Instance
{
    std::wstring name;
    std::vector<DWORD> values;
    bool operator==(const Instance &other) const
    {
        return name == other.name && values == other.values;
    }
};

// The process object of one answer, walked by its lengths; empty with ok false when it
// does not hold together.
std::vector<Instance> Walk(const BYTE *object, DWORD bytes, bool &ok)
{
    std::vector<Instance> instances;
    ok = bytes >= ObjectHeaderLength && Get32(object, ObjectField::NameTitleIndex) == s_processIndex &&
         Get32(object, ObjectField::TotalByteLength) == bytes;
    const LONG count = ok ? static_cast<LONG>(Get32(object, ObjectField::NumInstances)) : 0;
    DWORD at = ok ? Get32(object, ObjectField::DefinitionLength) : 0;
    for (LONG i = 0; ok && i < count; ++i)
    {
        const DWORD length = Get32(object + at, InstanceField::ByteLength);
        const DWORD nameLength = Get32(object + at, InstanceField::NameLength);
        const wchar_t *name = reinterpret_cast<const wchar_t *>(object + at + Get32(object + at, InstanceField::NameOffset));
        Instance instance{std::wstring(name, nameLength / sizeof(wchar_t) - 1), {}};
        at += length;
        const DWORD block = Get32(object + at, 0);
        // Served counter blocks put every 8-byte value on an 8-byte boundary: the first at 8.
        for (DWORD k = 0; k < NumProcessConnectionsCounters; ++k)
        {
            instance.values.push_back(Get32(object + at, 8 + 8 * k));
        }
        at += block;
        ok = at <= bytes && length % 8 == 0 && block % 8 == 0;
        instances.push_back(instance);
    }
    ok = ok && at == bytes;
    return instances;
}

struct CBlock
{
    CBlock()
        : name(TestSupport::UniqueName(L"instances")),
          schema(L"009"),
          writer(nullptr),
          collector(CUnqualifiedName(name), (BuildTcpCounterSchema(schema), schema), s_first)
    {
        writer.reset(new CPerformanceMonitorCounters(CUnqualifiedName(name), schema, s_first, nullptr));
        object = writer->GetInstanceObject(ProcessConnectionsObjectName);
        collector.Open(L"");
    }

    ~CBlock()
    {
        collector.Close();
    }

    std::vector<Instance> Collect(bool &ok)
    {
        std::vector<BYTE> buffer(64 * 1024);
        void *data = buffer.data();
        DWORD bytes = static_cast<DWORD>(buffer.size());
        DWORD objects = 0;
        const std::wstring query = std::to_wstring(s_processIndex);
        try
        {
            ok = collector.Collect(query.c_str(), data, bytes, objects) && objects == 1;
        }
        catch (const CException &)
        {
            // What the DLL reports to the debugger: a set that changed under the copy.
            ok = false;
        }
        return ok ? Walk(buffer.data(), bytes, ok) : std::vector<Instance>();
    }

    const std::wstring name;
    CPerformanceDataSchema schema;
    std::unique_ptr<CPerformanceMonitorCounters> writer;
    CPerformanceDataCollector collector;
    CPerformanceMonitorCounters::ObjectId object = nullptr;
};

// count instances named "<prefix><i>", counter k of instance i holding base + 16 i + k.
std::vector<Instance> Fill(CPerformanceInstanceSet &set, const std::wstring &prefix, DWORD count, DWORD base)
{
    std::vector<Instance> expected;
    set.Clear();
    for (DWORD i = 0; i < count; ++i)
    {
        const std::wstring name = prefix + std::to_wstring(i);
        const DWORD instance = set.Add(name.c_str(), name.size());
        Instance made{name.substr(0, set.GetMaxNameLength()), {}};
        for (DWORD k = 0; k < NumProcessConnectionsCounters; ++k)
        {
            set.SetValue(instance, k, base + 16 * i + k);
            made.values.push_back(base + 16 * i + k);
        }
        expected.push_back(made);
    }
    return expected;
}

} // namespace

TEST(InstancePublishingTest, EachPublishedSetIsServedExactlyAndWhole)
{
    CBlock b;
    CPerformanceInstanceSet set(ProcessInstanceSlots, ProcessInstanceNameBytes, NumProcessConnectionsCounters);
    bool ok = false;
    EXPECT_TRUE(b.Collect(ok).empty());
    EXPECT_TRUE(ok) << "no instances before the first set";
    const struct
    {
        std::wstring prefix;
        DWORD count;
    } sets[] = {{L"one:", 1}, {L"every slot:", ProcessInstanceSlots}, {L"fewer again:", 2}, {L"", 0},
                {std::wstring(70, L'n'), 3}};
    for (const auto &step : sets)
    {
        SCOPED_TRACE(step.count);
        const std::vector<Instance> expected = Fill(set, step.prefix, step.count, 100 * step.count);
        ASSERT_TRUE(b.writer->PublishInstances(b.object, set));
        EXPECT_EQ(expected, b.Collect(ok));
        EXPECT_TRUE(ok);
    }
    EXPECT_EQ(63u, set.GetMaxNameLength());
    const CException full = TestSupport::CatchException<CException>([&] { Fill(set, L"x", ProcessInstanceSlots + 1, 0); });
    EXPECT_EQ(L"CPerformanceInstanceSet::Add()", full.GetWhere());
    EXPECT_EQ(L"All 67 instance slots are taken", full.GetMessage());

    // A set of another shape is refused before anything is written.
    CPerformanceInstanceSet other(ProcessInstanceSlots, ProcessInstanceNameBytes + 8, NumProcessConnectionsCounters);
    const CException shape = TestSupport::CatchException<CException>([&] { b.writer->PublishInstances(b.object, other); });
    EXPECT_EQ(L"The instance set does not fit the object's slots", shape.GetMessage());
    const CException plain = TestSupport::CatchException<CException>(
        [&] { b.writer->GetInstanceObject(TcpCounterObjectName); });
    EXPECT_EQ(L"Object has no instances, use GetPerformanceObject()", plain.GetMessage());

    // Reset leaves none.
    b.writer->ResetPerformanceObject(b.object);
    EXPECT_TRUE(b.Collect(ok).empty());
    EXPECT_TRUE(ok);
}

TEST(InstancePublishingTest, AReaderRacingTheWriterSeesOneWholeSetOrTheOther)
{
    CBlock b;
    CPerformanceInstanceSet full(ProcessInstanceSlots, ProcessInstanceNameBytes, NumProcessConnectionsCounters);
    CPerformanceInstanceSet few(ProcessInstanceSlots, ProcessInstanceNameBytes, NumProcessConnectionsCounters);
    const std::vector<Instance> a = Fill(full, L"a:", ProcessInstanceSlots, 1000);
    const std::vector<Instance> c = Fill(few, L"c:", 5, 5000);
    std::atomic<bool> stop(false);
    std::atomic<long> published(0);
    std::thread writer([&] {
        for (long n = 0; !stop; ++n)
        {
            b.writer->PublishInstances(b.object, n % 2 == 0 ? full : few);
            ++published;
            // Lets the reader in after either set, not only after one of them.
            ::Sleep(n % 3 == 0 ? 1 : 0);
        }
    });
    long seenA = 0, seenC = 0, other = 0;
    // Until the writer has published a good many sets while this reader collected.
    for (long collect = 0; collect < 200000 && (collect < 400 || published < 300 || !seenA || !seenC); ++collect)
    {
        bool ok = false;
        const std::vector<Instance> seen = b.Collect(ok);
        seenA += seen == a ? 1 : 0;
        seenC += seen == c ? 1 : 0;
        other += ok && (seen == a || seen == c || seen.empty()) ? 0 : 1;
    }
    stop = true;
    writer.join();
    EXPECT_EQ(0, other);
    EXPECT_GT(seenA, 0);
    EXPECT_GT(seenC, 0);
    EXPECT_GE(published.load(), 300);
}

TEST(InstancePublishingTest, AHeldLockDelaysTheWriterByItsTimeoutAndChangesNothing)
{
    CBlock b;
    CPerformanceInstanceSet set(ProcessInstanceSlots, ProcessInstanceNameBytes, NumProcessConnectionsCounters);
    const std::vector<Instance> before = Fill(set, L"kept:", 3, 7);
    ASSERT_TRUE(b.writer->PublishInstances(b.object, set));
    Fill(set, L"new:", 9, 9);
    // Any reader may take the lock; one that keeps it holds up only this sample's set.
    CPerformanceDataBlock reader(CUnqualifiedName(b.name), b.schema);
    std::atomic<bool> held(false);
    std::atomic<bool> release(false);
    std::thread holder([&] {
        TLockOwner<CPerformanceDataBlock> lock(reader);
        held = true;
        while (!release)
        {
            ::Sleep(10);
        }
    });
    while (!held)
    {
        ::Sleep(1);
    }
    const ULONGLONG start = ::GetTickCount64();
    EXPECT_FALSE(b.writer->PublishInstances(b.object, set));
    const ULONGLONG waited = ::GetTickCount64() - start;
    release = true;
    holder.join();
    EXPECT_GE(waited + 20, static_cast<ULONGLONG>(CPerformanceDataBlock::LockTimeoutMs));
    bool ok = false;
    EXPECT_EQ(before, b.Collect(ok));
    EXPECT_TRUE(ok);
}
