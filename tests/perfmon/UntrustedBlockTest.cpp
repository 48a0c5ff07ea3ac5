// The writer opening a block that another process laid out, or rewrites while it runs: it
// refuses any layout but the schema's, naming the field, and never writes outside its
// counter slots.
#include "counters/TcpCounterSchema.h"
#include "perfmon/PerformanceDataBlockNames.h"
#include "perfmon/PerformanceMonitorCounters.h"
#include "perfmon/RecordFields.h"
#include "win32/errors/Exception.h"
#include "win32/memory/SharedMemory.h"

#include "tests/support/ChildProcess.h"
#include "tests/support/TestNames.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

using namespace CorvaneTools::Counters;
using namespace CorvaneTools::PerfMon;
using namespace CorvaneTools::Win32;

namespace {

const wchar_t *const s_writerWhere = L"CPerformanceMonitorCounters::CPerformanceMonitorCounters()";
const DWORD s_pageSize = 4096;

std::unique_ptr<CPerformanceDataSchema> TcpSchema()
{
    auto schema = std::make_unique<CPerformanceDataSchema>(L"009");
    AddTcpServiceObject(*schema);
    return schema;
}

DWORD BlockSize(const CPerformanceDataSchema &schema)
{
    return CPerformanceDataBlock::HeaderSize + schema.GetTotalSize();
}

DWORD CounterDataOffset(const CPerformanceDataSchema &schema)
{
    return CPerformanceDataBlock::HeaderSize + schema.GetDefinitionSize();
}

// The fields the writer holds against its schema, by offset in the block, with the words
// its refusal names them by; every other byte before the counter data is free to differ.
std::map<DWORD, std::wstring> CheckedFields(const CPerformanceDataSchema &schema)
{
    std::map<DWORD, std::wstring> fields{{BlockField::ObjectsOffset, L"objectsOffset"},
                                         {BlockField::LastObjectOffset, L"lastObjectOffset"},
                                         {BlockField::CounterDataOffset, L"counterDataOffset"}};
    const DWORD record = CPerformanceDataBlock::HeaderSize;
    const std::pair<size_t, const wchar_t *> recordFields[] = {
        {ObjectField::TotalByteLength, L"TotalByteLength"},        {ObjectField::DefinitionLength, L"DefinitionLength"},
        {ObjectField::HeaderLength, L"HeaderLength"},              {ObjectField::NumCounters, L"NumCounters"},
        {ObjectField::NumInstances, L"NumInstances"},              {ObjectField::CounterDataOffset, L"counter data offset"},
        {ObjectField::InstanceNameBytes, L"instance name bytes"},  {ObjectField::CounterDataSize, L"counter data size"},
        {ObjectField::ActiveInstances, L"active instance count"}};
    for (const auto &field : recordFields)
    {
        fields[record + static_cast<DWORD>(field.first)] = L"object 0 " + std::wstring(field.second) + L" is ";
    }
    const std::pair<size_t, const wchar_t *> counterFields[] = {{CounterField::ByteLength, L"ByteLength"},
                                                                {CounterField::CounterType, L"CounterType"},
                                                                {CounterField::CounterSize, L"CounterSize"},
                                                                {CounterField::CounterOffset, L"CounterOffset"}};
    for (DWORD k = 0; k < schema.begin()->GetNumCounters(); ++k)
    {
        for (const auto &field : counterFields)
        {
            fields[record + ObjectHeaderLength + CounterDefinitionLength * k + static_cast<DWORD>(field.first)] =
                L"object 0 counter " + std::to_wstring(k) + L" " + field.second + L" is ";
        }
    }
    return fields;
}

// A view of the block as another process has it: the writer's section opened by name.
class CRawBlock
{
public:
    CRawBlock(const std::wstring &name, DWORD blockSize)
        : m_memory(CUnqualifiedName(CPerformanceDataBlockNames(CGlobalName(name)).Section()), blockSize, ReadWrite,
                   true, nullptr),
          m_bytes(static_cast<BYTE *>(m_memory.GetMemory())),
          // The rest of the section's last page lies past the block.
          m_mapped((blockSize + 4 + s_pageSize - 1) / s_pageSize * s_pageSize - 4)
    {
    }

