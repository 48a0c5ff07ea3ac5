#pragma once

#include "perfmon/AllocateCounterStorage.h"

#include <windows.h>

#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace CorvaneTools {
namespace PerfMon {

// The objects and counters a program publishes. Built once, in code, then only read; the
// service and the counter DLL build it identically and compare it through GetChecksum.
class CPerformanceDataSchema
{
public:
    // language -> (name, help)
    typedef std::map<std::wstring, std::pair<std::wstring, std::wstring>> Names;

    // Every counter's value slot, whatever its type.
    static const DWORD CounterStorageSize = 8;

    class Counter
    {
    public:
        Counter(const std::wstring &language, const std::wstring &name, const std::wstring &help, DWORD detailLevel,
                LONG defaultScale, DWORD counterType);

        std::wstring GetName(const std::wstring &language) const;
        std::wstring GetHelp(const std::wstring &language) const;
        const std::wstring &GetName() const;
        const std::wstring &GetHelp() const;

        DWORD GetDetailLevel() const;
        LONG GetDefaultScale() const;
        DWORD GetCounterType() const;

        // Every counter has an 8-byte slot, whatever its type.
        DWORD GetStorageSize() const;

    private:
        const DWORD m_detailLevel;
        const LONG m_defaultScale;
        const DWORD m_counterType;
        const std::wstring m_language;
        Names m_names;
    };

    class Object
    {
    public:
        typedef std::vector<std::unique_ptr<Counter>> Counters;

        Object(const std::wstring &language, const std::wstring &name, const std::wstring &help, DWORD detailLevel);

        void AddCounter(const std::wstring &name, const std::wstring &help, DWORD detailLevel, LONG defaultScale,
                        DWORD counterType);

        // Makes the most recently added counter the default one.
        void SetDefaultCounter();

        // Gives the object instance slots (none of this system's objects has any).
        void SetInstances(DWORD numInstances, DWORD instanceNameBytes);

        void ValidateSchema() const;

        std::wstring GetName(const std::wstring &language) const;
        std::wstring GetHelp(const std::wstring &language) const;
        const std::wstring &GetName() const;
        const std::wstring &GetHelp() const;
        const Names &GetNames() const;

        void GetCounterNames(std::vector<std::wstring> &names) const;
        void GetCounterHelpTexts(std::vector<std::wstring> &helpTexts) const;
        // In the given language, each counter falling back to its own.
        void GetCounterNames(const std::wstring &language, std::vector<std::wstring> &names) const;
        void GetCounterHelpTexts(const std::wstring &language, std::vector<std::wstring> &helpTexts) const;

        DWORD GetNumCounters() const;
        const Counter &GetCounter(DWORD index) const;

        DWORD GetDetailLevel() const;
        DWORD GetNumInstances() const;
        DWORD GetObjectReserved() const;
        DWORD GetInstanceNameBytes() const;
        // 1-based; 0 when no default counter is set.
        unsigned __int64 GetDefaultCounter() const;

        DWORD GetDefinitionSize() const;
        DWORD GetCounterDataSize() const;
        DWORD GetTotalSize() const;

        // Writes the object definition record; returns its length.
        DWORD WriteTo(void *buffer, unsigned __int64 bufferSize, DWORD &nextTitleIndex,
                      IAllocateCounterStorage &allocator) const;

        // Appends this object's part of the checksum text.
        void AppendChecksumText(std::wstring &text) const;

    private:
        const std::wstring m_language;
        Names m_names;
        const DWORD m_detailLevel;
        DWORD m_numInstances;
        DWORD m_objectReserved;
        DWORD m_instanceNameBytes;
        Counters m_counters;
        std::set<std::wstring> m_counterNames;
        unsigned __int64 m_defaultCounter;
    };

    typedef std::vector<std::unique_ptr<Object>> Objects;

    // Iterates the objects in the order they were added.
    class ConstIterator
    {
    public:
        explicit ConstIterator(Objects::const_iterator it) : m_it(it)
        {
        }
        const Object &operator*() const
        {
            return **m_it;
        }
        const Object *operator->() const
        {
            return m_it->get();
        }
        ConstIterator &operator++()
        {
            ++m_it;
            return *this;
        }
        bool operator==(const ConstIterator &other) const
        {
            return m_it == other.m_it;
        }
        bool operator!=(const ConstIterator &other) const
        {
            return m_it != other.m_it;
        }

    private:
        Objects::const_iterator m_it;
    };

    explicit CPerformanceDataSchema(const std::wstring &language);

    CPerformanceDataSchema(const CPerformanceDataSchema &) = delete;
    CPerformanceDataSchema &operator=(const CPerformanceDataSchema &) = delete;

    Object &AddObject(const std::wstring &name, const std::wstring &help, DWORD detailLevel);

    void ValidateSchema() const;

    std::wstring GetLanguage() const;
    void GetLanguages(std::vector<std::wstring> &languages) const;
    size_t GetNumObjects() const;
    ConstIterator begin() const;
    ConstIterator end() const;

    DWORD GetDefinitionSize() const;
    DWORD GetCounterDataSize() const;
    DWORD GetTotalSize() const;

    // The text the checksum is taken of.
    std::wstring GetChecksumText() const;
    // 32 upper-case hexadecimal digits.
    std::wstring GetChecksum() const;

private:
    // The text in the language asked for, or in the schema's own where it has none.
    static const std::wstring &TextFor(const Names &names, const std::wstring &language,
                                       const std::wstring &ownLanguage, bool help);

    const std::wstring m_language;
    Objects m_objects;
    std::set<std::wstring> m_objectNames;
    std::set<std::wstring> m_languages;
};

} // namespace PerfMon
} // namespace CorvaneTools
