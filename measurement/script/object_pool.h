#pragma once

// Per-thread recycling of the memory of small runtime objects, and the
// count of live values and scopes (for leak checks).
//
// Values and scopes are made and freed at a high rate (a scope per call,
// a control value per return); their blocks are kept on a free list of
// the thread that frees them and handed out again by size. A thread keeps
// a bounded number of blocks and gives them all back when it ends.

#include <cstddef>
#include <cstdint>

namespace measurement {

namespace detail {

void* allocatePooledBlock(std::size_t size);
void freePooledBlock(void* block, std::size_t size);
// Adds to this thread's share of the live-object count.
void countLiveObjects(std::int64_t delta);

}  // namespace detail

// Live compound values and scopes in this process, for leak checks.
std::int64_t APMPLiveObjectCount();

// Gives a class (and its subclasses) pooled memory.
struct APMPPooledAllocation {
    static void* operator new(std::size_t size) { return detail::allocatePooledBlock(size); }
    static void operator delete(void* block, std::size_t size) { detail::freePooledBlock(block, size); }
};

}  // namespace measurement
