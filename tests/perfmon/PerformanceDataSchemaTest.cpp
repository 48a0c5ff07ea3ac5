#include "perfmon/PerformanceDataSchema.h"

#include "win32/errors/Exception.h"

#include <gtest/gtest.h>

using namespace CorvaneTools::PerfMon;
using CorvaneTools::Win32::CException;

namespace {

template <typename Action>
void ExpectFailure(const wchar_t *where, const std::wstring &message, Action action)
{
    try
    {
        action();
        ADD_FAILURE() << "no exception";
    }
    catch (const CException &e)
    {
        EXPECT_EQ(where, e.GetWhere());
        EXPECT_EQ(message, e.GetMessage());
    }
}

CPerformanceDataSchema::Object &BuildExample(CPerformanceDataSchema &schema)
{
    CPerformanceDataSchema::Object &object = schema.AddObject(L"Obj", L"Help", 100);
    object.AddCounter(L"A", L"Count", 100, 0, 65536);
    return object;
}

} // namespace

TEST(PerformanceDataSchemaTest, WorkedExampleChecksums)
{
    CPerformanceDataSchema schema(L"009");
    BuildExample(schema);
    EXPECT_EQ(L"CPerformanceDataSchema:v1.0:[009|Obj|Help|100:4294967295:0:0:1[A|-Count|{100:0:65536}]]",
              schema.GetChecksumText());
    EXPECT_EQ(L"CDE4FE9C7C2583ADDBF5C87D9E81A088", schema.GetChecksum());

    CPerformanceDataSchema withDefault(L"009");
    CPerformanceDataSchema::Object &object = withDefault.AddObject(L"Obj", L"Help", 100);
    object.AddCounter(L"A", L"Count", 100, 0, 65536);
    object.SetDefaultCounter();
    EXPECT_EQ(L"CPerformanceDataSchema:v1.0:[009|Obj|Help|100:4294967295:0:1:1[A|-Count|{100:0:65536}]]",
              withDefault.GetChecksumText());
    EXPECT_EQ(L"3FCEDFC9F32589B6571CF085A1210B26", withDefault.GetChecksum());
}

TEST(PerformanceDataSchemaTest, ChecksumTextOfSeveralObjectsAndSignedFields)
{
    CPerformanceDataSchema schema(L"009");
    CPerformanceDataSchema::Object &first = schema.AddObject(L"First", L"One", 200);
    first.AddCounter(L"x", L"hx", 300, -2, 0x80000000);
    first.AddCounter(L"y", L"hy", 400, 3, 1);
    first.SetDefaultCounter();
    schema.AddObject(L"Second", L"Two", 0xFFFFFFFF).AddCounter(L"z", L"hz", 100, 0, 65536);
    EXPECT_EQ(L"CPerformanceDataSchema:v1.0:"
              L"[009|First|One|200:4294967295:0:2:2[x|y|-hx|hy|{300:-2:-2147483648}{400:3:1}]]"
              L"[009|Second|Two|-1:4294967295:0:0:1[z|-hz|{100:0:65536}]]",
              schema.GetChecksumText());
}

TEST(PerformanceDataSchemaTest, ChecksumFollowsEveryChange)
{
    auto build = [](const wchar_t *help, bool swap) {
        auto schema = std::make_unique<CPerformanceDataSchema>(L"009");
        CPerformanceDataSchema::Object &object = schema->AddObject(L"Obj", L"Help", 100);
        object.AddCounter(swap ? L"B" : L"A", L"a", 100, 0, 65536);
        object.AddCounter(swap ? L"A" : L"B", help, 100, 0, 65536);
        return schema->GetChecksum();
    };
    EXPECT_EQ(build(L"b", false), build(L"b", false));
    EXPECT_NE(build(L"b", false), build(L"c", false));
    EXPECT_NE(build(L"b", false), build(L"b", true));

    CPerformanceDataSchema instances(L"009");
    BuildExample(instances).SetInstances(2, 16);
    CPerformanceDataSchema plain(L"009");
    BuildExample(plain);
    EXPECT_NE(plain.GetChecksum(), instances.GetChecksum());
    EXPECT_NE(std::wstring::npos, instances.GetChecksumText().find(L"100:2:0:0:1["));
}

TEST(PerformanceDataSchemaTest, EmptySchema)
{
    CPerformanceDataSchema schema(L"009");
    EXPECT_EQ(L"CPerformanceDataSchema:v1.0:", schema.GetChecksumText());
    EXPECT_EQ(0u, schema.GetNumObjects());
    ExpectFailure(L"CPerformanceDataSchema::ValidateSchema()", L"Schema must have at least one object",
                  [&] { schema.ValidateSchema(); });
    ExpectFailure(L"CPerformanceDataSchema::ValidateSchema()", L"Schema must have at least one object",
                  [&] { schema.GetTotalSize(); });
    schema.AddObject(L"Obj", L"Help", 100);
    ExpectFailure(L"CPerformanceDataSchema::Object::ValidateSchema()", L"Objects must have at least one counter",
                  [&] { schema.GetDefinitionSize(); });
    ExpectFailure(L"CPerformanceDataSchema::Object::ValidateSchema()", L"Objects must have at least one counter",
                  [&] { schema.GetCounterDataSize(); });
}

