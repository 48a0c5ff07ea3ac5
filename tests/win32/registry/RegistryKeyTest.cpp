#include "win32/errors/ErrorMessage.h"
#include "win32/registry/RegistryKey.h"

#include "tests/support/CatchException.h"
#include "tests/support/ScratchDirectory.h"

#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <thread>
#include <vector>

using namespace CorvaneTools::Win32;
using TestSupport::CatchException;

namespace {

const DWORD Unchanged = 0xDEADBEEF;

// A key of its own under HKCU\Software\TessalyTest, removed with everything below it.
class RegistryKeyTest : public testing::Test
{
protected:
    void SetUp() override
    {
        m_path = L"Software\\TessalyTest\\" + TestSupport::UniqueName(L"registry");
        HKEY key = nullptr;
        ASSERT_EQ(ERROR_SUCCESS, ::RegCreateKeyExW(HKEY_CURRENT_USER, m_path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                                   nullptr, &key, nullptr));
        ::RegCloseKey(key);
    }

    void TearDown() override
    {
        ::RegDeleteTreeW(HKEY_CURRENT_USER, m_path.c_str());
        // Only goes when no other test program still has keys there.
        ::RegDeleteKeyW(HKEY_CURRENT_USER, L"Software\\TessalyTest");
    }

    CRegistryKey Key(REGSAM access = KEY_ALL_ACCESS) const
    {
        return CRegistryKey(HKEY_CURRENT_USER, m_path.c_str(), access);
    }

    void SetRaw(const wchar_t *name, DWORD type, const void *data, DWORD bytes) const
    {
        const LONG result = ::RegSetKeyValueW(HKEY_CURRENT_USER, m_path.c_str(), name, type, data, bytes);
        ASSERT_EQ(ERROR_SUCCESS, result);
    }

    void CreateRaw(const std::wstring &subKey) const
    {
        HKEY key = nullptr;
        ASSERT_EQ(ERROR_SUCCESS, ::RegCreateKeyExW(HKEY_CURRENT_USER, (m_path + L"\\" + subKey).c_str(), 0, nullptr,
                                                   0, KEY_ALL_ACCESS, nullptr, &key, nullptr));
        ::RegCloseKey(key);
    }

    bool KeyExists(const std::wstring &subKey) const
    {
        HKEY key = nullptr;
        if (::RegOpenKeyExW(HKEY_CURRENT_USER, (m_path + L"\\" + subKey).c_str(), 0, KEY_READ, &key) !=
            ERROR_SUCCESS)
        {
            return false;
        }
        ::RegCloseKey(key);
        return true;
    }

