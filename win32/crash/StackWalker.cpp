#include "win32/crash/StackWalker.h"

#include "win32/crash/DbgHelpLock.h"
#include "win32/system/LibraryLoader.h"

#include <windows.h>
#include <dbghelp.h>

#include <cstdio>
#include <unwind.h>

namespace CorvaneTools {
namespace Win32 {

namespace {

typedef BOOL(WINAPI *SymInitializeFunction)(HANDLE, PCSTR, BOOL);
typedef BOOL(WINAPI *SymCleanupFunction)(HANDLE);
typedef BOOL(WINAPI *SymFromAddrFunction)(HANDLE, DWORD64, PDWORD64, PSYMBOL_INFO);

const DWORD MaximumFrames = 62;

std::wstring ModuleName(HMODULE module)
{
    wchar_t path[MAX_PATH];
    const DWORD length = ::GetModuleFileNameW(module, path, MAX_PATH);
    const std::wstring full(path, length < MAX_PATH ? length : 0);
    const size_t slash = full.find_last_of(L"\\/");
    return slash == std::wstring::npos ? full : full.substr(slash + 1);
}

std::wstring Hex(ULONG_PTR value)
{
    wchar_t text[24];
    std::swprintf(text, 24, L"0x%llx", static_cast<unsigned long long>(value));
    return text;
}

// One session of symbol lookups; the library's symbol state is process-wide, hence the lock.
class CSymbols
{
public:
    CSymbols() : m_library(L"dbghelp.dll"), m_lock(GetDbgHelpLock()), m_initialised(false)
    {
        const auto initialise = FunctionCast<SymInitializeFunction>(m_library.GetProcAddress(L"SymInitialize"));
        m_fromAddress = FunctionCast<SymFromAddrFunction>(m_library.GetProcAddress(L"SymFromAddr"));
        m_initialised = initialise && m_fromAddress && initialise(::GetCurrentProcess(), nullptr, TRUE);
    }

    ~CSymbols()
    {
        const auto cleanup = FunctionCast<SymCleanupFunction>(m_library.GetProcAddress(L"SymCleanup"));
        if (m_initialised && cleanup)
        {
            cleanup(::GetCurrentProcess());
        }
    }

    CSymbols(const CSymbols &) = delete;
    CSymbols &operator=(const CSymbols &) = delete;

    // "name+0xoffset", or empty when unknown.
    std::wstring Describe(void *address)
    {
        if (!m_initialised)
        {
            return std::wstring();
        }
        union
        {
            SYMBOL_INFO info;
            char bytes[sizeof(SYMBOL_INFO) + 256];
        } symbol = {};
        symbol.info.SizeOfStruct = sizeof(SYMBOL_INFO);
        symbol.info.MaxNameLen = 256;
        DWORD64 displacement = 0;
        if (!m_fromAddress(::GetCurrentProcess(), reinterpret_cast<ULONG_PTR>(address), &displacement, &symbol.info))
        {
            return std::wstring();
        }
        const std::string name(symbol.info.Name, symbol.info.NameLen < 256 ? symbol.info.NameLen : 256);
        return std::wstring(name.begin(), name.end()) + L"+" + Hex(static_cast<ULONG_PTR>(displacement));
    }

private:
    CSystemLibrary m_library;
    ICriticalSection::Owner m_lock;
    SymFromAddrFunction m_fromAddress;
    bool m_initialised;
};

std::wstring DescribeFrame(CSymbols &symbols, void *address)
{
    HMODULE module = nullptr;
    if (!::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                              static_cast<LPCWSTR>(address), &module))
    {
        return Hex(reinterpret_cast<ULONG_PTR>(address));
    }
    const std::wstring symbol = symbols.Describe(address);
    if (!symbol.empty())
    {
        return ModuleName(module) + L"!" + symbol;
    }
    return ModuleName(module) + L"+" +
           Hex(reinterpret_cast<ULONG_PTR>(address) - reinterpret_cast<ULONG_PTR>(module));
}

struct CBacktrace
{
    void **frames;
    DWORD count;
    DWORD skip;
};

_Unwind_Reason_Code CollectFrame(_Unwind_Context *context, void *argument)
{
    CBacktrace *trace = static_cast<CBacktrace *>(argument);
    const _Unwind_Ptr address = _Unwind_GetIP(context);
    if (address == 0)
    {
        return _URC_END_OF_STACK;
    }
    if (trace->skip > 0)
    {
        --trace->skip;
        return _URC_NO_REASON;
    }
    trace->frames[trace->count++] = reinterpret_cast<void *>(address);
    return trace->count < MaximumFrames ? _URC_NO_REASON : _URC_END_OF_STACK;
}

} // namespace

__attribute__((noinline)) std::wstring CStackWalker::GetCallStack(DWORD framesToSkip)
{
    void *frames[MaximumFrames];
    // The compiler's own unwinder: the 32-bit code has no frame pointers for the
    // platform's walker to follow, but both architectures carry unwind tables.
    // One more for this function's own frame.
    CBacktrace trace = {frames, 0, framesToSkip + 1};
    _Unwind_Backtrace(&CollectFrame, &trace);
    DWORD count = trace.count;
    if (count == 0)
    {
        count = ::RtlCaptureStackBackTrace(framesToSkip + 1, MaximumFrames, frames, nullptr);
    }
    CSymbols symbols;
    std::wstring text;
    for (DWORD i = 0; i < count; ++i)
    {
        text += DescribeFrame(symbols, frames[i]) + L"\r\n";
    }
    return text;
}

} // namespace Win32
} // namespace CorvaneTools
