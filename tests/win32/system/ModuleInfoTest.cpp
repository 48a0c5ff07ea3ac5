#include "win32/system/ModuleInfo.h"

#include "tests/support/ChildProcess.h"
#include "tests/support/ScratchDirectory.h"

#include <gtest/gtest.h>

#include <vector>

using namespace CorvaneTools::Win32;
using TestSupport::CScratchDirectory;

namespace {

// Maps an image without running any of its code.
class CImage
{
public:
    explicit CImage(const std::wstring &path)
        : m_module(::LoadLibraryExW(path.c_str(), nullptr, DONT_RESOLVE_DLL_REFERENCES))
    {
    }

    ~CImage()
    {
        if (m_module)
        {
            ::FreeLibrary(m_module);
        }
    }

    CImage(const CImage &) = delete;
    CImage &operator=(const CImage &) = delete;

    HMODULE Module() const
    {
        return m_module;
    }

private:
    HMODULE m_module;
};

std::wstring FileProductVersion(const std::wstring &path)
{
    DWORD handle = 0;
    std::vector<BYTE> data(::GetFileVersionInfoSizeW(path.c_str(), &handle));
    if (data.empty() || !::GetFileVersionInfoW(path.c_str(), 0, static_cast<DWORD>(data.size()), data.data()))
    {
        return std::wstring();
    }
    void *value = nullptr;
    UINT length = 0;
    if (!::VerQueryValueW(data.data(), L"\\VarFileInfo\\Translation", &value, &length) || length < 4)
    {
        return std::wstring();
    }
    const WORD *translation = static_cast<const WORD *>(value);
    wchar_t query[64];
    swprintf(query, 64, L"\\StringFileInfo\\%04x%04x\\ProductVersion", translation[0], translation[1]);
    if (!::VerQueryValueW(data.data(), query, &value, &length))
    {
        return std::wstring();
    }
    return static_cast<const wchar_t *>(value);
}

} // namespace

TEST(ModuleInfoTest, FileNameAndPathOfTheProgram)
{
    EXPECT_EQ(TestSupport::ThisProgram(), GetModuleFileName());
    EXPECT_EQ(TestSupport::ThisProgram(), GetModuleFileName(::GetModuleHandleW(nullptr)));
    const std::wstring name = L"\\win32_tests.exe";
    EXPECT_EQ(name, GetModuleFileName().substr(GetModuleFileName().size() - name.size()));
    EXPECT_EQ(TestSupport::ThisFolder(), GetModulePath());
}

TEST(ModuleInfoTest, UnavailableWhenThePathCannotBeHadWhole)
{
    EXPECT_EQ(L"UNAVAILABLE", GetModuleFileName(reinterpret_cast<HMODULE>(0x1230000)));
    EXPECT_EQ(L"UNAVAILABLE", GetModulePath(reinterpret_cast<HMODULE>(0x1230000)));

    CScratchDirectory scratch(L"long");
    std::wstring deep = L"\\\\?\\" + scratch.Path();
    for (int i = 0; i < 6; ++i)
    {
        deep += L"\\" + std::wstring(40, static_cast<wchar_t>(L'a' + i));
        ASSERT_TRUE(::CreateDirectoryW(deep.c_str(), nullptr));
    }
    const std::wstring copy = deep + L"\\copy.exe";
    ASSERT_TRUE(::CopyFileW(TestSupport::ThisProgram().c_str(), copy.c_str(), FALSE));
    {
        const CImage image(copy);
        ASSERT_NE(nullptr, image.Module());
        // The platform hands back the first MAX_PATH characters, not the path.
        EXPECT_EQ(L"UNAVAILABLE", GetModuleFileName(image.Module()));
    }
    TestSupport::RemoveTree(L"\\\\?\\" + scratch.Path());
}

TEST(ModuleInfoTest, ProductVersion)
{
    EXPECT_EQ(L"4.8.0 en-GB", GetProductVersion()) << "the English (United Kingdom) block comes first";
    EXPECT_EQ(L"4.8.0 en-GB", GetProductVersion(::GetModuleHandleW(nullptr)));

    // A system module with a version resource in another language.
    const HMODULE kernel32 = ::GetModuleHandleW(L"kernel32");
    const std::wstring expected = FileProductVersion(GetModuleFileName(kernel32));
    ASSERT_FALSE(expected.empty());
    EXPECT_EQ(expected, GetProductVersion(kernel32));

    CScratchDirectory scratch(L"version");
    const std::wstring plain = scratch / L"plain.exe";
    ASSERT_TRUE(::CopyFileW(TestSupport::ThisProgram().c_str(), plain.c_str(), FALSE));
    const HANDLE update = ::BeginUpdateResourceW(plain.c_str(), TRUE);
    ASSERT_NE(nullptr, update);
    ASSERT_TRUE(::EndUpdateResourceW(update, FALSE));
    const CImage image(plain);
    ASSERT_NE(nullptr, image.Module());
    ASSERT_EQ(nullptr, ::FindResourceW(image.Module(), MAKEINTRESOURCEW(VS_VERSION_INFO), RT_VERSION));
    EXPECT_EQ(plain, GetModuleFileName(image.Module()));
    EXPECT_EQ(L"", GetProductVersion(image.Module()));
}
