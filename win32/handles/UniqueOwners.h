#pragma once

#include "win32/handles/UniqueAny.h"

#include <windows.h>

namespace CorvaneTools {
namespace Win32 {

// The kinds of resource the code owns, each named by its release and its "none".

// A kernel object handle whose "none" is null (events, threads, processes, tokens, mappings).
using CUniqueHandle = TUniqueAny<HANDLE, &::CloseHandle>;
// A handle from CreateFile, whose failure is INVALID_HANDLE_VALUE ("CreateFileW function").
using CUniqueFile = TUniqueAny<HANDLE, &::CloseHandle, -1>;
// A FindFirstFile search, closed with FindClose, not CloseHandle ("FindFirstFileW function").
using CUniqueFindHandle = TUniqueAny<HANDLE, &::FindClose, -1>;

// A mapped view, typed as what it holds.
template <typename T>
using TUniqueMapView = TUniqueAny<T *, &::UnmapViewOfFile>;
using CUniqueMapView = TUniqueMapView<void>;

using CUniqueRegistryKey = TUniqueAny<HKEY, &::RegCloseKey>;
using CUniqueModule = TUniqueAny<HMODULE, &::FreeLibrary>;
using CUniqueServiceHandle = TUniqueAny<SC_HANDLE, &::CloseServiceHandle>;
using CUniqueSid = TUniqueAny<PSID, &::FreeSid>;
using CUniqueVectoredHandler = TUniqueAny<PVOID, &::RemoveVectoredExceptionHandler>;
// TlsAlloc's failure is TLS_OUT_OF_INDEXES, all bits set ("TlsAlloc function").
using CUniqueTlsIndex = TUniqueAny<DWORD, &::TlsFree, -1>;

// Memory the platform allocated for the caller with LocalAlloc: strings and descriptors
// from the SDDL conversions, argument arrays from CommandLineToArgvW.
template <typename T>
using TUniqueLocalMemory = TUniqueAny<T, &::LocalFree>;
using CUniqueSecurityDescriptor = TUniqueLocalMemory<PSECURITY_DESCRIPTOR>;

inline BOOL FreeProcessHeapBlock(void *block) noexcept
{
    return ::HeapFree(::GetProcessHeap(), 0, block);
}

// A block of the process heap, as some platform functions return.
template <typename T>
using TUniqueProcessHeapBlock = TUniqueAny<T *, &FreeProcessHeapBlock>;

} // namespace Win32
} // namespace CorvaneTools
