#include "framework/DebugServiceDispatchThread.h"

namespace CorvaneTools {
namespace Service {

CDebugServiceDispatchThread::CDebugServiceDispatchThread(const std::wstring &serviceName,
                                                         LPSERVICE_MAIN_FUNCTIONW serviceEntry,
                                                         Win32::CActivityCounter &activityCounter)
    : m_thread(*this), m_serviceName(serviceName), m_serviceEntry(serviceEntry), m_activityCounter(activityCounter)
{
    m_activityCounter.Increment();
    try
    {
        m_thread.Start();
    }
    catch (...)
    {
        // A count that no thread will release would keep the dispatcher waiting for ever.
        m_activityCounter.Decrement();
        throw;
    }
    try
    {
        m_thread.SetThreadName(L"DebugServiceDispatchThread");
    }
    catch (...)
    {
        // The entry may already have returned; the name is for debuggers only.
    }
}

CDebugServiceDispatchThread::~CDebugServiceDispatchThread()
{
    try
    {
        m_thread.Wait();
    }
    catch (...)
    {
    }
}

unsigned int CDebugServiceDispatchThread::Run()
{
    wchar_t *argv[] = {&m_serviceName[0]};
    try
    {
        m_serviceEntry(1, argv);
    }
    catch (...)
    {
        m_activityCounter.Decrement();
        throw;
    }
    m_activityCounter.Decrement();
    return 0;
}

} // namespace Service
} // namespace CorvaneTools