TEST(PerformanceDataSchemaTest, DuplicateNamesAreRefusedExactlyAndLeaveTheSchemaAsItWas)
{
    CPerformanceDataSchema schema(L"009");
    CPerformanceDataSchema::Object &object = schema.AddObject(L"Obj", L"Help", 100);
    object.AddCounter(L"A", L"Count", 100, 0, 65536);
    const std::wstring before = schema.GetChecksumText();
    ExpectFailure(L"CPerformanceDataSchema::AddObject()", L"Duplicate object name: \"Obj\"",
                  [&] { schema.AddObject(L"Obj", L"Other", 200); });
    ExpectFailure(L"CPerformanceDataSchema::Object::AddCounter()", L"Duplicate counter name: \"A\"",
                  [&] { object.AddCounter(L"A", L"Again", 200, 1, 1); });
    EXPECT_EQ(before, schema.GetChecksumText());
    EXPECT_EQ(1u, schema.GetNumObjects());
    EXPECT_EQ(1u, object.GetNumCounters());

    // Names differing in case only are distinct.
    schema.AddObject(L"obj", L"Help", 100);
    object.AddCounter(L"a", L"Count", 100, 0, 65536);
    EXPECT_EQ(2u, schema.GetNumObjects());
    EXPECT_EQ(2u, object.GetNumCounters());
}

TEST(PerformanceDataSchemaTest, DefaultCounter)
{
    CPerformanceDataSchema schema(L"009");
    CPerformanceDataSchema::Object &object = schema.AddObject(L"Obj", L"Help", 100);
    object.SetDefaultCounter();
    EXPECT_EQ(0u, object.GetDefaultCounter()) << "before any counter it stays unset";
    object.AddCounter(L"A", L"a", 100, 0, 65536);
    object.AddCounter(L"B", L"b", 100, 0, 65536);
    object.AddCounter(L"C", L"c", 100, 0, 65536);
    object.SetDefaultCounter();
    EXPECT_EQ(3u, object.GetDefaultCounter());
    ExpectFailure(L"CPerformanceDataSchema::Object::SetDefaultCounter()", L"Default counter already set to: 3",
                  [&] { object.SetDefaultCounter(); });
    EXPECT_EQ(3u, object.GetDefaultCounter());
}

TEST(PerformanceDataSchemaTest, QueriesAndSizes)
{
    CPerformanceDataSchema schema(L"009");
    CPerformanceDataSchema::Object &object = schema.AddObject(L"Obj", L"Help", 100);
    object.AddCounter(L"A", L"a help", 200, -1, 65536);
    object.AddCounter(L"B", L"b help", 300, 2, 0x10100);
    EXPECT_EQ(L"009", schema.GetLanguage());
    std::vector<std::wstring> languages{L"stale"};
    schema.GetLanguages(languages);
    EXPECT_EQ(std::vector<std::wstring>{L"009"}, languages);
    EXPECT_EQ(L"Obj", object.GetName(L"009"));
    EXPECT_EQ(L"Help", object.GetHelp(L"007")) << "an unknown language falls back to the object's own";
    EXPECT_EQ(L"B", object.GetCounter(1).GetName(L"010"));
    EXPECT_EQ(L"b help", object.GetCounter(1).GetHelp(L"009"));
    EXPECT_EQ(8u, object.GetCounter(1).GetStorageSize());
    std::vector<std::wstring> texts{L"stale"};
    object.GetCounterNames(texts);
    EXPECT_EQ((std::vector<std::wstring>{L"A", L"B"}), texts);
    object.GetCounterHelpTexts(texts);
    EXPECT_EQ((std::vector<std::wstring>{L"a help", L"b help"}), texts);
    EXPECT_EQ(0xFFFFFFFFu, object.GetNumInstances());
    EXPECT_EQ(0u, object.GetObjectReserved());
    EXPECT_EQ(0u, object.GetInstanceNameBytes());

    EXPECT_EQ(64u + 80u, object.GetDefinitionSize());
    EXPECT_EQ(16u, object.GetCounterDataSize());
    EXPECT_EQ(160u, object.GetTotalSize());

    CPerformanceDataSchema::Object &second = schema.AddObject(L"Two", L"", 100);
    second.AddCounter(L"x", L"", 100, 0, 65536);
    second.SetInstances(3, 16);
    EXPECT_EQ(64u + 40u + 3u * (16u + 24u), second.GetDefinitionSize());
    EXPECT_EQ(24u, second.GetCounterDataSize());
    second.SetInstances(0, 16);
    EXPECT_EQ(104u, second.GetDefinitionSize());
    EXPECT_EQ(0u, second.GetCounterDataSize()) << "zero instances hold no data";
    EXPECT_EQ(144u + 104u, schema.GetDefinitionSize());
    EXPECT_EQ(16u, schema.GetCounterDataSize());
    EXPECT_EQ(144u + 104u + 16u, schema.GetTotalSize());

    int count = 0;
    for (const auto &each : schema)
    {
        EXPECT_EQ(count == 0 ? L"Obj" : L"Two", each.GetName());
        ++count;
    }
    EXPECT_EQ(2, count);
}
