#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace CorvaneTools {
namespace Installer {

// One value of the service's Config key, as the registry holds it.
struct CRegistryValue
{
    std::wstring name;
    DWORD type = REG_NONE;
    std::vector<BYTE> data;

    bool operator==(const CRegistryValue &other) const
    {
        return name == other.name && type == other.type && data == other.data;
    }
};

// One thing a deferred action does. The package's first action writes the steps as text
// into each deferred action's data, the only thing such an action can read.
struct CPlanStep
{
    enum Verb
    {
        Stop,     // stop the service and wait for its process to end; nothing if it does not exist
        Start,    // start the service and wait until it runs
        Run,      // run a command line: 0 succeeds, 3010 succeeds and asks for a restart
        Try,      // the same, any other result only logged
        Value,    // write one value under the service's Config key
        CleanUp   // delete the program's logs and crash dumps from a folder, then the folder if empty
    };

    Verb verb = Run;
    std::wstring text;     // service name, command line or folder
    std::wstring program;  // CleanUp: the program's file name, which prefixes its crash dumps
    CRegistryValue value;  // Value
};

// Steps, one per line: the verb's name, then its fields, each after a tab. Registry value
// names and data are written in hexadecimal.
class CPlanSteps
{
public:
    CPlanSteps &Stop(const std::wstring &service);
    CPlanSteps &Start(const std::wstring &service);
    CPlanSteps &Run(const std::wstring &commandLine);
    CPlanSteps &Try(const std::wstring &commandLine);
    CPlanSteps &Value(const std::wstring &service, const CRegistryValue &value);
    CPlanSteps &CleanUp(const std::wstring &folder, const std::wstring &program);

    const std::wstring &Text() const
    {
        return m_text;
    }

    // Throws CException ("CPlanSteps::Parse") for a line that is not one of the above.
    static std::vector<CPlanStep> Parse(const std::wstring &text);

    // Text of the kind that cannot be a field: empty, or with a tab or a line break.
    static bool IsField(const std::wstring &text);

private:
    CPlanSteps &Add(const wchar_t *verb, const std::vector<std::wstring> &fields);

    std::wstring m_text;
};

} // namespace Installer
} // namespace CorvaneTools
