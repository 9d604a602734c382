// Per-thread free lists of value and scope memory, and the live-object count.

#include "measurement/script/object_pool.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <new>
#include <vector>

namespace measurement {

namespace {

// Blocks are pooled in classes of 16 bytes up to this size.
constexpr std::size_t kGranule = 16;
constexpr std::size_t kLargestPooled = 256;
constexpr std::size_t kClasses = kLargestPooled / kGranule;
// Blocks a thread keeps per class.
constexpr std::uint32_t kKeptPerClass = 512;

struct FreeBlock {
    FreeBlock* next;
};

// The thread's free lists and its share of the live count. Trivially
// destructible, so that it stays usable while the thread's other objects
// are destroyed; `Retirement` empties it when the thread ends.
struct ThreadPool {
    FreeBlock* heads[kClasses];
    std::uint32_t counts[kClasses];
    std::atomic<std::int64_t> live;
    bool registered;
    bool ended;
};

thread_local ThreadPool threadPool;

// The live counts of threads that have ended, and of those running.
struct LiveCounts {
    std::mutex mutex;
    std::int64_t ended = 0;
    std::vector<ThreadPool*> running;
};

LiveCounts& liveCounts() {
    static LiveCounts* counts = new LiveCounts();
    return *counts;
}

// Gives the blocks back and folds the live count into the ended threads'
// total when the thread ends.
struct Retirement {
    ~Retirement() {
        ThreadPool& pool = threadPool;
        for (std::size_t c = 0; c < kClasses; ++c) {
            while (FreeBlock* block = pool.heads[c]) {
                pool.heads[c] = block->next;
                ::operator delete(block);
            }
            pool.counts[c] = 0;
        }
        LiveCounts& counts = liveCounts();
        std::lock_guard<std::mutex> lock(counts.mutex);
        counts.ended += pool.live.exchange(0, std::memory_order_relaxed);
        counts.running.erase(std::remove(counts.running.begin(), counts.running.end(), &pool), counts.running.end());
        pool.ended = true;
    }
};

thread_local Retirement retirement;

ThreadPool& registeredPool() {
    ThreadPool& pool = threadPool;
    if (!pool.registered && !pool.ended) {
        pool.registered = true;
        (void)&retirement;  // makes the thread give everything back when it ends
        LiveCounts& counts = liveCounts();
        std::lock_guard<std::mutex> lock(counts.mutex);
        counts.running.push_back(&pool);
    }
    return pool;
}

std::size_t classOf(std::size_t size) { return (size + kGranule - 1) / kGranule - 1; }

}  // namespace

namespace detail {

// Under AddressSanitizer every block goes back to the allocator, so that
// a use after free is still caught.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kPooling = false;
#else
constexpr bool kPooling = true;
#endif

void* allocatePooledBlock(std::size_t size) {
    if (kPooling && size <= kLargestPooled) {
        ThreadPool& pool = threadPool;
        const std::size_t c = classOf(size);
        if (FreeBlock* block = pool.heads[c]) {
            pool.heads[c] = block->next;
            --pool.counts[c];
            return block;
        }
        return ::operator new((c + 1) * kGranule);
    }
    return ::operator new(size);
}

void freePooledBlock(void* block, std::size_t size) {
    if (kPooling && size <= kLargestPooled) {
        ThreadPool& pool = registeredPool();
        const std::size_t c = classOf(size);
        if (!pool.ended && pool.counts[c] < kKeptPerClass) {
            pool.heads[c] = new (block) FreeBlock{pool.heads[c]};
            ++pool.counts[c];
            return;
        }
    }
    ::operator delete(block);
}

void countLiveObjects(std::int64_t delta) {
    ThreadPool& pool = registeredPool();
    if (pool.ended) {
        LiveCounts& counts = liveCounts();
        std::lock_guard<std::mutex> lock(counts.mutex);
        counts.ended += delta;
        return;
    }
    // Only this thread writes its share; readers sum the shares.
    pool.live.store(pool.live.load(std::memory_order_relaxed) + delta, std::memory_order_relaxed);
}

}  // namespace detail

std::int64_t APMPLiveObjectCount() {
    LiveCounts& counts = liveCounts();
    std::lock_guard<std::mutex> lock(counts.mutex);
    std::int64_t total = counts.ended;
    for (const ThreadPool* pool : counts.running) total += pool->live.load(std::memory_order_relaxed);
    return total;
}

}  // namespace measurement
