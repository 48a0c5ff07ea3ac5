#include "perfmon/PerformanceDataBlockNames.h"
#include "perfmon/PerformanceDataCollector.h"
#include "perfmon/PerformanceMonitorCounters.h"
#include "perfmon/RecordFields.h"
#include "win32/errors/Exception.h"
#include "win32/handles/SmartHandle.h"
#include "win32/memory/SharedMemory.h"

#include "counters/TcpCounterSchema.h"
#include "tests/support/CatchException.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TestNames.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

using namespace CorvaneTools::Counters;
using namespace CorvaneTools::PerfMon;
using namespace CorvaneTools::Win32;

namespace {

const DWORD s_tcpFirst = 1234;
const DWORD s_tcpSize = 1416;
const size_t s_guard = 64;

std::unique_ptr<CPerformanceDataSchema> TcpSchema()
{
    auto schema = std::make_unique<CPerformanceDataSchema>(L"009");
    AddTcpServiceObject(*schema);
    return schema;
}

void AddCounters(CPerformanceDataSchema::Object &object, int count)
{
    for (int k = 0; k < count; ++k)
    {
        object.AddCounter(L"Counter " + std::to_wstring(k), L"Help " + std::to_wstring(k), 100, 0, 0x10000);
    }
}

// Parent: 1 counter, 3 slots of 16 name bytes; Child: 2 counters, 4 slots of 8 name bytes.
// With first title index 300 the parent is 300 and the child 304. Block layout: parent
// record at 16 (slots at 120 + 40i), child record at 240 (slots at 384 + 32i), counter data
// at 512 (parent's 3 x 8 bytes, then the child's 4 x 16 bytes), 600 bytes in all.
const DWORD s_instancesFirst = 300;
const DWORD s_parentIndex = 300;
const DWORD s_childIndex = 304;
const DWORD s_instancesBlockSize = 600;
const DWORD s_parentSlots = 120;
const DWORD s_childRecord = 240;
const DWORD s_childSlots = 384;
const DWORD s_instancesData = 512;
// Served: the parent 104 + 2 x (32 + 16), the child 144 + 2 x (32 + 24).
const DWORD s_instancesSize = 456;

std::unique_ptr<CPerformanceDataSchema> InstancesSchema()
{
    auto schema = std::make_unique<CPerformanceDataSchema>(L"009");
    CPerformanceDataSchema::Object &parent = schema->AddObject(L"Parent", L"", 100);
    AddCounters(parent, 1);
    parent.SetInstances(3, 16);
    CPerformanceDataSchema::Object &child = schema->AddObject(L"Child", L"", 200);
    AddCounters(child, 2);
    child.SetInstances(4, 8);
    return schema;
}

void WriteSlot(BYTE *slot, DWORD byteLength, DWORD parentIndex, DWORD parentSlotPlusOne, const wchar_t *name)
{
    const DWORD nameLength = static_cast<DWORD>((std::wcslen(name) + 1) * sizeof(wchar_t));
    Put32(slot, 0, byteLength);
    Put32(slot, 4, parentIndex);
    Put32(slot, 8, parentSlotPlusOne);
    Put32(slot, 12, 0xFFFFFFFF);
    Put32(slot, 16, 24);
    Put32(slot, 20, nameLength);
    std::memcpy(slot + 24, name, nameLength);
}

// Parent slots 1 and 2 in use; child slots 0 (parent slot 2), 2 (parent slot 1) and 3 in
// use, but the child's active count of 2 serves only the first two.
void WriteInstances(BYTE *block)
{
    WriteSlot(block + s_parentSlots + 40, 32, 0, 0, L"P1");
    WriteSlot(block + s_parentSlots + 80, 32, 0, 0, L"P2");
    Put32(block, 16 + 60, 2);
    WriteSlot(block + s_childSlots, 32, s_parentIndex, 3, L"C0");
    WriteSlot(block + s_childSlots + 64, 32, s_parentIndex, 2, L"C2");
    WriteSlot(block + s_childSlots + 96, 32, s_parentIndex, 2, L"C3");
    Put32(block, s_childRecord + 60, 2);
    for (DWORD i = 0; i < 3; ++i)
    {
        Put32(block, s_instancesData + 8 * i, 0x100 + i);
    }
    for (DWORD i = 0; i < 8; ++i)
    {
        Put32(block, s_instancesData + 24 + 8 * i, 0x200 + i);
    }
}

struct Outcome
{
    bool result = false;
    DWORD totalBytes = 0;
    DWORD numObjectTypes = 0;
    size_t advanced = 0;
    bool failed = false;
    std::wstring where;
    std::wstring message;
    std::vector<BYTE> buffer;
    size_t size = 0;

    const BYTE *Data() const
    {
        return buffer.data();
    }
    bool GuardIntact() const
    {
        for (size_t i = size; i < buffer.size(); ++i)
        {
            if (buffer[i] != 0xA5)
            {
                return false;
            }
        }
        return true;
    }
    bool Untouched() const
    {
        for (size_t i = 0; i < size; ++i)
        {
            if (buffer[i] != 0xCD)
            {
                return false;
            }
        }
        return GuardIntact();
    }
};

// As the DLL calls it; a failure is recorded, as the DLL reports it, instead of thrown.
Outcome CollectInto(CPerformanceDataCollector &collector, const wchar_t *query, size_t size)
{
    Outcome outcome;
    outcome.size = size;
    outcome.buffer.assign(size + s_guard, 0xA5);
    std::memset(outcome.buffer.data(), 0xCD, size);
    void *data = outcome.buffer.data();
    outcome.totalBytes = static_cast<DWORD>(size);
    outcome.numObjectTypes = 12345;
    try
    {
        outcome.result = collector.Collect(query, data, outcome.totalBytes, outcome.numObjectTypes);
    }
    catch (const CException &e)
    {
        outcome.failed = true;
        outcome.result = true;
        outcome.where = e.GetWhere();
        outcome.message = e.GetMessage();
    }
    outcome.advanced = static_cast<BYTE *>(data) - outcome.buffer.data();
    return outcome;
}

// A reader of a block that no writer has made: served, with zeros.
class CTcpCollector
{
public:
    CTcpCollector()
        : name(TestSupport::UniqueName(L"collector")),
          schema(TcpSchema()),
          collector(CUnqualifiedName(name), *schema, s_tcpFirst, nullptr)
    {
    }