    BYTE *Bytes() const
    {
        return m_bytes;
    }

    std::vector<BYTE> Copy() const
    {
        return std::vector<BYTE>(m_bytes, m_bytes + m_mapped);
    }

    void Restore(const std::vector<BYTE> &bytes) const
    {
        std::memcpy(m_bytes, bytes.data(), bytes.size());
    }

private:
    CSharedMemory m_memory;
    BYTE *const m_bytes;
    const DWORD m_mapped;
};

// The first differing byte outside [from, to), or -1.
long DifferenceOutside(const std::vector<BYTE> &before, const std::vector<BYTE> &after, DWORD from, DWORD to)
{
    for (DWORD at = 0; at < before.size(); ++at)
    {
        if ((at < from || at >= to) && before[at] != after[at])
        {
            return static_cast<long>(at);
        }
    }
    return -1;
}

// Another process's block: laid out as the schema gives it, held until the test is done.
class CPlanter
{
public:
    explicit CPlanter(const std::wstring &program)
        : m_name(TestSupport::UniqueName(L"planted")), m_readyName(TestSupport::UniqueName(L"ready")),
          m_doneName(TestSupport::UniqueName(L"done")), m_ready(::CreateEventW(nullptr, TRUE, FALSE, m_readyName.c_str())),
          m_done(::CreateEventW(nullptr, TRUE, FALSE, m_doneName.c_str())),
          m_child(L"BlockPlanter", {m_name, m_readyName, m_doneName}, program)
    {
        const HANDLE either[] = {m_ready, m_child.Handle()};
        m_laidOut = ::WaitForMultipleObjects(2, either, FALSE, 60000) == WAIT_OBJECT_0;
    }
    ~CPlanter()
    {
        ::SetEvent(m_done);
        m_child.Wait();
        ::CloseHandle(m_ready);
        ::CloseHandle(m_done);
    }
    CPlanter(const CPlanter &) = delete;
    CPlanter &operator=(const CPlanter &) = delete;

    const std::wstring &Name() const
    {
        return m_name;
    }
    bool LaidOut() const
    {
        return m_laidOut;
    }

private:
    const std::wstring m_name;
    const std::wstring m_readyName;
    const std::wstring m_doneName;
    const HANDLE m_ready;
    const HANDLE m_done;
    TestSupport::CChildProcess m_child;
    bool m_laidOut;
};

struct Outcome
{
    bool refused;
    std::wstring message;
    std::vector<BYTE> after;
};

// Opens the writer on the block as it stands, clears the object and stores one value.
Outcome OpenWriter(const std::wstring &name, const CPerformanceDataSchema &schema, const CRawBlock &raw)
{
    try
    {
        CPerformanceMonitorCounters writer(CGlobalName(name), schema, 500, nullptr);
        const auto object = writer.GetPerformanceObject(TcpCounterObjectName);
        CPerformanceMonitorCounters::SetCounterValue(
            writer.GetPerformanceCounter(object, GetTcpCounterName(IPv4Listen)), 77);
        return {false, L"", raw.Copy()};
    }
    catch (const CException &e)
    {
        EXPECT_EQ(s_writerWhere, e.GetWhere());
        return {true, e.GetMessage(), raw.Copy()};
    }
}

std::string Narrow(const std::wstring &text)
{
    return std::string(text.begin(), text.end());
}

} // namespace

// args: block name, the event it sets once the block is laid out, the event that ends it.
TESSALY_CHILD_MAIN(BlockPlanter)
{
    auto schema = TcpSchema();
    CPerformanceDataBlock block(CGlobalName(args.at(0)), *schema, 500, nullptr);
    HANDLE ready = ::OpenEventW(EVENT_MODIFY_STATE, FALSE, args.at(1).c_str());
    HANDLE done = ::OpenEventW(SYNCHRONIZE, FALSE, args.at(2).c_str());
    if (!ready || !done)
    {
        return 50;
    }
    ::SetEvent(ready);
    return ::WaitForSingleObject(done, 120000) == WAIT_OBJECT_0 ? 0 : 51;
}

