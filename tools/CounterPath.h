#pragma once

#include <string>

namespace CorvaneTools {
namespace Tools {

// A counter path as the platform's command-line sampler takes it:
// [\\computer]\object[(instance)]\counter, "*" as the instance for every instance.
struct CCounterPath
{
    // As given, for messages.
    std::wstring text;
    // Empty when the path names none.
    std::wstring computer;
    std::wstring object;
    bool hasInstance = false;
    std::wstring instance;
    std::wstring counter;

    bool IsWildcard() const
    {
        return hasInstance && instance == L"*";
    }

    // False when the text is not of that form: every name non-empty, the instance in
    // parentheses that end the object part.
    static bool Parse(const std::wstring &text, CCounterPath &path);
};

// Equal as names are on the platform: ordinally, whatever the case.
bool SameName(const std::wstring &a, const std::wstring &b);

} // namespace Tools
} // namespace CorvaneTools