    const std::wstring name;
    std::unique_ptr<CPerformanceDataSchema> schema;
    CPerformanceDataCollector collector;
};

void ExpectServedTcp(const Outcome &outcome, const std::wstring &query)
{
    EXPECT_FALSE(outcome.failed) << query << ": " << outcome.message;
    EXPECT_TRUE(outcome.result) << query;
    EXPECT_EQ(s_tcpSize, outcome.totalBytes) << query;
    EXPECT_EQ(1u, outcome.numObjectTypes) << query;
    EXPECT_EQ(s_tcpSize, outcome.advanced) << query;
    EXPECT_EQ(s_tcpFirst, Get32(outcome.Data(), 12)) << query;
}

void ExpectNothing(const Outcome &outcome, const std::wstring &query)
{
    EXPECT_FALSE(outcome.failed) << query << ": " << outcome.message;
    EXPECT_TRUE(outcome.result) << query;
    EXPECT_EQ(0u, outcome.totalBytes) << query;
    EXPECT_EQ(0u, outcome.numObjectTypes) << query;
    EXPECT_EQ(0u, outcome.advanced) << query;
    EXPECT_TRUE(outcome.Untouched()) << query;
}

} // namespace

TEST(PerformanceDataCollectorTest, TwentyEightCountersByteForByte)
{
    CTcpCollector tcp;
    CPerformanceMonitorCounters counters(CUnqualifiedName(tcp.name), *tcp.schema, s_tcpFirst, nullptr);
    const auto object = counters.GetPerformanceObject(L"Corvane Tessaly Service");
    std::vector<std::wstring> names;
    tcp.schema->begin()->GetCounterNames(names);
    ASSERT_EQ(28u, names.size());
    for (DWORD k = 0; k < 28; ++k)
    {
        CPerformanceMonitorCounters::SetCounterValue(counters.GetPerformanceCounter(object, names[k]),
                                                     0x51000000u + 0x10101 * k);
    }
    tcp.collector.Open(nullptr);
    const Outcome out = CollectInto(tcp.collector, L"Global", 4096);
    ExpectServedTcp(out, L"Global");
    const BYTE *o = out.Data();
    const BYTE *record = counters.GetDataBlock().GetObjectDefinitions();

    EXPECT_EQ(s_tcpSize, Get32(o, 0)) << "TotalByteLength is the padded length";
    EXPECT_EQ(1184u, Get32(o, 4));
    EXPECT_EQ(64u, Get32(o, 8));
    EXPECT_EQ(1234u, Get32(o, 12));
    EXPECT_EQ(0u, Get32(o, 16));
    EXPECT_EQ(1235u, Get32(o, 20));
    EXPECT_EQ(100u, Get32(o, 28));
    EXPECT_EQ(28u, Get32(o, 32));
    EXPECT_EQ(10u, Get32(o, 36)) << "the 0-based default counter, IPv4: TIME_WAIT";
    EXPECT_EQ(0xFFFFFFFFu, Get32(o, 40));
    for (DWORD i = 44; i < 64; ++i)
    {
        EXPECT_EQ(0u, o[i]) << "header byte " << i;
    }
    EXPECT_EQ(0, std::memcmp(o + 4, record + 4, 40)) << "the header up to NumInstances is the schema's, as the block's";
    for (DWORD k = 0; k < 28; ++k)
    {
        const BYTE *definition = o + 64 + 40 * k;
        EXPECT_EQ(0, std::memcmp(definition, record + 64 + 40 * k, 36)) << k;
        EXPECT_EQ(40u, Get32(definition, 0));
        EXPECT_EQ(1236u + 2 * k, Get32(definition, 4)) << k;
        EXPECT_EQ(1237u + 2 * k, Get32(definition, 12)) << k;
        EXPECT_EQ(0x10000u, Get32(definition, 28));
        EXPECT_EQ(8u, Get32(definition, 32));
        EXPECT_EQ(8u + 8 * k, Get32(definition, 36)) << "each counter aligned to its size, not the block's 4 + 8k";
    }
    EXPECT_EQ(232u, Get32(o, 1184)) << "counter block length, a multiple of 8";
    EXPECT_EQ(0u, Get32(o, 1188)) << "padding before the first counter";
    for (DWORD k = 0; k < 28; ++k)
    {
        EXPECT_EQ(0x51000000u + 0x10101 * k, Get32(o, 1184 + 8 + 8 * k)) << k;
        EXPECT_EQ(0u, Get32(o, 1184 + 12 + 8 * k)) << k;
    }
    for (DWORD i = s_tcpSize; i < 4096; ++i)
    {
        ASSERT_EQ(0xCD, o[i]) << "nothing past the object is written, byte " << i;
    }
}

TEST(PerformanceDataCollectorTest, TheBlocksOwnDefinitionsSteerNothing)
{
    CTcpCollector tcp;
    CPerformanceMonitorCounters counters(CUnqualifiedName(tcp.name), *tcp.schema, s_tcpFirst, nullptr);
    tcp.collector.Open(nullptr);
    const Outcome before = CollectInto(tcp.collector, L"Global", 2000);
    BYTE *record = counters.GetDataBlock().GetObjectDefinitions();
    // Title, help, detail level and default counter of the object and of a counter, as
    // another process may rewrite them.
    for (const DWORD offset : {12u, 20u, 28u, 36u, 64u + 4, 64u + 12, 64u + 20, 64u + 24})
    {
        Put32(record, offset, 238);
    }
    ExpectNothing(CollectInto(tcp.collector, L"238", 2000), L"the block's title index");
    const Outcome after = CollectInto(tcp.collector, L"1234", 2000);
    ExpectServedTcp(after, L"the program's title index");
    EXPECT_EQ(0, std::memcmp(before.Data(), after.Data(), s_tcpSize));
}

