#pragma once

#include <windows.h>

namespace CorvaneTools {
namespace Win32 {

typedef void (*SEHTranslatorFunction)(unsigned int code, EXCEPTION_POINTERS *information);

// While an instance lives, hardware exceptions raised on the constructing thread are handed
// to the translator function, which is expected to throw (CSEHException::Translate does).
// The compiler does not offer this: a first-chance handler records the exception and resumes
// the faulting thread in a function that looks as if the faulting instruction had called it,
// so the throw unwinds through the faulting frame and runs its destructors. That needs every
// instruction to be unwindable (-fnon-call-exceptions -fasynchronous-unwind-tables).
// Scopes nest; the innermost one on a thread wins, and each restores the one before it.
class CSEHTranslator
{
public:
    explicit CSEHTranslator(SEHTranslatorFunction translator);
    ~CSEHTranslator();

    CSEHTranslator(const CSEHTranslator &) = delete;
    CSEHTranslator &operator=(const CSEHTranslator &) = delete;

    // The codes handed to a translator: the platform's error and warning exceptions, not
    // the informational ones (debugger output, thread names) nor application-defined ones
    // (other compilers' C++ exceptions among them).
    static bool IsTranslated(DWORD code);

    // The function the innermost scope of this thread translates with, or null.
    static SEHTranslatorFunction GetCurrent();

private:
    static LONG CALLBACK FirstChanceHandler(EXCEPTION_POINTERS *pointers);
    [[noreturn]] static void RaiseTranslated();

    SEHTranslatorFunction m_translator;
    CSEHTranslator *m_previous;
    bool m_translating;
    EXCEPTION_RECORD m_record;
    CONTEXT m_context;
    EXCEPTION_POINTERS m_pointers;
};

} // namespace Win32
} // namespace CorvaneTools
