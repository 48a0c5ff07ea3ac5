#include "win32/crash/MiniDumper.h"

#include "win32/crash/DbgHelpLock.h"
#include "win32/errors/ErrorMessage.h"
#include "win32/errors/Exception.h"
#include "win32/errors/Win32Exception.h"
#include "win32/handles/SmartHandle.h"
#include "win32/handles/UniqueOwners.h"
#include "win32/system/SystemTime.h"

#include <cwctype>
#include <exception>
#include <vector>

namespace CorvaneTools {
namespace Win32 {

namespace {

typedef BOOL(WINAPI *MiniDumpWriteDumpFunction)(HANDLE, DWORD, HANDLE, MINIDUMP_TYPE,
                                                PMINIDUMP_EXCEPTION_INFORMATION,
                                                PMINIDUMP_USER_STREAM_INFORMATION,
                                                PMINIDUMP_CALLBACK_INFORMATION);

volatile LONG s_sequence = 0;

std::wstring ProgramPath()
{
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;)
    {
        const DWORD length = ::GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length < buffer.size())
        {
            return std::wstring(buffer.data(), length);
        }
        buffer.resize(buffer.size() * 2);
    }
}

std::wstring ProgramFileName()
{
    const std::wstring path = ProgramPath();
    const size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

// Splits as the runtime does, so that a base name longer than 255 characters fails
// here the same way for required modules and for the modules the filter is asked about.
bool SplitBaseName(const std::wstring &path, std::wstring &baseName, errno_t &error)
{
    wchar_t drive[_MAX_DRIVE];
    wchar_t directory[_MAX_DIR];
    wchar_t name[256];
    wchar_t extension[_MAX_EXT];
    error = ::_wsplitpath_s(path.c_str(), drive, _MAX_DRIVE, directory, _MAX_DIR, name, 256, extension, _MAX_EXT);
    if (error != 0)
    {
        return false;
    }
    baseName = name;
    for (wchar_t &c : baseName)
    {
        c = static_cast<wchar_t>(std::towupper(c));
    }
    return true;
}

struct CCallbackParameter
{
    CMiniDumper *dumper;
    DWORD mode;
};

BOOL WINAPI ModuleFilterCallback(PVOID parameter, const PMINIDUMP_CALLBACK_INPUT input,
                                 PMINIDUMP_CALLBACK_OUTPUT output)
{
    const CCallbackParameter *callback = static_cast<const CCallbackParameter *>(parameter);
    try
    {
        return callback->dumper->MiniDumpCallback(input, output, callback->mode) ? TRUE : FALSE;
    }
    catch (...)
    {
        return FALSE;
    }
}

// The dump without exception information is written from inside the handling of an
// exception raised for the purpose, so that it carries this thread's registers. The
// compiler has no __except, so a vectored handler stands in for the filter: it sees the
// raise first, writes the dump and continues execution right after RaiseException.
struct CRaisedDump
{
    CMiniDumper *dumper;
    DWORD dumpId;
    const std::wstring *fileName;
    bool result;
    bool handled;
    std::exception_ptr failure;
};

thread_local CRaisedDump *t_raisedDump = nullptr;

LONG CALLBACK RaisedDumpHandler(EXCEPTION_POINTERS *pointers)
{
    CRaisedDump *raised = t_raisedDump;
    const EXCEPTION_RECORD *record = pointers->ExceptionRecord;
    if (!raised || raised->handled || record->ExceptionCode != EXCEPTION_ACCESS_VIOLATION ||
        record->ExceptionFlags != 0 || record->NumberParameters != 0)
    {
        return EXCEPTION_CONTINUE_SEARCH;
    }
    raised->handled = true;
    try
    {
        raised->dumper->CreateMiniDumpFromException(raised->dumpId, *raised->fileName, pointers, raised->result);
    }
    catch (...)
    {
        // Thrown on after the raise has returned: nothing may unwind out of the handler.
        raised->failure = std::current_exception();
    }
    return EXCEPTION_CONTINUE_EXECUTION;
}

class CRaisedDumpScope
{
public:
    explicit CRaisedDumpScope(CRaisedDump &raised)
        : m_previous(t_raisedDump), m_handler(::AddVectoredExceptionHandler(1, &RaisedDumpHandler))
    {
        t_raisedDump = &raised;
    }

    ~CRaisedDumpScope()
    {
        t_raisedDump = m_previous;
    }

    CRaisedDumpScope(const CRaisedDumpScope &) = delete;
    CRaisedDumpScope &operator=(const CRaisedDumpScope &) = delete;

    bool IsActive() const
    {
        return m_handler.IsValid();
    }

private:
    CRaisedDump *m_previous;
    CUniqueVectoredHandler m_handler;
};

} // namespace

CMiniDumper::CMiniDumper(DWORD kind, DWORD fileNameFlags) : CMiniDumper(std::wstring(), kind, fileNameFlags)
{
    m_fileNamePrefix = ProgramPath();
}

CMiniDumper::CMiniDumper(const std::wstring &directory, DWORD kind, DWORD fileNameFlags)
    : m_dbgHelp(L"dbghelp.dll"), m_hasWriter(m_dbgHelp.GetProcAddress(L"MiniDumpWriteDump") != nullptr),
      m_dbgHelpLevel(GetDbgHelpLevel(m_dbgHelp)), m_fileNamePrefix(directory + L"\\" + ProgramFileName()),
      m_kind(kind), m_fileNameFlags(fileNameFlags), m_fileSecurity(ObjectProtection::PrivateFile)
{
    AddRequiredModule(ProgramPath());
}

CMiniDumper::~CMiniDumper() = default;

std::wstring CMiniDumper::GetDumpFileNamePrefix()
{
    return m_fileNamePrefix;
}

std::wstring CMiniDumper::GetDumpFileName()
{
    std::wstring name = m_fileNamePrefix;
    if (m_fileNameFlags & FileNameDateTime)
    {
        CSystemTime now;
        ::GetLocalTime(&now);
        name += L"-" + now.GetAsYYYYMMDD() + L"-" + now.GetAsHHMMSS();
    }
    if (m_fileNameFlags & FileNameProcessId)
    {
        name += L"-" + std::to_wstring(::GetCurrentProcessId());
    }
    if (m_fileNameFlags & FileNameThreadId)
    {
        name += L"-" + std::to_wstring(::GetCurrentThreadId());
    }
    if (m_fileNameFlags & FileNameSequence)
    {
        name += L"-" + std::to_wstring(::InterlockedIncrement(&s_sequence));
    }
    return name + L".dmp";
}

bool CMiniDumper::CreateMiniDump(const std::wstring &fileName, EXCEPTION_POINTERS *information)
{
    return WriteDump(m_kind, fileName, information);
}

bool CMiniDumper::CreateMiniDump(EXCEPTION_POINTERS *information)
{
    return CreateMiniDump(GetDumpFileName(), information);
}

bool CMiniDumper::WriteDump(DWORD kind, const std::wstring &fileName, EXCEPTION_POINTERS *information)
{
    if (!m_hasWriter)
    {
        return false;
    }
    if (!information)
    {
        return WriteDumpWithoutException(kind, fileName);
    }
    bool result = false;
    CreateMiniDumpFromException(kind + 1, fileName, information, result);
    return result;
}

bool CMiniDumper::WriteDumpWithoutException(DWORD kind, const std::wstring &fileName)
{
    CRaisedDump raised{this, kind + 1, &fileName, false, false, nullptr};
    {
        CRaisedDumpScope scope(raised);
        if (!scope.IsActive())
        {
            return false;
        }
        ::RaiseException(EXCEPTION_ACCESS_VIOLATION, 0, 0, nullptr);
    }
    if (raised.failure)
    {
        std::rethrow_exception(raised.failure);
    }
    return raised.result;
}

void CMiniDumper::CreateMiniDumpFromException(DWORD dumpId, const std::wstring &fileName,
                                              EXCEPTION_POINTERS *information, bool &result)
{
    result = dumpId >= 1 && dumpId <= 3 && WriteDumpFile(dumpId - 1, fileName, information);
}

bool CMiniDumper::WriteDumpFile(DWORD kind, const std::wstring &fileName, EXCEPTION_POINTERS *information)
{
    const auto writeDump =
        FunctionCast<MiniDumpWriteDumpFunction>(m_dbgHelp.GetProcAddress(L"MiniDumpWriteDump"));
    if (!writeDump)
    {
        return false;
    }
    CSmartHandle file(CreateDumpFile(fileName, m_fileSecurity));
    if (!file.IsValid())
    {
        return false;
    }
    MINIDUMP_EXCEPTION_INFORMATION exception = {::GetCurrentThreadId(), information, FALSE};
    const DWORD type = ReduceDumpType(GetDumpType(kind), m_dbgHelpLevel, ::IsDebuggerPresent() != FALSE);
    CCallbackParameter parameter = {this, kind == 0 ? 1u : 2u};
    MINIDUMP_CALLBACK_INFORMATION callback = {&ModuleFilterCallback, &parameter};
    BOOL written = FALSE;
    DWORD error = ERROR_SUCCESS;
    {
        ICriticalSection::Owner lock(GetDbgHelpLock());
        written = writeDump(::GetCurrentProcess(), ::GetCurrentProcessId(), file, static_cast<MINIDUMP_TYPE>(type),
                            information ? &exception : nullptr, nullptr, kind < 2 ? &callback : nullptr);
        error = ::GetLastError();
    }
    if (!written)
    {
        ::OutputDebugStringW(GetLastErrorMessage(error, false).c_str());
        file.Close();
        if (!::DeleteFileW(fileName.c_str()))
        {
            throw CWin32Exception(L"DeleteFile() - \"" + fileName + L"\"", ::GetLastError());
        }
    }
    return written != FALSE;
}

HANDLE CMiniDumper::CreateDumpFile(const std::wstring &fileName, SECURITY_ATTRIBUTES *security)
{
    return ::CreateFileW(fileName.c_str(), GENERIC_READ | GENERIC_WRITE, 0, security, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                         nullptr);
}

bool CMiniDumper::MiniDumpCallback(const MINIDUMP_CALLBACK_INPUT *input, MINIDUMP_CALLBACK_OUTPUT *output,
                                   DWORD mode)
{
    if (!input || !output)
    {
        return false;
    }
    switch (input->CallbackType)
    {
    case ThreadCallback:
    case ThreadExCallback:
    case IncludeThreadCallback:
    case IncludeModuleCallback:
        return true;
    case ModuleCallback:
        if (mode == 1 && (output->ModuleWriteFlags & ModuleReferencedByMemory) == 0)
        {
            output->ModuleWriteFlags &= ~ModuleWriteModule;
        }
        else if (mode == 2 && (output->ModuleWriteFlags & ModuleWriteDataSeg) != 0 &&
                 !IsRequiredModule(input->Module.FullPath ? input->Module.FullPath : L""))
        {
            output->ModuleWriteFlags &= ~ModuleWriteDataSeg;
        }
        return true;
    default:
        return false;
    }
}

void CMiniDumper::AddRequiredModule(const std::wstring &modulePath)
{
    std::wstring baseName;
    errno_t error = 0;
    if (!SplitBaseName(modulePath, baseName, error))
    {
        throw CException(L"CMiniDumper::AddRequiredModule()", L"Path split failed: " + std::to_wstring(error));
    }
    m_requiredModules.insert(baseName);
}

bool CMiniDumper::IsRequiredModule(const std::wstring &modulePath) const
{
    std::wstring baseName;
    errno_t error = 0;
    return SplitBaseName(modulePath, baseName, error) && m_requiredModules.count(baseName) != 0;
}

bool CMiniDumper::HasWriter() const
{
    return m_hasWriter;
}

DWORD CMiniDumper::GetDbgHelpLevel() const
{
    return m_dbgHelpLevel;
}

DWORD CMiniDumper::GetDumpType(DWORD kind)
{
    static const DWORD types[] = {0x20050, 0x21A25, 0x21826};
    return kind < 3 ? types[kind] : types[0];
}

DWORD CMiniDumper::ReduceDumpType(DWORD type, DWORD dbgHelpLevel, bool debuggerAttached)
{
    if (dbgHelpLevel < 52)
    {
        type &= ~DWORD(0x20 | 0x40 | 0x80 | 0x100 | 0x200);
    }
    if (dbgHelpLevel < 61)
    {
        type &= ~DWORD(0x400 | 0x800 | 0x2000 | 0x10000 | 0x40000);
    }
    if (dbgHelpLevel < 63)
    {
        type &= ~DWORD(0x20000 | 0x800 | 0x1000);
    }
    // Private memory of a debugged process includes the debugger's own pages.
    if ((type & 0x200) != 0 && debuggerAttached)
    {
        type &= ~DWORD(0x200);
    }
    return type;
}

DWORD CMiniDumper::GetDbgHelpLevel(const CLibraryLoader &library)
{
    static const struct
    {
        const wchar_t *exportName;
        DWORD level;
    } levels[] = {{L"EnumerateLoadedModulesEx", 68}, {L"SymFindDebugInfoFile", 66}, {L"SymRefreshModuleList", 65},
                  {L"SymEnumSourceLines", 64},       {L"SymEnumProcesses", 63},     {L"SymEnumSourceFiles", 62},
                  {L"SymEnumLines", 61},             {L"EnumDirTree", 52},          {L"MiniDumpReadDumpStream", 40}};
    for (const auto &entry : levels)
    {
        if (library.GetProcAddress(entry.exportName))
        {
            return entry.level;
        }
    }
    return 0;
}

std::wstring CMiniDumper::GetUpperBaseName(const std::wstring &path)
{
    std::wstring baseName;
    errno_t error = 0;
    return SplitBaseName(path, baseName, error) ? baseName : std::wstring();
}

} // namespace Win32
} // namespace CorvaneTools
