// Every operator new of the program counted, so that a benchmark can tell how many times a
// steady-state poll allocates.
#include "benchmarks/AllocationCount.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {

std::atomic<long> s_allocations{0};

void *Allocate(size_t size) noexcept
{
    ++s_allocations;
    return std::malloc(size ? size : 1);
}

} // namespace

void *operator new(size_t size)
{
    void *memory = Allocate(size);
    if (!memory)
    {
        throw std::bad_alloc();
    }
    return memory;
}

void *operator new[](size_t size)
{
    return operator new(size);
}

void *operator new(size_t size, const std::nothrow_t &) noexcept
{
    return Allocate(size);
}

void *operator new[](size_t size, const std::nothrow_t &) noexcept
{
    return Allocate(size);
}

// The replacements pair malloc with free; GCC sees only the library's new and delete.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

void operator delete(void *memory) noexcept
{
    std::free(memory);
}

void operator delete[](void *memory) noexcept
{
    std::free(memory);
}

void operator delete(void *memory, size_t) noexcept
{
    std::free(memory);
}

void operator delete[](void *memory, size_t) noexcept
{
    std::free(memory);
}

void operator delete(void *memory, const std::nothrow_t &) noexcept
{
    std::free(memory);
}

void operator delete[](void *memory, const std::nothrow_t &) noexcept
{
    std::free(memory);
}

long AllocationCount()
{
    return s_allocations;
}
