#pragma once

#include "win32/log/DebugTrace.h"

#include "tests/support/TestNames.h"

#include <windows.h>

#include <fstream>
#include <string>
#include <vector>

namespace TestSupport {

// A log file's lines without their line ends; with withoutThread, each also without the
// thread identifier in front (lines that have none, as the header, stay whole).
inline std::vector<std::string> ReadLogLines(const std::string &path, bool withoutThread)
{
    std::ifstream file(path, std::ios::binary);
    std::vector<std::string> lines;
    for (std::string line; std::getline(file, line);)
    {
        line.erase(line.find_last_not_of('\r') + 1);
        const size_t colon = line.find(": ");
        lines.push_back(withoutThread && colon != std::string::npos ? line.substr(colon + 2) : line);
    }
    return lines;
}

// The trace's lines, without their time prefix, while an instance lives (or, with a path,
// what a child process logged there).
class CCapturedLog
{
public:
    CCapturedLog() : m_path(TempPath()), m_owner(true)
    {
        CorvaneTools::Win32::CDebugTrace::Instance().SetLogName(m_path);
    }

    explicit CCapturedLog(const std::string &path) : m_path(path), m_owner(false)
    {
    }

    ~CCapturedLog()
    {
        if (m_owner)
        {
            CorvaneTools::Win32::CDebugTrace::Instance().SetLogName(std::string("CorvaneTools.log"));
        }
        ::DeleteFileA(m_path.c_str());
    }

    CCapturedLog(const CCapturedLog &) = delete;
    CCapturedLog &operator=(const CCapturedLog &) = delete;

    const std::string &Path() const
    {
        return m_path;
    }

    std::vector<std::string> Messages() const
    {
        if (m_owner)
        {
            // Closing lets the file be read; a later line opens it again.
            CorvaneTools::Win32::CDebugTrace::Instance().SetLogName(std::string());
        }
        std::vector<std::string> messages;
        for (const std::string &line : ReadLogLines(m_path, false))
        {
            const size_t colon = line.find(": ");
            if (line.compare(0, 8, "********") != 0 && colon != std::string::npos)
            {
                messages.push_back(line.substr(colon + 2));
            }
        }
        return messages;
    }

    static std::string TempPath()
    {
        char folder[MAX_PATH];
        ::GetTempPathA(MAX_PATH, folder);
        const std::wstring name = TestSupport::UniqueName(L"Captured.log");
        return folder + std::string(name.begin(), name.end());
    }

private:
    std::string m_path;
    bool m_owner;
};

} // namespace TestSupport
