#include "win32/text/HexDump.h"

namespace CorvaneTools {
namespace Win32 {

std::wstring HexDump(const void *data, size_t length, DWORD flags)
{
    const wchar_t *const digits = (flags & HexUpperCase) ? L"0123456789ABCDEF" : L"0123456789abcdef";
    const bool prefix = (flags & HexPrefix) != 0;
    std::wstring text;
    text.reserve(length * 2 + (prefix ? 2 : 0));
    if (prefix)
    {
        text += L"0x";
    }
    const BYTE *bytes = static_cast<const BYTE *>(data);
    for (size_t i = 0; i < length; ++i)
    {
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 0x0F];
    }
    return text;
}

} // namespace Win32
} // namespace CorvaneTools