TEST(PerformanceDataCollectorTest, QueriesSelectByWholeTitleIndex)
{
    CTcpCollector tcp;
    tcp.collector.Open(nullptr);
    for (const wchar_t *query : {L"Global", L"gLoBaL", L"GLOBAL", L"1234", L"1234 1236", L"1236 1234", L"5 1234 7"})
    {
        ExpectServedTcp(CollectInto(tcp.collector, query, 2000), query);
    }
    for (const wchar_t *query : {L"Costly", L"Foreign", L"1236 1238", L"12340", L"123", L"234", L"01234", L"1234,1236",
                                 L"Global ", L" Global", L""})
    {
        ExpectNothing(CollectInto(tcp.collector, query, 2000), query);
    }
    ExpectNothing(CollectInto(tcp.collector, nullptr, 2000), L"(null)");

    // Longer than any fixed formatting buffer, with the index at the very end.
    std::wstring longList;
    for (int i = 0; i < 700; ++i)
    {
        longList += std::to_wstring(2000 + i) + L" ";
    }
    ExpectNothing(CollectInto(tcp.collector, longList.c_str(), 2000), L"long list without it");
    longList += L"1234";
    ExpectServedTcp(CollectInto(tcp.collector, longList.c_str(), 2000), L"long list ending in it");
}

TEST(PerformanceDataCollectorTest, ABufferOneByteShortGetsNothing)
{
    CTcpCollector tcp;
    tcp.collector.Open(nullptr);
    const Outcome shortOne = CollectInto(tcp.collector, L"Global", s_tcpSize - 1);
    EXPECT_FALSE(shortOne.failed);
    EXPECT_FALSE(shortOne.result);
    EXPECT_EQ(0u, shortOne.totalBytes);
    EXPECT_EQ(0u, shortOne.numObjectTypes);
    EXPECT_EQ(0u, shortOne.advanced);
    EXPECT_TRUE(shortOne.Untouched());
    EXPECT_FALSE(CollectInto(tcp.collector, L"1234", 0).result);

    const Outcome exact = CollectInto(tcp.collector, L"Global", s_tcpSize);
    ExpectServedTcp(exact, L"exact");
    EXPECT_TRUE(exact.GuardIntact());
}

TEST(PerformanceDataCollectorTest, OpenAndCloseInTurn)
{
    CTcpCollector tcp;
    void *data = nullptr;
    DWORD total = 500;
    DWORD objects = 9;
    CException before = TestSupport::CatchException<CException>([&] { tcp.collector.Collect(L"Global", data, total, objects); });
    EXPECT_EQ(L"CPerformanceDataCollector::Collect()", before.GetWhere());
    EXPECT_EQ(L"Error: collector has not been opened", before.GetMessage());
    EXPECT_EQ(0u, total);
    EXPECT_EQ(0u, objects);

    CException close = TestSupport::CatchException<CException>([&] { tcp.collector.Close(); });
    EXPECT_EQ(L"CPerformanceDataCollector::Close()", close.GetWhere());
    EXPECT_EQ(L"Error: collector has not been opened", close.GetMessage());

    tcp.collector.Open(L"ignored");
    CException twice = TestSupport::CatchException<CException>([&] { tcp.collector.Open(nullptr); });
    EXPECT_EQ(L"CPerformanceDataCollector::Open()", twice.GetWhere());
    EXPECT_EQ(L"Error: collector is alread open", twice.GetMessage());
    ExpectServedTcp(CollectInto(tcp.collector, L"Global", 2000), L"still open after the refused Open");

    tcp.collector.Close();
    total = 500;
    objects = 9;
    CException after = TestSupport::CatchException<CException>([&] { tcp.collector.Collect(L"Global", data, total, objects); });
    EXPECT_EQ(L"Error: collector has not been opened", after.GetMessage());
    EXPECT_EQ(0u, total);
    EXPECT_EQ(0u, objects);
    EXPECT_EQ(L"Error: collector has not been opened",
              TestSupport::CatchException<CException>([&] { tcp.collector.GetActiveInstanceFromIndex(1234, 0); }).GetMessage());
    EXPECT_EQ(L"Error: collector has not been opened",
              TestSupport::CatchException<CException>([&] { tcp.collector.Close(); }).GetMessage());

    tcp.collector.Open(nullptr);
    ExpectServedTcp(CollectInto(tcp.collector, L"1234", 2000), L"reopened");

    CPerformanceDataSchema empty(L"009");
    CException invalid = TestSupport::CatchException<CException>([&] { CPerformanceDataCollector c(CUnqualifiedName(L"x"), empty, 1, nullptr); });
    EXPECT_EQ(L"Schema must have at least one object", invalid.GetMessage());
}

TEST(PerformanceDataCollectorTest, TwoObjectsAreSelectedAndWrittenInBlockOrder)
{
    CPerformanceDataSchema schema(L"009");
    AddCounters(schema.AddObject(L"First", L"", 100), 3);
    AddCounters(schema.AddObject(L"Second", L"", 200), 2);
    CPerformanceDataCollector collector(CUnqualifiedName(TestSupport::UniqueName(L"two")), schema, 50, nullptr);
    collector.Open(nullptr);

    // First: 64 + 120 + 4 + 24 = 212 -> 216; second (index 58): 64 + 80 + 4 + 16 = 164 -> 168.
    const Outcome second = CollectInto(collector, L"58", 1000);
    EXPECT_TRUE(second.result);
    EXPECT_EQ(168u, second.totalBytes);
    EXPECT_EQ(1u, second.numObjectTypes);
    EXPECT_EQ(58u, Get32(second.Data(), 12));
    EXPECT_EQ(168u, Get32(second.Data(), 0));
    EXPECT_EQ(24u, Get32(second.Data(), 144)) << "counter block 8 + 16";

    for (const wchar_t *query : {L"Global", L"58 50", L"50 58"})
    {
        const Outcome both = CollectInto(collector, query, 1000);
        EXPECT_TRUE(both.result) << query;
        EXPECT_EQ(384u, both.totalBytes) << query;
        EXPECT_EQ(2u, both.numObjectTypes) << query;
        EXPECT_EQ(384u, both.advanced) << query;
        EXPECT_EQ(50u, Get32(both.Data(), 12)) << query;
        EXPECT_EQ(216u, Get32(both.Data(), 0)) << query;
        EXPECT_EQ(32u, Get32(both.Data(), 184)) << query;
        EXPECT_EQ(58u, Get32(both.Data(), 216 + 12)) << query;
        EXPECT_EQ(168u, Get32(both.Data(), 216)) << query;
    }
    const Outcome first = CollectInto(collector, L"50", 216);
    EXPECT_EQ(216u, first.totalBytes);
    EXPECT_TRUE(first.GuardIntact());
    EXPECT_FALSE(CollectInto(collector, L"Global", 383).result);
    EXPECT_EQ(L"Object not found for: 51",
              TestSupport::CatchException<CException>([&] { collector.FindObjectByIndex(51); }).GetMessage());
    EXPECT_EQ(58u, collector.FindObjectByIndex(58).titleIndex);
}

