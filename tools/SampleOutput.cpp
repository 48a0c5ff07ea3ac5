#include "tools/SampleOutput.h"

namespace CorvaneTools {
namespace Tools {

namespace {

std::string Narrow(const std::wstring &text)
{
    if (text.empty())
    {
        return std::string();
    }
    const int size = ::WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                           nullptr, nullptr);
    std::string narrow(size > 0 ? static_cast<size_t>(size) : 0, '\0');
    if (size > 0)
    {
        ::WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), &narrow[0], size, nullptr,
                              nullptr);
    }
    return narrow;
}

} // namespace

CSampleOutput::CSampleOutput()
    : m_handle(::GetStdHandle(STD_OUTPUT_HANDLE)), m_name("standard output")
{
}

CSampleOutput::CSampleOutput(const std::wstring &path, bool overwrite)
    : m_handle(INVALID_HANDLE_VALUE), m_name("\"" + Narrow(path) + "\"")
{
    // Others may read the file while it grows: an administrator follows it as rows arrive.
    m_file.Reset(::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                               overwrite ? CREATE_ALWAYS : CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    m_handle = m_file.Get();
    if (!m_file.IsValid())
    {
        const DWORD error = ::GetLastError();
        if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS)
        {
            throw COutputError("The output file " + m_name + " exists; give /y to overwrite it");
        }
        throw COutputError("The output file " + m_name + " cannot be created (error " + std::to_string(error) + ")");
    }
}

void CSampleOutput::Write(const std::wstring &text)
{
    const std::string bytes = Narrow(text);
    // Unbuffered on purpose: each row reaches the system in one call, and nothing waits in
    // this process for a flush that an ended process would never do.
    size_t done = 0;
    while (done < bytes.size())
    {
        DWORD written = 0;
        const DWORD chunk = static_cast<DWORD>(bytes.size() - done > 0x10000000 ? 0x10000000 : bytes.size() - done);
        if (m_handle == nullptr || m_handle == INVALID_HANDLE_VALUE ||
            !::WriteFile(m_handle, bytes.data() + done, chunk, &written, nullptr) || written == 0)
        {
            throw COutputError("Writing to " + m_name + " failed (error " + std::to_string(::GetLastError()) + ")");
        }
        done += written;
    }
}

} // namespace Tools
} // namespace CorvaneTools