    // The stored type and bytes, read without the wrapper; type REG_NONE when missing.
    std::string Raw(const wchar_t *name, DWORD &type, const std::wstring &subKey = std::wstring()) const
    {
        BYTE data[1024];
        DWORD bytes = sizeof(data);
        const std::wstring path = subKey.empty() ? m_path : m_path + L"\\" + subKey;
        HKEY key = nullptr;
        type = REG_NONE;
        if (::RegOpenKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        {
            return std::string();
        }
        const LONG result = ::RegQueryValueExW(key, name, nullptr, &type, data, &bytes);
        ::RegCloseKey(key);
        if (result != ERROR_SUCCESS)
        {
            type = REG_NONE;
            return std::string();
        }
        return std::string(reinterpret_cast<const char *>(data), bytes);
    }

    std::wstring m_path;
};

void ExpectRegistryError(const CRegistryKey::Exception &e, const std::wstring &where, DWORD error)
{
    EXPECT_EQ(where, e.GetWhere());
    EXPECT_EQ(error, e.GetError());
    EXPECT_EQ(GetLastErrorMessage(error, true), e.GetMessage());
}

std::string Bytes(const wchar_t *text, size_t characters)
{
    return std::string(reinterpret_cast<const char *>(text), characters * sizeof(wchar_t));
}

} // namespace

TEST_F(RegistryKeyTest, OpenFailuresCarryTheRegistryResult)
{
    const std::wstring missing = m_path + L"\\Missing";
    ExpectRegistryError(CatchException<CRegistryKey::Exception>(
                            [&] { CRegistryKey key(HKEY_CURRENT_USER, missing.c_str(), KEY_READ); }),
                        L"CRegistryKey::CRegistryKey(HKEY hKey ...)", ERROR_FILE_NOT_FOUND);
    ExpectRegistryError(CatchException<CRegistryKey::Exception>([&] { Key().OpenKey(L"Missing", KEY_READ); }),
                        L"CRegistryKey::CRegistryKey(HKEY hKey ...)", ERROR_FILE_NOT_FOUND);
    ExpectRegistryError(CatchException<CRegistryKey::Exception>([&] {
                            CRegistryKey key(HKEY_CURRENT_USER, m_path.c_str(), KEY_READ, L"\\\\NoSuchMachine");
                        }),
                        L"CRegistryKey::CRegistryKey() - RegConnectRegistry", ERROR_BAD_NETPATH);
}

TEST_F(RegistryKeyTest, OpensThroughTheLocalMachinesName)
{
    const DWORD value = 7;
    SetRaw(L"Seven", REG_DWORD, &value, sizeof(value));
    wchar_t computer[MAX_COMPUTERNAME_LENGTH + 1];
    DWORD length = MAX_COMPUTERNAME_LENGTH + 1;
    ASSERT_TRUE(::GetComputerNameW(computer, &length));
    const CRegistryKey key(HKEY_CURRENT_USER, m_path.c_str(), KEY_READ, (L"\\\\" + std::wstring(computer)).c_str());
    DWORD read = 0;
    EXPECT_TRUE(key.QueryValue(L"Seven", read));
    EXPECT_EQ(7u, read);
}

TEST_F(RegistryKeyTest, CreateOrOpenKeyReportsWhatItDid)
{
    CRegistryKey key = Key();
    DWORD disposition = 0;
    key.CreateOrOpenKey(L"Child", &disposition, L"TessalyClass");
    EXPECT_EQ(static_cast<DWORD>(REG_CREATED_NEW_KEY), disposition);
    const CRegistryKey::SubkeyIterator it = key.BeginSubkeys();
    ASSERT_NE(key.EndSubkeys(), it);
    EXPECT_EQ(L"Child", it->GetName());
    EXPECT_EQ(L"TessalyClass", it->GetClass());

    CRegistryKey child = key.CreateOrOpenKey(L"Child", &disposition);
    EXPECT_EQ(static_cast<DWORD>(REG_OPENED_EXISTING_KEY), disposition);
    child.SetValue(L"Name", L"value");
    DWORD type = 0;
    EXPECT_EQ(Bytes(L"value", 6), Raw(L"Name", type, L"Child"));

    // Far beyond the 255 characters a key name may have.
    const std::wstring tooLong(300, L'n');
    ExpectRegistryError(CatchException<CRegistryKey::Exception>([&] { key.CreateOrOpenKey(tooLong.c_str()); }),
                        L"CRegistryKey::CreateOrOpenKey()", ERROR_INVALID_PARAMETER);
    ExpectRegistryError(CatchException<CRegistryKey::Exception>([&] { CRegistryKey().CreateOrOpenKey(L"Other"); }),
                        L"CRegistryKey::CreateOrOpenKey()", ERROR_INVALID_HANDLE);
}

TEST_F(RegistryKeyTest, StringValuesAreWrittenWithTheirZero)
{
    CRegistryKey key = Key();
    key.SetValue(L"Plain", L"text");
    key.SetValue(L"Expand", L"%SystemRoot%\\x", REG_EXPAND_SZ);
    key.SetValue(L"Empty", L"");
    DWORD type = 0;
    EXPECT_EQ(Bytes(L"text", 5), Raw(L"Plain", type));
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), type);
    EXPECT_EQ(Bytes(L"%SystemRoot%\\x", 15), Raw(L"Expand", type));
    EXPECT_EQ(static_cast<DWORD>(REG_EXPAND_SZ), type);
    EXPECT_EQ(Bytes(L"", 1), Raw(L"Empty", type));

    std::wstring text;
    EXPECT_TRUE(key.QueryValue(L"Plain", text));
    EXPECT_EQ(L"text", text);
    EXPECT_TRUE(key.QueryValue(L"Expand", text));
    EXPECT_EQ(L"%SystemRoot%\\x", text) << "read as stored, not expanded";
    EXPECT_TRUE(key.QueryValue(L"Empty", text));
    EXPECT_EQ(L"", text);
}

