// Reference counting with deferred release of chains.
#include "measurement/script/ref.h"

#include <vector>

namespace measurement {

namespace {

// Objects whose count reached zero while another object was being
// destroyed; the outermost release frees them one after another. Trivially
// destructible, so that it is still there for releases that come after the
// thread's own objects are gone (the process's static objects are destroyed
// after the main thread's): `QueueRetirement` frees the list when the thread
// ends, and later releases queue on a list of their own.
struct ReleaseQueue {
    bool draining;
    bool ended;
    std::vector<const RefCounted*>* pending;
};

thread_local ReleaseQueue releaseQueue;

struct QueueRetirement {
    ~QueueRetirement() {
        delete releaseQueue.pending;
        releaseQueue.pending = nullptr;
        releaseQueue.ended = true;
    }
};

thread_local QueueRetirement queueRetirement;

}  // namespace

void RefCounted::destroy() const {
    ReleaseQueue& queue = releaseQueue;
    if (queue.draining) {
        queue.pending->push_back(this);
        return;
    }
    std::vector<const RefCounted*> afterThreadEnd;
    if (!queue.pending) {
        if (queue.ended) {
            queue.pending = &afterThreadEnd;
        } else {
            (void)&queueRetirement;  // frees the list when the thread ends
            queue.pending = new std::vector<const RefCounted*>();
        }
    }
    queue.draining = true;
    delete this;
    while (!queue.pending->empty()) {
        const RefCounted* next = queue.pending->back();
        queue.pending->pop_back();
        delete next;
    }
    queue.draining = false;
    if (queue.pending == &afterThreadEnd) queue.pending = nullptr;
}

RefCounted::~RefCounted() {
    if (weak_) weak_->targetDestroyed();
}

WeakBlock* RefCounted::weakBlock() const {
    if (!weak_) weak_ = new WeakBlock(this);
    return weak_;
}

}  // namespace measurement
