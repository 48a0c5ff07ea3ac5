#pragma once

#include "perfmon/PerformanceDataSchema.h"

#include <windows.h>

#include <memory>
#include <string>

namespace CorvaneTools {
namespace PerfMon {

// Where a schema's records and counter data lie in a data block, computed from the schema
// alone, and the rules a block must meet to hold exactly that layout. Every process may
// write the block, so its readers and its writer take every address and size from here and
// none from the block's own fields, which they only check.
class CPerformanceDataBlockLayout
{
public:
    struct Object
    {
        const CPerformanceDataSchema::Object *object;
        DWORD recordOffset; // from the start of the block
        DWORD recordLength;
        DWORD definitionLength;
        bool hasInstances;
        DWORD numInstances; // slots; 0 without instances
        DWORD instanceNameBytes;
        DWORD slotLength;
        DWORD dataSize;   // per instance
        DWORD dataOffset; // in the counter data area
    };

    // Failures are reported as "Performance data block is corrupt: <what>" at where.
    CPerformanceDataBlockLayout(const CPerformanceDataSchema &schema, DWORD blockSize, const wchar_t *where);

    CPerformanceDataBlockLayout(const CPerformanceDataBlockLayout &) = delete;
    CPerformanceDataBlockLayout &operator=(const CPerformanceDataBlockLayout &) = delete;

    // False when the schema's layout does not fill a block of that size exactly.
    bool Fits() const;
    // Why it does not; empty when it fits.
    const std::wstring &GetLayoutError() const;
    DWORD GetNumObjects() const;
    const Object &GetObject(DWORD index) const;
    DWORD GetLastObjectOffset() const;
    DWORD GetCounterDataOffset() const;

    // Each throws when what it checks disagrees with the layout.
    void Validate(const BYTE *block) const;
    // The fields a reader of an object walks by, in the block or in a copy of the record.
    void ValidateRecord(const BYTE *record, DWORD object) const;
    // The active instance count, read once.
    DWORD ActiveInstances(const BYTE *record, DWORD object) const;
    // An instance definition's length and name must stay inside its slot, the name whole
    // UTF-16 characters, at least its terminator.
    void CheckInstanceDefinition(DWORD object, DWORD slot, DWORD byteLength, DWORD nameOffset, DWORD nameLength) const;
    void Expect(DWORD found, DWORD expected, DWORD object, const wchar_t *field, LONG counter = -1) const
    {
        if (found != expected)
        {
            Mismatch(object, counter, field, found, expected);
        }
    }
    [[noreturn]] void Corrupt(const std::wstring &what) const;

    static std::wstring ObjectName(DWORD object);

private:
    [[noreturn]] __attribute__((noinline)) void Mismatch(DWORD object, LONG counter, const wchar_t *field, DWORD found,
                                                         DWORD expected) const;

    const wchar_t *const m_where;
    const DWORD m_blockSize;
    DWORD m_numObjects;
    std::unique_ptr<Object[]> m_objects;
    // Empty when the schema's layout fills the block; otherwise why it does not.
    std::wstring m_layoutError;
    DWORD m_lastObjectOffset;
    DWORD m_counterDataOffset;
};

// For values that size a walk or a copy: read exactly once, so that the value checked is
// the value used even while another process rewrites the block.
inline DWORD Snapshot32(const BYTE *at)
{
    const volatile BYTE *p = at;
    return static_cast<DWORD>(p[0]) | static_cast<DWORD>(p[1]) << 8 | static_cast<DWORD>(p[2]) << 16 |
           static_cast<DWORD>(p[3]) << 24;
}

} // namespace PerfMon
} // namespace CorvaneTools