// Every word of the layout changed in turn, then a few hundred random byte changes (fixed
// seed), each in a block that a process of either architecture laid out.
TEST(UntrustedBlockTest, TheWriterRefusesEveryLayoutButItsOwn)
{
    auto schema = TcpSchema();
    const DWORD blockSize = BlockSize(*schema);
    const DWORD data = CounterDataOffset(*schema);
    const std::map<DWORD, std::wstring> checked = CheckedFields(*schema);
    const auto checkedField = [&](DWORD at) -> const std::wstring * {
        if (at == BlockField::Initialised)
        {
            static const std::wstring initialised = L"initialised flag is ";
            return &initialised;
        }
        const auto field = checked.find(at & ~3u);
        return field == checked.end() ? nullptr : &field->second;
    };
    for (const std::wstring &program : {std::wstring(), TestSupport::OtherArchitectureProgram()})
    {
        CPlanter planter(program);
        ASSERT_TRUE(planter.LaidOut());
        const CRawBlock raw(planter.Name(), blockSize);
        // Values in every slot, so that clearing shows how far it reaches.
        std::memset(raw.Bytes() + data, 0x5A, blockSize - data);
        const std::vector<BYTE> pristine = raw.Copy();
        int refused = 0;
        int accepted = 0;
        const auto attempt = [&](const std::vector<std::pair<DWORD, BYTE>> &changes, bool single) {
            raw.Restore(pristine);
            for (const auto &change : changes)
            {
                raw.Bytes()[change.first] = change.second;
            }
            const std::vector<BYTE> planted = raw.Copy();
            const std::wstring *named = nullptr;
            for (DWORD at = 0; at < data && !named; ++at)
            {
                named = planted[at] != pristine[at] ? checkedField(at) : nullptr;
            }
            const Outcome outcome = OpenWriter(planter.Name(), *schema, raw);
            refused += outcome.refused ? 1 : 0;
            accepted += outcome.refused ? 0 : 1;
            if (planted[BlockField::Initialised] == 0)
            {
                // Not marked laid out: laid out anew, as by whoever comes first (which leaves
                // the three bytes after the flag as they are).
                EXPECT_FALSE(outcome.refused) << Narrow(outcome.message);
                std::vector<BYTE> expected = pristine;
                std::copy(planted.begin() + 1, planted.begin() + 4, expected.begin() + 1);
                EXPECT_EQ(-1, DifferenceOutside(expected, outcome.after, data, blockSize));
            }
            else if (named)
            {
                ASSERT_TRUE(outcome.refused) << Narrow(*named);
                EXPECT_EQ(0u, outcome.message.find(L"Performance data block is corrupt: ")) << Narrow(outcome.message);
                if (single)
                {
                    EXPECT_NE(std::wstring::npos, outcome.message.find(*named)) << Narrow(outcome.message);
                }
                EXPECT_EQ(-1, DifferenceOutside(planted, outcome.after, 0, 0)) << "nothing written";
            }
            else
            {
                ASSERT_FALSE(outcome.refused) << Narrow(outcome.message);
                EXPECT_EQ(-1, DifferenceOutside(planted, outcome.after, data, blockSize));
                for (DWORD k = 0; k < NumTcpCounters; ++k)
                {
                    EXPECT_EQ(k == IPv4Listen ? 77u : 0u, Get32(outcome.after.data(), data + 8 * k)) << k;
                    EXPECT_EQ(0u, Get32(outcome.after.data(), data + 8 * k + 4)) << k;
                }
            }
        };
        attempt({{BlockField::Initialised, 2}}, true);
        for (DWORD word = 0; word < data; word += 4)
        {
            SCOPED_TRACE(word);
            const DWORD changed = Get32(pristine.data(), word) ^ 0x80000001u;
            attempt({{word, static_cast<BYTE>(changed)}, {word + 3, static_cast<BYTE>(changed >> 24)}}, true);
        }
        std::mt19937 random(20261208);
        for (int round = 0; round < 300; ++round)
        {
            SCOPED_TRACE(round);
            std::vector<std::pair<DWORD, BYTE>> changes;
            for (int n = 1 + static_cast<int>(random() % 4); n > 0; --n)
            {
                changes.emplace_back(static_cast<DWORD>(random() % data), static_cast<BYTE>(random()));
            }
            attempt(changes, false);
        }
        std::printf("%s planter: %d layouts refused, %d opened\n", program.empty() ? "same-architecture" : "other-architecture",
                    refused, accepted);
    }
}