TEST(PerformanceDataCollectorTest, InstancesAndTheirParents)
{
    auto schema = InstancesSchema();
    const std::wstring name = TestSupport::UniqueName(L"instances");
    CPerformanceDataBlock writer(CUnqualifiedName(name), *schema, s_instancesFirst, nullptr);
    CPerformanceDataCollector collector(CUnqualifiedName(name), *schema, s_instancesFirst, nullptr);
    collector.Open(nullptr);
    BYTE *const block = writer.GetBlock();
    ASSERT_EQ(s_childIndex, Get32(block, s_childRecord + 12));
    ASSERT_EQ(s_instancesData, Get32(block, 12));
    WriteInstances(block);

    EXPECT_EQ(0, collector.GetActiveInstanceFromIndex(s_parentIndex, 1));
    EXPECT_EQ(1, collector.GetActiveInstanceFromIndex(s_parentIndex, 2));
    EXPECT_EQ(0, collector.GetActiveInstanceFromIndex(s_childIndex, 0));
    EXPECT_EQ(1, collector.GetActiveInstanceFromIndex(s_childIndex, 2));
    const auto failure = [&](DWORD object, LONG slot) {
        CException e = TestSupport::CatchException<CException>([&] { collector.GetActiveInstanceFromIndex(object, slot); });
        EXPECT_EQ(L"CPerformanceDataCollector::GetActiveInstanceFromIndex()", e.GetWhere());
        return e.GetMessage();
    };
    EXPECT_EQ(L"Failed to locate active instance index: 0", failure(s_parentIndex, 0)) << "a free slot";
    EXPECT_EQ(L"Failed to locate active instance index: 3", failure(s_parentIndex, 3)) << "slot index = NumInstances";
    EXPECT_EQ(L"Failed to locate active instance index: 3", failure(s_childIndex, 3)) << "beyond the active count";
    EXPECT_EQ(L"Instance index out of range: 4", failure(s_parentIndex, 4));
    EXPECT_EQ(L"Instance index out of range: -1", failure(s_parentIndex, -1));
    CException missing = TestSupport::CatchException<CException>([&] { collector.GetActiveInstanceFromIndex(301, 0); });
    EXPECT_EQ(L"CPerformanceDataCollector::FindObjectByIndex()", missing.GetWhere());
    EXPECT_EQ(L"Object not found for: 301", missing.GetMessage());

    // The child alone is asked for; its instances' parent comes first, in block order.
    const Outcome out = CollectInto(collector, L"304", 1000);
    ASSERT_FALSE(out.failed) << out.message;
    EXPECT_TRUE(out.result);
    EXPECT_EQ(s_instancesSize, out.totalBytes);
    EXPECT_EQ(2u, out.numObjectTypes);
    EXPECT_EQ(s_instancesSize, out.advanced);
    const BYTE *parent = out.Data();
    EXPECT_EQ(s_parentIndex, Get32(parent, 12));
    EXPECT_EQ(200u, Get32(parent, 0)) << "104 + 2 x (32 + 8 + 8)";
    EXPECT_EQ(2u, Get32(parent, 40)) << "NumInstances is the active count";
    for (DWORD i = 44; i < 64; ++i)
    {
        EXPECT_EQ(0u, parent[i]) << i;
    }
    EXPECT_EQ(0, std::memcmp(parent + 104, block + s_parentSlots + 40, 32)) << "slot 1 as it stands";
    EXPECT_EQ(16u, Get32(parent, 136));
    EXPECT_EQ(0x101u, Get32(parent, 144));
    EXPECT_EQ(0, std::memcmp(parent + 152, block + s_parentSlots + 80, 32)) << "slot 2";
    EXPECT_EQ(16u, Get32(parent, 184));
    EXPECT_EQ(0x102u, Get32(parent, 192));

    const BYTE *child = parent + 200;
    EXPECT_EQ(s_childIndex, Get32(child, 12));
    EXPECT_EQ(256u, Get32(child, 0)) << "144 + 2 x (32 + 8 + 16)";
    EXPECT_EQ(2u, Get32(child, 40));
    const BYTE *c0 = child + 144;
    EXPECT_EQ(32u, Get32(c0, 0));
    EXPECT_EQ(s_parentIndex, Get32(c0, 4));
    EXPECT_EQ(1u, Get32(c0, 8)) << "parent slot 2 is the second active parent instance";
    EXPECT_EQ(0, std::memcmp(c0 + 12, block + s_childSlots + 12, 20));
    EXPECT_EQ(24u, Get32(c0, 32));
    EXPECT_EQ(0x200u, Get32(c0, 40));
    EXPECT_EQ(0x201u, Get32(c0, 48));
    const BYTE *c2 = c0 + 56;
    EXPECT_EQ(0u, Get32(c2, 8)) << "parent slot 1 is the first";
    EXPECT_EQ(0, std::memcmp(c2 + 24, L"C2", 6));
    EXPECT_EQ(0x204u, Get32(c2, 40)) << "the counter data of slot 2";
    EXPECT_EQ(0x205u, Get32(c2, 48));
    EXPECT_EQ(3u, Get32(block + s_childSlots, 8)) << "the block keeps its stored value";
    EXPECT_EQ(0xCD, out.Data()[s_instancesSize]);

    const Outcome parentOnly = CollectInto(collector, L"300", 1000);
    EXPECT_EQ(200u, parentOnly.totalBytes);
    EXPECT_EQ(1u, parentOnly.numObjectTypes);
    EXPECT_EQ(s_instancesSize, CollectInto(collector, L"Global", s_instancesSize).totalBytes);
    const Outcome tooSmall = CollectInto(collector, L"304", s_instancesSize - 1);
    EXPECT_FALSE(tooSmall.result) << "the pulled-in parent counts";
    EXPECT_TRUE(tooSmall.Untouched());

    const auto collectFails = [&](const std::wstring &where, const std::wstring &message) {
        const Outcome bad = CollectInto(collector, L"Global", 1000);
        EXPECT_TRUE(bad.failed);
        EXPECT_EQ(where, bad.where);
        EXPECT_EQ(message, bad.message);
        EXPECT_EQ(0u, bad.totalBytes);
        EXPECT_EQ(0u, bad.numObjectTypes);
        EXPECT_EQ(0u, bad.advanced);
    };
    Put32(block, s_childSlots + 4, 999);
    collectFails(L"CPerformanceDataCollector::FindObjectByIndex()", L"Object not found for: 999");
    Put32(block, s_childSlots + 4, s_parentIndex);
    Put32(block, s_childSlots + 8, 0);
    collectFails(L"CPerformanceDataCollector::GetActiveInstanceFromIndex()", L"Instance index out of range: -1");
    Put32(block, s_childSlots + 8, 1);
    collectFails(L"CPerformanceDataCollector::GetActiveInstanceFromIndex()",
                 L"Failed to locate active instance index: 0");
    Put32(block, s_childSlots + 8, 3);
    EXPECT_EQ(s_instancesSize, CollectInto(collector, L"Global", 1000).totalBytes);
}

