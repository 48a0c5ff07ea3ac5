#include "perfmon/PerformanceDataSchema.h"
#include "perfmon/RecordFields.h"

#include "win32/errors/Exception.h"

#include <gtest/gtest.h>

#include <winperf.h>

#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

using namespace CorvaneTools::PerfMon;
using CorvaneTools::Win32::CException;

namespace {

// Records what the writer asks of it; hands out offsets the way a simple bump allocator would.
class CRecordingAllocator : public IAllocateCounterStorage
{
public:
    DWORD BeginObject() override
    {
        calls += L"B";
        objectStart += perInstance * copies;
        perInstance = 0;
        copies = 1;
        return objectStart;
    }
    DWORD Allocate(DWORD size) override
    {
        calls += L"A" + std::to_wstring(size);
        const DWORD offset = perInstance;
        perInstance += size;
        return offset;
    }
    void AllocateInstances(DWORD count) override
    {
        calls += L"I" + std::to_wstring(count);
        copies = count;
    }

    std::wstring calls;
    DWORD objectStart = 0x100;
    DWORD perInstance = 0;
    DWORD copies = 1;
};

DWORD Get32(const std::vector<BYTE> &buffer, size_t offset)
{
    DWORD value;
    std::memcpy(&value, buffer.data() + offset, sizeof(value));
    return value;
}

CPerformanceDataSchema::Object &ThreeCounters(CPerformanceDataSchema &schema, const wchar_t *name = L"Obj")
{
    CPerformanceDataSchema::Object &object = schema.AddObject(name, L"Help", 200);
    object.AddCounter(L"A", L"a", 100, 0, 0x10000);
    object.AddCounter(L"B", L"b", 300, -3, 0x10100);
    object.AddCounter(L"C", L"c", 400, 5, 0x80000000);
    return object;
}

} // namespace

TEST(ObjectWriteToTest, FieldOffsetsMatchThePlatformStructures)
{
    struct Field
    {
        const char *name;
        size_t named;
        size_t platform;
    };
#define TESSALY_FIELD(Record, name, Structure, member) {#Record "::" #name, Record::name, offsetof(Structure, member)}
    const Field fields[] = {
        TESSALY_FIELD(ObjectField, TotalByteLength, PERF_OBJECT_TYPE, TotalByteLength),
        TESSALY_FIELD(ObjectField, DefinitionLength, PERF_OBJECT_TYPE, DefinitionLength),
        TESSALY_FIELD(ObjectField, HeaderLength, PERF_OBJECT_TYPE, HeaderLength),
        TESSALY_FIELD(ObjectField, NameTitleIndex, PERF_OBJECT_TYPE, ObjectNameTitleIndex),
        TESSALY_FIELD(ObjectField, NameTitle, PERF_OBJECT_TYPE, ObjectNameTitle),
        TESSALY_FIELD(ObjectField, HelpTitleIndex, PERF_OBJECT_TYPE, ObjectHelpTitleIndex),
        TESSALY_FIELD(ObjectField, HelpTitle, PERF_OBJECT_TYPE, ObjectHelpTitle),
        TESSALY_FIELD(ObjectField, DetailLevel, PERF_OBJECT_TYPE, DetailLevel),
        TESSALY_FIELD(ObjectField, NumCounters, PERF_OBJECT_TYPE, NumCounters),
        TESSALY_FIELD(ObjectField, DefaultCounter, PERF_OBJECT_TYPE, DefaultCounter),
        TESSALY_FIELD(ObjectField, NumInstances, PERF_OBJECT_TYPE, NumInstances),
        TESSALY_FIELD(CounterField, ByteLength, PERF_COUNTER_DEFINITION, ByteLength),
        TESSALY_FIELD(CounterField, NameTitleIndex, PERF_COUNTER_DEFINITION, CounterNameTitleIndex),
        TESSALY_FIELD(CounterField, NameTitle, PERF_COUNTER_DEFINITION, CounterNameTitle),
        TESSALY_FIELD(CounterField, HelpTitleIndex, PERF_COUNTER_DEFINITION, CounterHelpTitleIndex),
        TESSALY_FIELD(CounterField, HelpTitle, PERF_COUNTER_DEFINITION, CounterHelpTitle),
        TESSALY_FIELD(CounterField, DefaultScale, PERF_COUNTER_DEFINITION, DefaultScale),
        TESSALY_FIELD(CounterField, DetailLevel, PERF_COUNTER_DEFINITION, DetailLevel),
        TESSALY_FIELD(CounterField, CounterType, PERF_COUNTER_DEFINITION, CounterType),
        TESSALY_FIELD(CounterField, CounterSize, PERF_COUNTER_DEFINITION, CounterSize),
        TESSALY_FIELD(CounterField, CounterOffset, PERF_COUNTER_DEFINITION, CounterOffset),
        TESSALY_FIELD(InstanceField, ByteLength, PERF_INSTANCE_DEFINITION, ByteLength),
        TESSALY_FIELD(InstanceField, ParentObjectTitleIndex, PERF_INSTANCE_DEFINITION, ParentObjectTitleIndex),
        TESSALY_FIELD(InstanceField, ParentObjectInstance, PERF_INSTANCE_DEFINITION, ParentObjectInstance),
        TESSALY_FIELD(InstanceField, UniqueId, PERF_INSTANCE_DEFINITION, UniqueID),
        TESSALY_FIELD(InstanceField, NameOffset, PERF_INSTANCE_DEFINITION, NameOffset),
        TESSALY_FIELD(InstanceField, NameLength, PERF_INSTANCE_DEFINITION, NameLength),
        {"ObjectHeaderLength", ObjectHeaderLength, sizeof(PERF_OBJECT_TYPE)},
        {"CounterDefinitionLength", CounterDefinitionLength, sizeof(PERF_COUNTER_DEFINITION)},
        {"InstanceDefinitionLength", InstanceDefinitionLength, sizeof(PERF_INSTANCE_DEFINITION)},
    };
#undef TESSALY_FIELD
    for (const Field &field : fields)
    {
        EXPECT_EQ(field.platform, field.named) << field.name;
    }
    // The platform's code page word is where the block keeps its counter data's offset.
    EXPECT_EQ(offsetof(PERF_OBJECT_TYPE, CodePage), size_t(ObjectField::CounterDataOffset));
}

