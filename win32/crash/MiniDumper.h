#pragma once

#include "win32/crash/ICreateMiniDumps.h"
#include "win32/security/ObjectSecurity.h"
#include "win32/system/LibraryLoader.h"

#include <windows.h>
#include <dbghelp.h>

#include <set>
#include <string>

namespace CorvaneTools {
namespace Win32 {

// Names and writes crash dumps with the platform's debug-help library, loaded at run time
// so that a machine without it still runs (every write then returns false).
//
// Kinds: 0 small (referenced memory, modules memory points into), 1 medium (data
// segments of the required modules, private read-write memory), 2 full memory.
// File name flags: 4 date and time, 1 process id, 2 thread id, 16 sequence; 255 all.
class CMiniDumper : public ICreateMiniDumps
{
public:
    enum : DWORD
    {
        FileNameDateTime = 4,
        FileNameProcessId = 1,
        FileNameThreadId = 2,
        FileNameSequence = 16,
        FileNameAll = 255
    };

    // The prefix is the program's own full path.
    CMiniDumper(DWORD kind, DWORD fileNameFlags);
    // The prefix is the directory followed by the program's file name.
    CMiniDumper(const std::wstring &directory, DWORD kind, DWORD fileNameFlags);

    std::wstring GetDumpFileNamePrefix() override;
    std::wstring GetDumpFileName() override;
    bool CreateMiniDump(const std::wstring &fileName, EXCEPTION_POINTERS *information) override;
    bool CreateMiniDump(EXCEPTION_POINTERS *information) override;

    virtual ~CMiniDumper();

    // Writes the dump of the given id (kind + 1); result false for an unknown id.
    virtual void CreateMiniDumpFromException(DWORD dumpId, const std::wstring &fileName,
                                             EXCEPTION_POINTERS *information, bool &result);

    // Module filter: mode 1 keeps the modules memory refers to, mode 2 keeps data
    // segments of the required modules only.
    virtual bool MiniDumpCallback(const MINIDUMP_CALLBACK_INPUT *input, MINIDUMP_CALLBACK_OUTPUT *output,
                                  DWORD mode);

    // Creates the dump's file, never over an existing one: a file or link planted at the
    // name is left alone and the write fails. The descriptor lets only SYSTEM and
    // Administrators read it, as the dump holds the process's memory.
    virtual HANDLE CreateDumpFile(const std::wstring &fileName, SECURITY_ATTRIBUTES *security);

    CMiniDumper(const CMiniDumper &) = delete;
    CMiniDumper &operator=(const CMiniDumper &) = delete;

    // Adds the upper-cased base name of the path; throws CException when it cannot split it.
    void AddRequiredModule(const std::wstring &modulePath);
    bool IsRequiredModule(const std::wstring &modulePath) const;

    // A dump of any kind under this dumper's library, whatever its own kind.
    bool WriteDump(DWORD kind, const std::wstring &fileName, EXCEPTION_POINTERS *information);

    bool HasWriter() const;
    DWORD GetDbgHelpLevel() const;

    static DWORD GetDumpType(DWORD kind);
    // What a library of the given level can write, and without private memory while a
    // debugger is attached.
    static DWORD ReduceDumpType(DWORD type, DWORD dbgHelpLevel, bool debuggerAttached);
    // From the first of the capability exports the module has; 0 for none.
    static DWORD GetDbgHelpLevel(const CLibraryLoader &library);
    // The upper-cased base name (no directory, no extension).
    static std::wstring GetUpperBaseName(const std::wstring &path);

private:
    bool WriteDumpFile(DWORD kind, const std::wstring &fileName, EXCEPTION_POINTERS *information);
    bool WriteDumpWithoutException(DWORD kind, const std::wstring &fileName);

    CSystemLibrary m_dbgHelp;
    bool m_hasWriter;
    DWORD m_dbgHelpLevel;
    std::wstring m_fileNamePrefix;
    DWORD m_kind;
    DWORD m_fileNameFlags;
    std::set<std::wstring> m_requiredModules;
    // Made with the dumper, not while the process is crashing.
    CObjectSecurity m_fileSecurity;
};

} // namespace Win32
} // namespace CorvaneTools