TEST(PerformanceDataCollectorTest, ASchemaWhoseSizesWrapIsNeverServed)
{
    // These sizes wrap in 32 bits to the good schema's block size.
    CPerformanceDataSchema good(L"009");
    AddCounters(good.AddObject(L"Obj", L"", 100), 1);
    CPerformanceDataSchema wrapped(L"009");
    CPerformanceDataSchema::Object &object = wrapped.AddObject(L"Obj", L"", 100);
    AddCounters(object, 1);
    object.SetInstances(0x20000001, 0xFFFFFFE8);
    ASSERT_EQ(good.GetTotalSize(), wrapped.GetTotalSize());

    const std::wstring name = TestSupport::UniqueName(L"wrapped");
    CPerformanceDataBlock holder(CUnqualifiedName(name), good, 1, nullptr);
    // The served definitions are built from the schema at once, so such a schema is refused
    // before any block is looked at.
    CException refused = TestSupport::CatchException<CException>(
        [&] { CPerformanceDataCollector collector(CUnqualifiedName(name), wrapped, 1, nullptr); });
    EXPECT_EQ(L"CPerformanceDataSchema::Object::WriteTo()", refused.GetWhere());
}

TEST(PerformanceDataCollectorTest, ACorruptBlockAtOpenIsRefusedUntilMended)
{
    CTcpCollector tcp;
    CPerformanceDataBlock holder(CUnqualifiedName(tcp.name), *tcp.schema, s_tcpFirst, nullptr);
    BYTE *record = holder.GetObjectDefinitions();
    Put32(record, 32, 300);
    tcp.collector.Open(nullptr);
    const Outcome bad = CollectInto(tcp.collector, L"Global", 20000);
    EXPECT_TRUE(bad.failed);
    EXPECT_EQ(L"Performance data block is corrupt: object 0 NumCounters is 300, expected 28", bad.message);
    EXPECT_EQ(0u, bad.totalBytes);
    EXPECT_TRUE(bad.Untouched());
    Put32(record, 32, 28);
    ExpectServedTcp(CollectInto(tcp.collector, L"Global", 20000), L"mended");
    Put32(record, 64 + 40 * 27 + 36, 1000);
    EXPECT_EQ(L"Performance data block is corrupt: object 0 counter 27 CounterOffset is 1000, expected 220",
              CollectInto(tcp.collector, L"1234", 20000).message);
}