// args: block name, milliseconds. Rewrites words of the object records with random values
// for that long; prints how many.
TESSALY_CHILD_MAIN(RecordRewriter)
{
    auto schema = TcpSchema();
    const CRawBlock raw(args.at(0), BlockSize(*schema));
    const DWORD records = CounterDataOffset(*schema) - CPerformanceDataBlock::HeaderSize;
    std::mt19937 random(99);
    const DWORD start = ::GetTickCount();
    unsigned long rewrites = 0;
    while (::GetTickCount() - start < std::stoul(args.at(1)))
    {
        const DWORD word = CPerformanceDataBlock::HeaderSize + (random() % (records / 4)) * 4;
        Put32(raw.Bytes(), word, static_cast<DWORD>(random()));
        ++rewrites;
    }
    std::printf("%lu\n", rewrites);
    return 0;
}

TEST(UntrustedBlockTest, ABlockRewrittenWhileTheWriterRunsNeverMakesItWriteElsewhere)
{
    auto schema = TcpSchema();
    const DWORD blockSize = BlockSize(*schema);
    const DWORD data = CounterDataOffset(*schema);
    for (const std::wstring &program : {std::wstring(), TestSupport::OtherArchitectureProgram()})
    {
        const std::wstring name = TestSupport::UniqueName(L"rewritten");
        auto writer = std::make_unique<CPerformanceMonitorCounters>(CGlobalName(name), *schema, 500, nullptr);
        const auto object = writer->GetPerformanceObject(TcpCounterObjectName);
        CPerformanceMonitorCounters::CounterHandle handles[NumTcpCounters];
        for (int k = 0; k < NumTcpCounters; ++k)
        {
            handles[k] = writer->GetPerformanceCounter(object, GetTcpCounterName(static_cast<TcpCounter>(k)));
        }
        const CRawBlock raw(name, blockSize);
        const std::vector<BYTE> before = raw.Copy();
        TestSupport::CChildProcess rewriter(L"RecordRewriter", {name, L"1000"}, program);
        int rounds = 0;
        while (::WaitForSingleObject(rewriter.Handle(), 0) == WAIT_TIMEOUT)
        {
            for (int k = 0; k < NumTcpCounters; ++k)
            {
                CPerformanceMonitorCounters::SetCounterValue(handles[k], static_cast<DWORD>(rounds + k));
            }
            writer->ResetPerformanceObject(object);
            ++rounds;
        }
        EXPECT_EQ(0u, rewriter.Wait());
        for (int k = 0; k < NumTcpCounters; ++k)
        {
            CPerformanceMonitorCounters::SetCounterValue(handles[k], static_cast<DWORD>(1000 + k));
        }
        writer.reset();
        const std::vector<BYTE> after = raw.Copy();
        EXPECT_EQ(-1, DifferenceOutside(before, after, CPerformanceDataBlock::HeaderSize, blockSize))
            << "the header and what lies past the block stay as they were";
        for (DWORD k = 0; k < NumTcpCounters; ++k)
        {
            EXPECT_EQ(1000 + k, Get32(after.data(), data + 8 * k)) << k;
            EXPECT_EQ(0u, Get32(after.data(), data + 8 * k + 4)) << k;
        }
        const std::string rewrites = rewriter.Output();
        std::printf("%d stores and clears while another process rewrote record words %lu times\n", rounds,
                    std::stoul(rewrites.empty() ? "0" : rewrites));
    }
}