TEST(ObjectWriteToTest, RecordBytesOfAnObjectWithoutInstances)
{
    CPerformanceDataSchema schema(L"009");
    CPerformanceDataSchema::Object &object = ThreeCounters(schema);
    object.SetDefaultCounter();

    std::vector<BYTE> buffer(object.GetDefinitionSize() + 8, 0xCC);
    CRecordingAllocator allocator;
    DWORD title = 1000;
    ASSERT_EQ(184u, object.WriteTo(buffer.data(), buffer.size(), title, allocator));
    EXPECT_EQ(1008u, title);
    EXPECT_EQ(L"BA8A8A8", allocator.calls);

    const DWORD header[16] = {184, 184, 64, 1000, 0, 1001, 0, 200, 3, 2, 0xFFFFFFFF, 0x100, 0, 0, 24, 0};
    for (size_t i = 0; i < 16; ++i)
    {
        EXPECT_EQ(header[i], Get32(buffer, 4 * i)) << "header offset " << 4 * i;
    }
    const DWORD counters[3][10] = {
        {40, 1002, 0, 1003, 0, 0, 100, 0x10000, 8, 4},
        {40, 1004, 0, 1005, 0, static_cast<DWORD>(-3), 300, 0x10100, 8, 12},
        {40, 1006, 0, 1007, 0, 5, 400, 0x80000000, 8, 20},
    };
    for (size_t k = 0; k < 3; ++k)
    {
        for (size_t i = 0; i < 10; ++i)
        {
            EXPECT_EQ(counters[k][i], Get32(buffer, 64 + 40 * k + 4 * i)) << "counter " << k << " offset " << 4 * i;
        }
    }
    for (size_t i = 184; i < buffer.size(); ++i)
    {
        EXPECT_EQ(0xCC, buffer[i]) << "written past the record at " << i;
    }

    // The same bytes seen through the platform's structures.
    const PERF_OBJECT_TYPE *type = reinterpret_cast<const PERF_OBJECT_TYPE *>(buffer.data());
    EXPECT_EQ(2, type->DefaultCounter);
    EXPECT_EQ(PERF_NO_INSTANCES, type->NumInstances);
    const PERF_COUNTER_DEFINITION *third = reinterpret_cast<const PERF_COUNTER_DEFINITION *>(buffer.data() + 144);
    EXPECT_EQ(1006u, third->CounterNameTitleIndex);
    EXPECT_EQ(20u, third->CounterOffset);
}

TEST(ObjectWriteToTest, NoDefaultCounterWritesMinusOne)
{
    CPerformanceDataSchema schema(L"009");
    CPerformanceDataSchema::Object &object = ThreeCounters(schema);
    std::vector<BYTE> buffer(object.GetDefinitionSize());
    CRecordingAllocator allocator;
    DWORD title = 2;
    object.WriteTo(buffer.data(), buffer.size(), title, allocator);
    EXPECT_EQ(0xFFFFFFFFu, Get32(buffer, 36));
}

