#pragma once

#include "tests/collector/CounterDllAnswer.h"

#include <windows.h>

#include <string>

// The counter DLL driven as the platform's performance library drives it on Windows: loaded
// once, one Open, collects from several threads for as long as the consumer runs, one
// Close. Every answer is held to the rules the platform checks.
namespace CounterDll {

typedef DWORD(WINAPI *OpenFunction)(LPWSTR);
typedef DWORD(WINAPI *CollectFunction)(LPWSTR, LPVOID *, LPDWORD, LPDWORD);
typedef DWORD(WINAPI *CloseFunction)();

struct Exports
{
    OpenFunction open;
    CollectFunction collect;
    CloseFunction close;
};

// Opens, then collects "<index>" and "Global" from the threads until the event
// "<events>_stop" is set, having set "<events>_started" once the first collect of every
// thread is done; then closes. Prints per thread the distinct kinds of answer in the
// order seen (AnswerKind's; "other" only counted), the counts, the first rule broken (an
// answer of other than the objects asked for included), and whether
// SeCreateGlobalPrivilege, disabled before the open, was still disabled after.
void Watch(const Exports &dll, DWORD titleIndex, int threads, const std::wstring &events);

// Whether SeCreateGlobalPrivilege can be enabled in this process's token (it is left
// disabled either way).
bool TryGlobalPrivilege();

} // namespace CounterDll