TEST_F(RegistryKeyTest, SetValueRefusesOtherTypes)
{
    CRegistryKey key = Key();
    for (const DWORD type : {REG_MULTI_SZ, REG_BINARY, REG_DWORD})
    {
        ExpectRegistryError(CatchException<CRegistryKey::Exception>([&] { key.SetValue(L"Refused", L"a", type); }),
                            L"CRegistryKey::SetValue()", ERROR_INVALID_FLAGS);
    }
    for (const DWORD type : {REG_SZ, REG_BINARY, REG_QWORD})
    {
        ExpectRegistryError(CatchException<CRegistryKey::Exception>([&] { key.SetValue(L"Refused", 1ul, type); }),
                            L"CRegistryKey::SetValue()", ERROR_INVALID_FLAGS);
    }
    DWORD type = 0;
    Raw(L"Refused", type);
    EXPECT_EQ(static_cast<DWORD>(REG_NONE), type) << "nothing written";

    CRegistryKey readOnly = Key(KEY_READ);
    ExpectRegistryError(CatchException<CRegistryKey::Exception>([&] { readOnly.SetValue(L"Denied", L"a"); }),
                        L"CRegistryKey::SetValue()", ERROR_ACCESS_DENIED);
    ExpectRegistryError(CatchException<CRegistryKey::Exception>([&] { readOnly.SetValue(L"Denied", 1ul); }),
                        L"CRegistryKey::SetValue()", ERROR_ACCESS_DENIED);
}

TEST_F(RegistryKeyTest, NumbersAreReadOnlyFromFourByteNumberTypes)
{
    CRegistryKey key = Key();
    key.SetValue(L"Little", 0x12345678ul);
    key.SetValue(L"Big", 0x12345678ul, REG_DWORD_BIG_ENDIAN);
    DWORD type = 0;
    EXPECT_EQ(std::string("\x78\x56\x34\x12", 4), Raw(L"Big", type)) << "written as given";
    EXPECT_EQ(static_cast<DWORD>(REG_DWORD_BIG_ENDIAN), type);

    DWORD value = Unchanged;
    EXPECT_TRUE(key.QueryValue(L"Little", value));
    EXPECT_EQ(0x12345678u, value);
    value = Unchanged;
    EXPECT_TRUE(key.QueryValue(L"Big", value));
    EXPECT_EQ(0x12345678u, value) << "read as stored, without reordering";

    const DWORD four = 4;
    const unsigned __int64 eight = 8;
    key.SetValue(L"Text", L"42");
    SetRaw(L"Binary", REG_BINARY, &four, 4);
    SetRaw(L"Short", REG_DWORD, &four, 2);
    SetRaw(L"Long", REG_DWORD, &eight, 8);
    SetRaw(L"Quad", REG_QWORD, &eight, 8);
    for (const wchar_t *name : {L"Text", L"Binary", L"Short", L"Long", L"Quad", L"Missing"})
    {
        value = Unchanged;
        EXPECT_FALSE(key.QueryValue(name, value)) << name;
        EXPECT_EQ(Unchanged, value) << name;
    }
    EXPECT_FALSE(CRegistryKey().QueryValue(L"Little", value)) << "an empty key has no values";
}

TEST_F(RegistryKeyTest, StringsAreReadOnlyFromStringTypes)
{
    CRegistryKey key = Key();
    const DWORD four = 4;
    key.SetValue(L"Number", 42ul);
    SetRaw(L"Binary", REG_BINARY, L"ab", 6);
    SetRaw(L"Multi", REG_MULTI_SZ, L"ab\0\0", 8);
    SetRaw(L"Dword", REG_DWORD, &four, 4);
    for (const wchar_t *name : {L"Number", L"Binary", L"Multi", L"Dword", L"Missing"})
    {
        std::wstring text = L"unchanged";
        EXPECT_FALSE(key.QueryValue(name, text)) << name;
        EXPECT_EQ(L"unchanged", text) << name;
    }
}