TEST(ObjectWriteToTest, TitleIndexesContinueAcrossObjects)
{
    CPerformanceDataSchema schema(L"009");
    ThreeCounters(schema, L"First");
    CPerformanceDataSchema::Object &second = schema.AddObject(L"Second", L"", 100);
    second.AddCounter(L"X", L"", 100, 0, 0x10000);

    std::vector<BYTE> buffer(schema.GetDefinitionSize());
    CRecordingAllocator allocator;
    DWORD title = 2000;
    DWORD offset = 0;
    for (const auto &object : schema)
    {
        offset += object.WriteTo(buffer.data() + offset, buffer.size() - offset, title, allocator);
    }
    EXPECT_EQ(buffer.size(), offset);
    EXPECT_EQ(2000u + 8u + 4u, title);
    EXPECT_EQ(2008u, Get32(buffer, 184 + 12));
    EXPECT_EQ(2009u, Get32(buffer, 184 + 20));
    EXPECT_EQ(2010u, Get32(buffer, 184 + 64 + 4));
    EXPECT_EQ(2011u, Get32(buffer, 184 + 64 + 12));
    EXPECT_EQ(0x100u + 24u, Get32(buffer, 184 + 44)) << "second object's storage follows the first's";
    EXPECT_EQ(4u, Get32(buffer, 184 + 64 + 36));
    EXPECT_EQ(L"BA8A8A8BA8", allocator.calls);
}

TEST(ObjectWriteToTest, InstanceSlots)
{
    CPerformanceDataSchema schema(L"009");
    CPerformanceDataSchema::Object &object = schema.AddObject(L"Obj", L"", 100);
    object.AddCounter(L"A", L"", 100, 0, 0x10000);
    object.AddCounter(L"B", L"", 100, 0, 0x10000);
    object.SetInstances(2, 6);
    const DWORD size = object.GetDefinitionSize();
    ASSERT_EQ(64u + 80u + 2u * 30u, size);

    std::vector<BYTE> buffer(size, 0xCC);
    CRecordingAllocator allocator;
    DWORD title = 10;
    EXPECT_EQ(size, object.WriteTo(buffer.data(), buffer.size(), title, allocator));
    EXPECT_EQ(L"BA8A8I2", allocator.calls);
    EXPECT_EQ(size, Get32(buffer, 0));
    EXPECT_EQ(144u, Get32(buffer, 4)) << "the definition length leaves the instances out";
    EXPECT_EQ(2u, Get32(buffer, 40));
    EXPECT_EQ(6u, Get32(buffer, 52));
    EXPECT_EQ(16u, Get32(buffer, 56));
    for (size_t slot = 0; slot < 2; ++slot)
    {
        const size_t at = 144 + 30 * slot;
        const DWORD expected[6] = {0, 0, 0, 0xFFFFFFFF, 24, 0};
        for (size_t i = 0; i < 6; ++i)
        {
            EXPECT_EQ(expected[i], Get32(buffer, at + 4 * i)) << "slot " << slot << " offset " << 4 * i;
        }
        for (size_t i = 24; i < 30; ++i)
        {
            EXPECT_EQ(0, buffer[at + i]);
        }
    }
}

TEST(ObjectWriteToTest, BufferOneByteShortIsRefusedUntouched)
{
    CPerformanceDataSchema schema(L"009");
    CPerformanceDataSchema::Object &object = ThreeCounters(schema);
    std::vector<BYTE> buffer(183, 0xCC);
    CRecordingAllocator allocator;
    DWORD title = 7;
    try
    {
        object.WriteTo(buffer.data(), buffer.size(), title, allocator);
        FAIL() << "no exception";
    }
    catch (const CException &e)
    {
        EXPECT_EQ(L"CPerformanceDataSchema::Object::WriteTo()", e.GetWhere());
        EXPECT_EQ(L"Buffer is too small, need: 184 only got: 183", e.GetMessage());
    }
    EXPECT_EQ(7u, title);
    EXPECT_EQ(L"", allocator.calls);
    EXPECT_EQ(std::vector<BYTE>(183, 0xCC), buffer);
}

TEST(ObjectWriteToTest, SizeThatOverflowsIsAnInternalLogicErrorNotAnOverrun)
{
    CPerformanceDataSchema schema(L"009");
    CPerformanceDataSchema::Object &object = schema.AddObject(L"Obj", L"", 100);
    object.AddCounter(L"A", L"", 100, 0, 0x10000);
    // 2^28 slots of 32 bytes wrap the 32-bit size to the size without instances.
    object.SetInstances(0x10000000, 8);
    ASSERT_EQ(104u, object.GetDefinitionSize());
    std::vector<BYTE> buffer(104, 0xCC);
    CRecordingAllocator allocator;
    DWORD title = 7;
    try
    {
        object.WriteTo(buffer.data(), buffer.size(), title, allocator);
        FAIL() << "no exception";
    }
    catch (const CException &e)
    {
        EXPECT_EQ(L"CPerformanceDataSchema::Object::WriteTo()", e.GetWhere());
        EXPECT_EQ(L"Internal logic error", e.GetMessage());
    }
    EXPECT_EQ(std::vector<BYTE>(104, 0xCC), buffer);
}
