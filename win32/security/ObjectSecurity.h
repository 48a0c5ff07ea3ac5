#pragma once

#include "win32/handles/UniqueOwners.h"

#include <windows.h>
#include <accctrl.h>

#include <string>

namespace CorvaneTools {
namespace Win32 {

// What the program makes that others may use, and how far they may use it. SYSTEM and
// Administrators may do everything with each; everyone else only what is listed.
enum class ObjectProtection
{
    // The counter values: others map them for reading.
    PublishedSection,
    // The event and mappings of a lock others take: they may wait, signal and map the
    // state, never change the descriptor, the owner or delete.
    SharedLock,
    // Events others may set (the debug-mode shutdown and pause).
    SignalEvent,
    // A folder whose files others may read (the log).
    ReadableFolder,
    // A folder nobody else may use (staging of the counter text files).
    PrivateFolder,
    // A file nobody else may read (a crash dump holds the process's whole memory).
    PrivateFile,
};

// A descriptor for one protection, with security attributes (not inheritable) around it.
class CObjectSecurity
{
public:
    explicit CObjectSecurity(ObjectProtection protection);
    CObjectSecurity(const CObjectSecurity &) = delete;
    CObjectSecurity &operator=(const CObjectSecurity &) = delete;

    SECURITY_ATTRIBUTES *Attributes();
    operator SECURITY_ATTRIBUTES *();
    PSECURITY_DESCRIPTOR Descriptor() const;

    // The rights the protection leaves to everyone else.
    static ACCESS_MASK OthersMay(ObjectProtection protection);
    // The descriptor, in the platform's descriptor language.
    static const wchar_t *Definition(ObjectProtection protection);

private:
    CUniqueSecurityDescriptor m_descriptor;
    SECURITY_ATTRIBUTES m_attributes;
};

// Why the object behind handle can be changed by an account other than SYSTEM,
// Administrators, the installer service or this process's own, when everyone else is to
// have no more than the protection leaves them; empty when it cannot. Generic write and
// all count as writing; generic read and execute do not. The handle needs READ_CONTROL;
// objectType is SE_KERNEL_OBJECT or SE_FILE_OBJECT.
std::wstring FindUntrustedWriters(HANDLE handle, SE_OBJECT_TYPE objectType, ObjectProtection protection);

// Throws CUntrustedObjectException at where, naming the object, when FindUntrustedWriters
// finds a reason.
void RequireTrustedObject(HANDLE handle, SE_OBJECT_TYPE objectType, ObjectProtection protection,
                          const std::wstring &where, const std::wstring &name);

// Throws CUntrustedObjectException at where when a kernel object of that name exists and is
// not one to trust: of another type than an event (isSection false) or a section, not to
// be opened by this process, or failing RequireTrustedObject. A missing name is fine.
void RequireNoForeignObject(const std::wstring &name, bool isSection, ObjectProtection protection,
                            const std::wstring &where);

} // namespace Win32
} // namespace CorvaneTools