namespace {

// One change another process makes to the block; field is the text the refusal must hold,
// null for the random ones, which are judged by where they land.
struct Mutation
{
    DWORD offset;
    DWORD value;
    DWORD width;
    const wchar_t *field;
};

DWORD Counter(DWORD k, DWORD field)
{
    return 16 + 64 + 40 * k + field;
}

std::vector<Mutation> TargetedTcpMutations()
{
    return {
        {0, 2, 1, L"initialised flag is 2"},
        {4, 20, 4, L"objectsOffset is 20"},
        {4, 0xFFFFFFF0, 4, L"objectsOffset"},
        {8, 1200, 4, L"lastObjectOffset is 1200"},
        {12, 16, 4, L"counterDataOffset is 16"},
        {12, 0xFFFFFF00, 4, L"counterDataOffset"},
        {16 + 0, 0xFFFFFFF0, 4, L"object 0 TotalByteLength is 4294967280, expected 1184"},
        {16 + 4, 1224, 4, L"object 0 DefinitionLength is 1224, expected 1184"},
        {16 + 4, 0xFFFFFFFF, 4, L"DefinitionLength"},
        {16 + 8, 0, 4, L"HeaderLength is 0, expected 64"},
        {16 + 32, 29, 4, L"NumCounters is 29, expected 28"},
        {16 + 32, 0x7FFFFFFF, 4, L"NumCounters"},
        {16 + 40, 5, 4, L"NumInstances is 5, expected 4294967295"},
        {16 + 40, 0, 4, L"NumInstances"},
        {16 + 44, 8, 4, L"counter data offset is 8, expected 0"},
        {16 + 44, 0x80000000, 4, L"counter data offset"},
        {16 + 52, 1000, 4, L"instance name bytes is 1000, expected 0"},
        {16 + 56, 0xFFFFFFF8, 4, L"counter data size"},
        {16 + 56, 232, 4, L"counter data size is 232, expected 224"},
        {16 + 60, 1, 4, L"active instance count is 1, expected 0"},
        {Counter(0, 0), 0, 4, L"counter 0 ByteLength is 0, expected 40"},
        {Counter(27, 0), 0x10000, 4, L"counter 27 ByteLength"},
        {Counter(5, 32), 4, 4, L"counter 5 CounterSize is 4, expected 8"},
        {Counter(27, 32), 0xFFFF, 4, L"counter 27 CounterSize"},
        {Counter(27, 36), 0x10000, 4, L"counter 27 CounterOffset is 65536, expected 220"},
        {Counter(0, 36), 0, 4, L"counter 0 CounterOffset"},
        {Counter(3, 28), 0x10500, 4, L"counter 3 CounterType is 66816, expected 65536"},
    };
}

std::vector<Mutation> TargetedInstanceMutations()
{
    const DWORD parentSlot1 = s_parentSlots + 40;
    const DWORD childSlot2 = s_childSlots + 64;
    return {
        {parentSlot1, 48, 4, L"object 0 instance slot 1 ByteLength is 48, the slot holds 24 to 40"},
        {parentSlot1, 8, 4, L"object 0 instance slot 1 ByteLength is 8"},
        {s_childSlots, 0x7FFFFFFF, 4, L"object 1 instance slot 0 ByteLength"},
        {childSlot2 + 16, 1000, 4, L"object 1 instance slot 2 name at 1000 of 6 bytes"},
        {s_childSlots + 20, 0xFFFFFFF0, 4, L"object 1 instance slot 0 name"},
        {s_childSlots + 16, 8, 4, L"object 1 instance slot 0 name at 8"},
        {s_childSlots + 16, 30, 4, L"object 1 instance slot 0 name at 30 of 6 bytes"},
        {childSlot2 + 20, 5, 4, L"object 1 instance slot 2 name of 5 bytes is not whole characters and a terminator"},
        {childSlot2 + 20, 0, 4, L"object 1 instance slot 2 name of 0 bytes"},
        {childSlot2 + 28, 0x41, 1, L"object 1 instance slot 2 name is not terminated"},
        {16 + 60, 4, 4, L"object 0 active instance count is 4, more than its 3 slots"},
        {s_childRecord + 60, 0xFFFFFFFF, 4, L"object 1 active instance count"},
        {16 + 60, 3, 4, L"object 0 active instance count is 3, only 2 slots are in use"},
        {s_childRecord + 40, 100, 4, L"object 1 NumInstances is 100, expected 4"},
        {s_childRecord + 40, 0xFFFFFFFF, 4, L"object 1 NumInstances"},
        {16 + 52, 0xFFFF, 4, L"object 0 instance name bytes is 65535, expected 16"},
        {16 + 0, 1000, 4, L"object 0 TotalByteLength is 1000, expected 224"},
        {s_childRecord + 44, 0, 4, L"object 1 counter data offset is 0, expected 24"},
        {s_childRecord + 56, 64, 4, L"object 1 counter data size is 64, expected 16"},
        {8, 16, 4, L"lastObjectOffset is 16, expected 240"},
        {12, 400, 4, L"counterDataOffset is 400, expected 512"},
        {s_childSlots + 4, 999, 4, L"Object not found for: 999"},
        {s_childSlots + 8, 0, 4, L"Instance index out of range: -1"},
        {s_childSlots + 8, 100, 4, L"Instance index out of range: 99"},
        {s_childSlots + 8, 1, 4, L"Failed to locate active instance index: 0"},
    };
}

// A fixed sequence, the same in both processes and both architectures.
class CRandom
{
public:
    explicit CRandom(DWORD seed) : m_state(seed)
    {
    }
    DWORD Next()
    {
        m_state = m_state * 1103515245u + 12345u;
        return m_state >> 8;
    }

private:
    DWORD m_state;
};

std::vector<Mutation> Mutations(const std::wstring &kind)
{
    const bool tcp = kind == L"tcp";
    std::vector<Mutation> mutations = tcp ? TargetedTcpMutations() : TargetedInstanceMutations();
    const DWORD blockSize = tcp ? 1424 : s_instancesBlockSize;
    CRandom random(tcp ? 20261207 : 7);
    for (int i = 0; i < (tcp ? 300 : 200); ++i)
    {
        const DWORD offset = random.Next() % blockSize;
        mutations.push_back({offset, random.Next() & 0xFF, 1, nullptr});
    }
    return mutations;
}

DWORD BlockSizeOf(const std::wstring &kind)
{
    return kind == L"tcp" ? 1424 : s_instancesBlockSize;
}

void Apply(BYTE *block, const Mutation &mutation)
{
    if (mutation.width == 1)
    {
        block[mutation.offset] = static_cast<BYTE>(mutation.value);
    }
    else
    {
        Put32(block, mutation.offset, mutation.value);
    }
}

// Whether a byte of the 28-counter block is one the collector must refuse to walk when changed.
bool IsStructuralTcpByte(DWORD offset)
{
    if (offset < 16)
    {
        return offset == 0 || offset >= 4;
    }
    if (offset >= 1200)
    {
        return false;
    }
    const DWORD r = offset - 16;
    if (r < 64)
    {
        return r < 12 || (r >= 32 && r < 36) || (r >= 40 && r < 48) || r >= 52;
    }
    const DWORD d = (r - 64) % 40;
    return d < 4 || d >= 28;
}

// Where a served change of the block shows in the output, if anywhere: only the values do;
// the definitions served are the program's.
bool TcpOutputOffset(DWORD offset, size_t &at)
{
    if (offset >= 1200)
    {
        at = 1192 + (offset - 1200);
        return true;
    }
    return false;
}

} // namespace

// The other process: applies each mutation in turn, waiting for the test to collect and
// mend the block before the next.
TESSALY_CHILD_MAIN(BlockCorrupter)
{
    const std::wstring &name = args.at(0);
    const std::wstring &kind = args.at(1);
    CSharedMemory memory(CUnqualifiedName(CPerformanceDataBlockNames(name).Section()), BlockSizeOf(kind), ReadWrite,
                         true, nullptr);
    BYTE *const block = static_cast<BYTE *>(memory.GetMemory());
    CSmartHandle applied(::OpenEventW(EVENT_MODIFY_STATE, FALSE, (name + L"_applied").c_str()));
    CSmartHandle next(::OpenEventW(SYNCHRONIZE, FALSE, (name + L"_next").c_str()));
    if (!applied.IsValid() || !next.IsValid())
    {
        return 50;
    }
    for (const Mutation &mutation : Mutations(kind))
    {
        Apply(block, mutation);
        ::SetEvent(applied);
        if (::WaitForSingleObject(next, 30000) != WAIT_OBJECT_0)
        {
            return 51;
        }
    }
    return 0;
}

