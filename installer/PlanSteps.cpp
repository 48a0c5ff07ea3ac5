#include "installer/PlanSteps.h"

#include "win32/errors/Exception.h"

#include <cwchar>

namespace CorvaneTools {
namespace Installer {

namespace {

const wchar_t *const Where = L"CPlanSteps::Parse";

struct CVerbName
{
    CPlanStep::Verb verb;
    const wchar_t *name;
    size_t fields;
};

const CVerbName VerbNames[] = {
    {CPlanStep::Stop, L"stop", 1},   {CPlanStep::Start, L"start", 1},     {CPlanStep::Run, L"run", 1},
    {CPlanStep::Try, L"try", 1},     {CPlanStep::Value, L"value", 4},     {CPlanStep::CleanUp, L"clean", 2},
};

// A registry value's data is bounded as the registry bounds what it keeps in one value.
const size_t MaximumValueBytes = 1024 * 1024;

std::wstring Hex(const BYTE *bytes, size_t count)
{
    static const wchar_t digits[] = L"0123456789abcdef";
    std::wstring text;
    text.reserve(count * 2);
    for (size_t index = 0; index < count; ++index)
    {
        text += digits[bytes[index] >> 4];
        text += digits[bytes[index] & 0x0f];
    }
    return text;
}

int Digit(wchar_t c)
{
    if (c >= L'0' && c <= L'9')
    {
        return c - L'0';
    }
    if (c >= L'a' && c <= L'f')
    {
        return c - L'a' + 10;
    }
    return -1;
}

std::vector<BYTE> Bytes(const std::wstring &hex)
{
    if (hex.size() % 2 != 0 || hex.size() / 2 > MaximumValueBytes)
    {
        throw Win32::CException(Where, L"hexadecimal field of odd or excessive length");
    }
    std::vector<BYTE> bytes(hex.size() / 2);
    for (size_t index = 0; index < bytes.size(); ++index)
    {
        const int high = Digit(hex[2 * index]);
        const int low = Digit(hex[2 * index + 1]);
        if (high < 0 || low < 0)
        {
            throw Win32::CException(Where, L"not a hexadecimal field: " + hex);
        }
        bytes[index] = static_cast<BYTE>(high << 4 | low);
    }
    return bytes;
}

std::vector<std::wstring> Split(const std::wstring &text, wchar_t separator)
{
    std::vector<std::wstring> parts;
    size_t start = 0;
    for (;;)
    {
        const size_t end = text.find(separator, start);
        parts.push_back(text.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start));
        if (end == std::wstring::npos)
        {
            return parts;
        }
        start = end + 1;
    }
}

CPlanStep ParseLine(const std::wstring &line)
{
    const std::vector<std::wstring> fields = Split(line, L'\t');
    for (const CVerbName &entry : VerbNames)
    {
        if (fields[0] != entry.name)
        {
            continue;
        }
        if (fields.size() != entry.fields + 1)
        {
            throw Win32::CException(Where, L"wrong number of fields: " + line);
        }
        CPlanStep step;
        step.verb = entry.verb;
        step.text = fields[1];
        if (entry.verb == CPlanStep::CleanUp)
        {
            step.program = fields[2];
        }
        if (entry.verb == CPlanStep::Value)
        {
            const std::vector<BYTE> name = Bytes(fields[2]);
            step.value.name.assign(reinterpret_cast<const wchar_t *>(name.data()), name.size() / sizeof(wchar_t));
            wchar_t *end = nullptr;
            step.value.type = static_cast<DWORD>(std::wcstoul(fields[3].c_str(), &end, 10));
            if (fields[3].empty() || *end != L'\0')
            {
                throw Win32::CException(Where, L"not a value type: " + fields[3]);
            }
            step.value.data = Bytes(fields[4]);
        }
        return step;
    }
    throw Win32::CException(Where, L"unknown step: " + line);
}

} // namespace

bool CPlanSteps::IsField(const std::wstring &text)
{
    return !text.empty() && text.find_first_of(L"\t\r\n") == std::wstring::npos;
}

CPlanSteps &CPlanSteps::Add(const wchar_t *verb, const std::vector<std::wstring> &fields)
{
    m_text += verb;
    for (const std::wstring &field : fields)
    {
        m_text += L"\t" + field;
    }
    m_text += L"\n";
    return *this;
}

CPlanSteps &CPlanSteps::Stop(const std::wstring &service)
{
    return Add(L"stop", {service});
}

CPlanSteps &CPlanSteps::Start(const std::wstring &service)
{
    return Add(L"start", {service});
}

CPlanSteps &CPlanSteps::Run(const std::wstring &commandLine)
{
    return Add(L"run", {commandLine});
}

CPlanSteps &CPlanSteps::Try(const std::wstring &commandLine)
{
    return Add(L"try", {commandLine});
}

CPlanSteps &CPlanSteps::Value(const std::wstring &service, const CRegistryValue &value)
{
    const BYTE *name = reinterpret_cast<const BYTE *>(value.name.data());
    return Add(L"value", {service, Hex(name, value.name.size() * sizeof(wchar_t)), std::to_wstring(value.type),
                          Hex(value.data.data(), value.data.size())});
}

CPlanSteps &CPlanSteps::CleanUp(const std::wstring &folder, const std::wstring &program)
{
    return Add(L"clean", {folder, program});
}

std::vector<CPlanStep> CPlanSteps::Parse(const std::wstring &text)
{
    std::vector<CPlanStep> steps;
    for (const std::wstring &line : Split(text, L'\n'))
    {
        if (!line.empty())
        {
            steps.push_back(ParseLine(line));
        }
    }
    return steps;
}

} // namespace Installer
} // namespace CorvaneTools
