#include "win32/crash/SEHTranslator.h"

#include "win32/handles/UniqueOwners.h"

#include <cstring>

namespace CorvaneTools {
namespace Win32 {

namespace {

// The process-wide half: one thread-local slot for the innermost scope of each thread, and
// the first-chance handler. Removed when the module is unloaded, so that a DLL that leaves
// its host process leaves no handler behind that points into it.
class CRegistration
{
public:
    explicit CRegistration(PVECTORED_EXCEPTION_HANDLER handler)
        : m_slot(::TlsAlloc()), m_handler(m_slot.IsValid() ? ::AddVectoredExceptionHandler(1, handler) : nullptr)
    {
    }

    bool IsActive() const
    {
        return m_handler.IsValid();
    }

    CSEHTranslator *Current() const
    {
        return m_handler.IsValid() ? static_cast<CSEHTranslator *>(::TlsGetValue(m_slot.Get())) : nullptr;
    }

    void SetCurrent(CSEHTranslator *scope) const
    {
        if (m_handler.IsValid())
        {
            ::TlsSetValue(m_slot.Get(), scope);
        }
    }

private:
    // Declared in this order so that the handler is removed before the slot it reads goes.
    CUniqueTlsIndex m_slot;
    CUniqueVectoredHandler m_handler;
};

} // namespace

// Defined here rather than as a function-local static: it must exist before any thread can
// fault, and the handler must not run an initialisation guard.
static CRegistration *s_registration = nullptr;

namespace {

struct CRegistrationOwner
{
    CRegistration registration;
    explicit CRegistrationOwner(PVECTORED_EXCEPTION_HANDLER handler) : registration(handler)
    {
        s_registration = &registration;
    }
    ~CRegistrationOwner()
    {
        s_registration = nullptr;
    }
};

} // namespace

CSEHTranslator::CSEHTranslator(SEHTranslatorFunction translator)
    : m_translator(translator), m_previous(nullptr), m_translating(false), m_record(), m_context(), m_pointers()
{
    static CRegistrationOwner owner(&CSEHTranslator::FirstChanceHandler);
    m_previous = owner.registration.Current();
    owner.registration.SetCurrent(this);
}

CSEHTranslator::~CSEHTranslator()
{
    if (s_registration)
    {
        s_registration->SetCurrent(m_previous);
    }
}

bool CSEHTranslator::IsTranslated(DWORD code)
{
    // Severity "error" without the customer bit: 0xC0000000 to 0xDFFFFFFF.
    if ((code & 0xE0000000) == 0xC0000000)
    {
        return true;
    }
    switch (code)
    {
    case EXCEPTION_GUARD_PAGE:
    case EXCEPTION_DATATYPE_MISALIGNMENT:
    case EXCEPTION_BREAKPOINT:
    case EXCEPTION_SINGLE_STEP:
        return true;
    default:
        return false;
    }
}

SEHTranslatorFunction CSEHTranslator::GetCurrent()
{
    CSEHTranslator *scope = s_registration ? s_registration->Current() : nullptr;
    return scope ? scope->m_translator : nullptr;
}

LONG CALLBACK CSEHTranslator::FirstChanceHandler(EXCEPTION_POINTERS *pointers)
{
    CSEHTranslator *scope = s_registration ? s_registration->Current() : nullptr;
    if (!scope || !scope->m_translator || scope->m_translating)
    {
        return EXCEPTION_CONTINUE_SEARCH;
    }
    const EXCEPTION_RECORD *record = pointers->ExceptionRecord;
    if (!IsTranslated(record->ExceptionCode) || (record->ExceptionFlags & EXCEPTION_NONCONTINUABLE) != 0)
    {
        return EXCEPTION_CONTINUE_SEARCH;
    }

    // The record and context live on the stack that the translated throw will reuse.
    std::memcpy(&scope->m_record, record, sizeof(scope->m_record));
    scope->m_record.ExceptionRecord = nullptr;
    std::memcpy(&scope->m_context, pointers->ContextRecord, sizeof(scope->m_context));
    scope->m_pointers.ExceptionRecord = &scope->m_record;
    scope->m_pointers.ContextRecord = &scope->m_context;
    scope->m_translating = true;

    // Resume in RaiseTranslated as though the faulting instruction had called it. The return
    // address is one past the fault, so that the unwinder, which looks up the instruction
    // before a return address, finds the faulting instruction and its frame's cleanups.
    CONTEXT *context = pointers->ContextRecord;
#if defined(_WIN64)
    const DWORD64 faultAddress = reinterpret_cast<DWORD64>(record->ExceptionAddress);
    context->Rsp -= sizeof(DWORD64);
    *reinterpret_cast<DWORD64 *>(context->Rsp) = faultAddress + 1;
    context->Rip = reinterpret_cast<DWORD64>(&CSEHTranslator::RaiseTranslated);
#else
    const DWORD faultAddress = reinterpret_cast<DWORD>(record->ExceptionAddress);
    context->Esp -= sizeof(DWORD);
    *reinterpret_cast<DWORD *>(context->Esp) = faultAddress + 1;
    context->Eip = reinterpret_cast<DWORD>(&CSEHTranslator::RaiseTranslated);
#endif
    return EXCEPTION_CONTINUE_EXECUTION;
}

__attribute__((noinline)) void CSEHTranslator::RaiseTranslated()
{
    CSEHTranslator *scope = s_registration->Current();
    struct CClearFlag
    {
        CSEHTranslator *scope;
        ~CClearFlag()
        {
            scope->m_translating = false;
        }
    } clear{scope};
    scope->m_translator(scope->m_record.ExceptionCode, &scope->m_pointers);
    // A translator that returns leaves nothing to resume: the faulting instruction would
    // only fault again.
    ::RaiseException(scope->m_record.ExceptionCode, EXCEPTION_NONCONTINUABLE, 0, nullptr);
    for (;;)
    {
    }
}

} // namespace Win32
} // namespace CorvaneTools