TEST_F(RegistryKeyTest, StoredStringsNeedNotEndWithAZero)
{
    CRegistryKey key = Key();
    SetRaw(L"Unterminated", REG_SZ, L"abc", 6);
    SetRaw(L"OddLength", REG_SZ, L"abcd", 7);
    SetRaw(L"InnerZero", REG_EXPAND_SZ, L"ab\0cd", 12);
    SetRaw(L"NoData", REG_SZ, L"", 0);
    const std::pair<const wchar_t *, const wchar_t *> expected[] = {
        {L"Unterminated", L"abc"}, {L"OddLength", L"abc"}, {L"InnerZero", L"ab"}, {L"NoData", L""}};
    for (const auto &value : expected)
    {
        std::wstring text = L"unchanged";
        EXPECT_TRUE(key.QueryValue(value.first, text)) << value.first;
        EXPECT_EQ(value.second, text) << value.first;
    }
}

TEST_F(RegistryKeyTest, MultiStringSetterWritesEachEntryThenAnEmptyString)
{
    CRegistryKey key = Key();
    key.SetMultiStringValue(L"Export", {L"First", L"Second entry"});
    DWORD type = 0;
    EXPECT_EQ(Bytes(L"First\0Second entry\0", 20), Raw(L"Export", type));
    EXPECT_EQ(static_cast<DWORD>(REG_MULTI_SZ), type);

    key.SetMultiStringValue(L"One", {L"Tessaly"});
    EXPECT_EQ(Bytes(L"Tessaly\0", 9), Raw(L"One", type));
    key.SetMultiStringValue(L"None", {});
    EXPECT_EQ(Bytes(L"", 1), Raw(L"None", type));
    EXPECT_EQ(static_cast<DWORD>(REG_MULTI_SZ), type);

    // Either would end the list early for every reader.
    for (const std::wstring &bad : {std::wstring(), std::wstring(L"a\0b", 3)})
    {
        ExpectRegistryError(CatchException<CRegistryKey::Exception>(
                                [&] { key.SetMultiStringValue(L"Refused", {L"before", bad, L"after"}); }),
                            L"CRegistryKey::SetMultiStringValue()", ERROR_INVALID_PARAMETER);
    }
    Raw(L"Refused", type);
    EXPECT_EQ(static_cast<DWORD>(REG_NONE), type) << "nothing written";

    CRegistryKey readOnly = Key(KEY_READ);
    ExpectRegistryError(
        CatchException<CRegistryKey::Exception>([&] { readOnly.SetMultiStringValue(L"Denied", {L"a"}); }),
        L"CRegistryKey::SetMultiStringValue()", ERROR_ACCESS_DENIED);
}

TEST_F(RegistryKeyTest, DeleteValueTellsWhetherItDeleted)
{
    CRegistryKey key = Key();
    key.SetValue(L"Gone", 1ul);
    EXPECT_TRUE(key.DeleteValue(L"Gone"));
    DWORD type = 0;
    Raw(L"Gone", type);
    EXPECT_EQ(static_cast<DWORD>(REG_NONE), type);
    EXPECT_FALSE(key.DeleteValue(L"Gone"));
    EXPECT_FALSE(key.DeleteValue(L"NeverThere"));

    key.SetValue(L"Kept", 1ul);
    CRegistryKey readOnly = Key(KEY_READ);
    EXPECT_FALSE(readOnly.DeleteValue(L"Kept"));
    DWORD value = 0;
    EXPECT_TRUE(key.QueryValue(L"Kept", value));
}

