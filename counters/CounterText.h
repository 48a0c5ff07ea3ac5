#pragma once

namespace CorvaneTools {
namespace Counters {

// A counter's name and help text, as the counter set's objects list them.
struct CounterText
{
    const wchar_t *name;
    const wchar_t *help;
};

} // namespace Counters
} // namespace CorvaneTools