namespace {

bool OutputHoldsTogether(const BYTE *data, DWORD totalBytes, DWORD numObjectTypes);

void RunMutations(const std::wstring &kind, const std::wstring &program)
{
    const bool tcp = kind == L"tcp";
    const std::wstring name = TestSupport::UniqueName(L"corrupt");
    auto schema = tcp ? TcpSchema() : InstancesSchema();
    CPerformanceDataBlock writer(CUnqualifiedName(name), *schema, tcp ? s_tcpFirst : s_instancesFirst, nullptr);
    CPerformanceDataCollector collector(CUnqualifiedName(name), *schema, tcp ? s_tcpFirst : s_instancesFirst, nullptr);
    collector.Open(nullptr);
    const DWORD blockSize = BlockSizeOf(kind);
    BYTE *const block = writer.GetBlock();
    if (tcp)
    {
        for (DWORD k = 0; k < 28; ++k)
        {
            Put32(block, 1200 + 8 * k, 0x77000000 + k);
        }
    }
    else
    {
        WriteInstances(block);
    }
    const std::vector<BYTE> pristine(block, block + blockSize);
    const size_t size = tcp ? s_tcpSize : s_instancesSize;
    const Outcome reference = CollectInto(collector, L"Global", size);
    ASSERT_FALSE(reference.failed) << reference.message;
    ASSERT_EQ(size, reference.totalBytes);

    CSmartHandle applied(::CreateEventW(nullptr, FALSE, FALSE, (name + L"_applied").c_str()));
    CSmartHandle next(::CreateEventW(nullptr, FALSE, FALSE, (name + L"_next").c_str()));
    TestSupport::CChildProcess child(L"BlockCorrupter", {name, kind}, program);
    int refused = 0;
    int served = 0;
    for (const Mutation &mutation : Mutations(kind))
    {
        const std::wstring what = L"offset " + std::to_wstring(mutation.offset) + L" = " +
                                  std::to_wstring(mutation.value) + L" by " + program;
        if (::WaitForSingleObject(applied, 30000) != WAIT_OBJECT_0)
        {
            ADD_FAILURE() << "the other process did not apply " << what << ": " << child.Output();
            break;
        }
        const Outcome out = CollectInto(collector, L"Global", size);
        ASSERT_TRUE(out.GuardIntact()) << what;
        ASSERT_TRUE(out.result || out.totalBytes == 0) << what;
        if (out.failed || !out.result)
        {
            ++refused;
            EXPECT_EQ(0u, out.totalBytes) << what;
            EXPECT_EQ(0u, out.numObjectTypes) << what;
            EXPECT_EQ(0u, out.advanced) << what;
        }
        else
        {
            ++served;
            EXPECT_EQ(size, out.totalBytes) << what;
            EXPECT_EQ(out.totalBytes, out.advanced) << what;
            EXPECT_TRUE(OutputHoldsTogether(out.Data(), out.totalBytes, out.numObjectTypes)) << what;
        }

        const bool changed = mutation.width == 4 || pristine[mutation.offset] != mutation.value;
        if (mutation.field)
        {
            EXPECT_TRUE(out.failed) << what;
            EXPECT_NE(std::wstring::npos, out.message.find(mutation.field)) << what << ": " << out.message;
        }
        else if (tcp && mutation.offset == 0 && mutation.value == 0)
        {
            // A block not yet laid out: the object is served, with zeros.
            EXPECT_FALSE(out.failed) << what << ": " << out.message;
            std::vector<BYTE> expected(reference.buffer.begin(), reference.buffer.begin() + size);
            std::fill(expected.begin() + 1192, expected.end(), 0);
            EXPECT_EQ(0, std::memcmp(expected.data(), out.Data(), size)) << what;
        }
        else if (tcp && changed && IsStructuralTcpByte(mutation.offset))
        {
            EXPECT_TRUE(out.failed) << what;
            EXPECT_EQ(0u, out.message.find(L"Performance data block is corrupt: ")) << what << ": " << out.message;
            EXPECT_EQ(L"CPerformanceDataCollector::Collect()", out.where) << what;
        }
        else if (tcp)
        {
            EXPECT_FALSE(out.failed) << what << ": " << out.message;
            std::vector<BYTE> expected(reference.buffer.begin(), reference.buffer.begin() + size);
            size_t at = 0;
            if (TcpOutputOffset(mutation.offset, at))
            {
                expected[at] = static_cast<BYTE>(mutation.value);
            }
            EXPECT_EQ(0, std::memcmp(expected.data(), out.Data(), size)) << what;
        }
        else if (out.failed)
        {
            EXPECT_TRUE(out.where == L"CPerformanceDataCollector::Collect()" ||
                        out.where == L"CPerformanceDataCollector::FindObjectByIndex()" ||
                        out.where == L"CPerformanceDataCollector::GetActiveInstanceFromIndex()")
                << what;
        }
        std::memcpy(block, pristine.data(), blockSize);
        ::SetEvent(next);
    }
    EXPECT_EQ(0u, child.Wait()) << child.Output();
    EXPECT_GT(refused, 20);
    EXPECT_GT(served, 20);
    const Outcome mended = CollectInto(collector, L"Global", size);
    EXPECT_EQ(0, std::memcmp(reference.Data(), mended.Data(), size));
}

} // namespace

TEST(PerformanceDataCollectorTest, AnotherProcessCorruptingTheBlockNeverGetsPastTheChecks)
{
    RunMutations(L"tcp", std::wstring());
    RunMutations(L"instances", std::wstring());
}

TEST(PerformanceDataCollectorTest, TheOtherArchitectureCorruptingTheBlockNeverGetsPastTheChecks)
{
    RunMutations(L"tcp", TestSupport::OtherArchitectureProgram());
    RunMutations(L"instances", TestSupport::OtherArchitectureProgram());
}