TEST_F(RegistryKeyTest, DeleteKeyDeletesOnlyEmptyKeys)
{
    CreateRaw(L"Parent\\Child");
    CRegistryKey key = Key();
    ExpectRegistryError(CatchException<CRegistryKey::Exception>([&] { key.DeleteKey(L"Parent"); }),
                        L"CRegistryKey::DeleteKey()", ERROR_ACCESS_DENIED);
    EXPECT_TRUE(KeyExists(L"Parent\\Child")) << "nothing deleted";

    key.OpenKey(L"Parent", KEY_ALL_ACCESS).DeleteKey(L"Child");
    EXPECT_FALSE(KeyExists(L"Parent\\Child"));
    EXPECT_TRUE(KeyExists(L"Parent"));
    key.DeleteKey(L"Parent");
    EXPECT_FALSE(KeyExists(L"Parent"));

    ExpectRegistryError(CatchException<CRegistryKey::Exception>([&] { key.DeleteKey(L"Parent"); }),
                        L"CRegistryKey::CRegistryKey(HKEY hKey ...)", ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryKeyTest, KeyWithoutSubkeysIteratesNothing)
{
    CRegistryKey key = Key();
    key.SetValue(L"ValuesAreNotSubkeys", 1ul);
    EXPECT_TRUE(key.BeginSubkeys() == key.EndSubkeys());
    const CRegistryKey empty;
    EXPECT_TRUE(empty.BeginSubkeys() == empty.EndSubkeys());
    CRegistryKey::SubkeyIterator end = key.EndSubkeys();
    ++end;
    EXPECT_TRUE(end == key.EndSubkeys()) << "advancing the end stays at the end";
    EXPECT_EQ(L"", end->GetName());
}

TEST_F(RegistryKeyTest, IterationVisitsEverySubkeyOnce)
{
    const std::set<std::wstring> names = {L"a", L"Beta", L"gamma with spaces", std::wstring(200, L'x'), L"Zeta"};
    for (const std::wstring &name : names)
    {
        CreateRaw(name);
    }
    CreateRaw(L"a\\NotListed");
    std::multiset<std::wstring> seen;
    CRegistryKey key = Key(KEY_READ);
    for (CRegistryKey::SubkeyIterator it = key.BeginSubkeys(); it != key.EndSubkeys(); ++it)
    {
        seen.insert(it->GetName());
    }
    EXPECT_EQ(std::multiset<std::wstring>(names.begin(), names.end()), seen);
}

TEST_F(RegistryKeyTest, IterationGrowsForLongerNamesAddedMeanwhile)
{
    CreateRaw(L"b");
    CreateRaw(L"c");
    CRegistryKey::SubkeyIterator it;
    {
        // The iterator keeps the key open on its own.
        it = Key(KEY_READ).BeginSubkeys();
    }
    ASSERT_EQ(L"b", it->GetName());
    const std::wstring longer = L"z" + std::wstring(254, L'y');
    CreateRaw(longer);
    CRegistryKey::SubkeyIterator before = it++;
    EXPECT_EQ(L"b", before->GetName());
    EXPECT_EQ(L"c", it->GetName());
    ++it;
    EXPECT_EQ(longer, (*it).GetName());
    ++it;
    EXPECT_TRUE(it == CRegistryKey::SubkeyIterator());
}

TEST_F(RegistryKeyTest, CopiesShareTheHandleUntilTheLastGoes)
{
    std::unique_ptr<CRegistryKey> first(new CRegistryKey(Key()));
    const HKEY handle = first->GetHandle();
    CRegistryKey copy(*first);
    CRegistryKey assigned;
    assigned = copy;
    assigned = assigned;
    EXPECT_EQ(handle, copy.GetHandle());
    EXPECT_EQ(handle, assigned.GetHandle());
    first.reset();

    copy.SetValue(L"AfterFirstWentAway", 5ul);
    DWORD value = 0;
    EXPECT_TRUE(assigned.QueryValue(L"AfterFirstWentAway", value));
    EXPECT_EQ(5u, value);

    copy = CRegistryKey();
    EXPECT_EQ(ERROR_SUCCESS, ::RegQueryInfoKeyW(handle, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                                nullptr, nullptr, nullptr, nullptr));
    assigned = CRegistryKey();
    EXPECT_EQ(ERROR_INVALID_HANDLE, ::RegQueryInfoKeyW(handle, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                                       nullptr, nullptr, nullptr, nullptr, nullptr))
        << "closed with the last copy";
}

TEST_F(RegistryKeyTest, CopiesMadeAndDroppedOnManyThreads)
{
    std::unique_ptr<CRegistryKey> key(new CRegistryKey(Key()));
    const HKEY handle = key->GetHandle();
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
    {
        threads.emplace_back([&] {
            for (int i = 0; i < 20000; ++i)
            {
                CRegistryKey copy(*key);
                CRegistryKey second = copy;
            }
        });
    }
    for (std::thread &thread : threads)
    {
        thread.join();
    }
    EXPECT_EQ(ERROR_SUCCESS, ::RegQueryInfoKeyW(handle, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                                nullptr, nullptr, nullptr, nullptr));
    key.reset();
    EXPECT_EQ(ERROR_INVALID_HANDLE, ::RegQueryInfoKeyW(handle, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                                       nullptr, nullptr, nullptr, nullptr, nullptr));
}