namespace {

// Walks the output as a consumer of the platform's format would; false when any object,
// instance or counter block leaves the object or the bytes reported.
bool OutputHoldsTogether(const BYTE *data, DWORD totalBytes, DWORD numObjectTypes)
{
    DWORD at = 0;
    for (DWORD object = 0; object < numObjectTypes; ++object)
    {
        if (totalBytes - at < 64)
        {
            return false;
        }
        const BYTE *header = data + at;
        const DWORD length = Get32(header, 0);
        const DWORD definition = Get32(header, 4);
        if (length > totalBytes - at || definition > length || Get32(header, 8) != 64 || length % 8 != 0)
        {
            return false;
        }
        DWORD position = definition;
        const DWORD instances = Get32(header, 40);
        for (DWORD i = 0; instances != 0xFFFFFFFF && i < instances; ++i)
        {
            if (length - position < 24)
            {
                return false;
            }
            const DWORD byteLength = Get32(header, position);
            const DWORD nameOffset = Get32(header, position + 16);
            const DWORD nameLength = Get32(header, position + 20);
            if (byteLength < 24 || byteLength > length - position || nameOffset > byteLength ||
                nameLength > byteLength - nameOffset || byteLength % 8 != 0)
            {
                return false;
            }
            position += byteLength;
            if (length - position < 4 || Get32(header, position) > length - position || Get32(header, position) % 8 != 0)
            {
                return false;
            }
            position += Get32(header, position);
        }
        if (instances == 0xFFFFFFFF && (length - position < 4 || Get32(header, position) > length - position))
        {
            return false;
        }
        at += length;
    }
    return at == totalBytes;
}

} // namespace

// Rewrites the lengths and counts the collector sizes by, back and forth between good and
// bad values, without the lock, until told to stop.
TESSALY_CHILD_MAIN(BlockScrambler)
{
    const std::wstring &name = args.at(0);
    CSharedMemory memory(CUnqualifiedName(CPerformanceDataBlockNames(name).Section()), s_instancesBlockSize,
                         ReadWrite, true, nullptr);
    BYTE *const block = static_cast<BYTE *>(memory.GetMemory());
    CSmartHandle stop(::OpenEventW(SYNCHRONIZE, FALSE, (name + L"_stop").c_str()));
    CSmartHandle running(::OpenEventW(EVENT_MODIFY_STATE, FALSE, (name + L"_running").c_str()));
    if (!stop.IsValid() || !running.IsValid())
    {
        return 60;
    }
    ::SetEvent(running);
    const struct
    {
        DWORD offset;
        DWORD good;
        DWORD bad;
    } fields[] = {
        {s_childSlots, 32, 40},                // still inside the slot, but 8 bytes more than sized
        {s_childSlots + 64, 32, 0xFFFF},
        {s_parentSlots + 40, 32, 40},
        {s_parentSlots + 80, 32, 0},           // one in-use slot fewer than the active count
        {s_childRecord + 60, 2, 3},
        {16 + 60, 2, 0},
        {s_childSlots + 20, 6, 0xFFFFFFF0},
        {s_childSlots + 4, s_parentIndex, 0},  // the parent no longer pulled in
    };
    CRandom random(99);
    for (DWORD round = 0; ::WaitForSingleObject(stop, 0) == WAIT_TIMEOUT && round < 50000000; ++round)
    {
        const auto &field = fields[random.Next() % (sizeof(fields) / sizeof(fields[0]))];
        Put32(block, field.offset, field.bad);
        for (volatile int spin = 0; spin < static_cast<int>(random.Next() % 2000); ++spin)
        {
        }
        Put32(block, field.offset, field.good);
    }
    return 0;
}

TEST(PerformanceDataCollectorTest, ABlockRewrittenWhileItIsCopiedNeverOverrunsTheBuffer)
{
    for (const std::wstring &program : {std::wstring(), TestSupport::OtherArchitectureProgram()})
    {
        auto schema = InstancesSchema();
        const std::wstring name = TestSupport::UniqueName(L"race");
        CPerformanceDataBlock writer(CUnqualifiedName(name), *schema, s_instancesFirst, nullptr);
        CPerformanceDataCollector collector(CUnqualifiedName(name), *schema, s_instancesFirst, nullptr);
        collector.Open(nullptr);
        WriteInstances(writer.GetBlock());
        CSmartHandle stop(::CreateEventW(nullptr, TRUE, FALSE, (name + L"_stop").c_str()));
        CSmartHandle running(::CreateEventW(nullptr, TRUE, FALSE, (name + L"_running").c_str()));
        TestSupport::CChildProcess child(L"BlockScrambler", {name}, program);
        ASSERT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(running, 60000)) << child.Output();

        int served = 0;
        int refused = 0;
        int midCopy = 0;
        const DWORD start = ::GetTickCount();
        // Under load the scrambler may get no processor for a while: collect until it has been
        // caught at least once, within a limit.
        for (int i = 0; i < 20000 || ::GetTickCount() - start < 500 || (refused == 0 && ::GetTickCount() - start < 15000);
             ++i)
        {
            const Outcome out = CollectInto(collector, L"Global", s_instancesSize);
            ASSERT_TRUE(out.GuardIntact()) << i;
            if (out.failed || !out.result)
            {
                ++refused;
                midCopy += out.message.find(L"while it was copied") != std::wstring::npos;
                ASSERT_EQ(0u, out.totalBytes) << i;
                ASSERT_EQ(0u, out.numObjectTypes) << i;
                ASSERT_EQ(0u, out.advanced) << i;
            }
            else
            {
                ++served;
                ASSERT_LE(out.totalBytes, s_instancesSize) << i;
                ASSERT_EQ(out.totalBytes, out.advanced) << i;
                ASSERT_TRUE(OutputHoldsTogether(out.Data(), out.totalBytes, out.numObjectTypes)) << i;
            }
        }
        ::SetEvent(stop);
        EXPECT_EQ(0u, child.Wait()) << child.Output();
        EXPECT_GT(served, 0);
        EXPECT_GT(refused, 0);
        std::printf("%ls: %d served, %d refused (%d of them while copying)\n",
                    program.empty() ? L"same program" : program.c_str(), served, refused, midCopy);
    }
}
