// Reference counting with deferred release of chains.
#include "measurement/script/ref.h"

#include <vector>

namespace measurement {

namespace {

// Objects whose count reached zero while another object was being
// destroyed; the outermost release frees them one after another.
struct ReleaseQueue {
    bool draining = false;
    std::vector<const RefCounted*> pending;
};

thread_local ReleaseQueue releaseQueue;

}  // namespace

void RefCounted::destroy() const {
    ReleaseQueue& queue = releaseQueue;
    if (queue.draining) {
        queue.pending.push_back(this);
        return;
    }
    queue.draining = true;
    delete this;
    while (!queue.pending.empty()) {
        const RefCounted* next = queue.pending.back();
        queue.pending.pop_back();
        delete next;
    }
    queue.draining = false;
}

RefCounted::~RefCounted() {
    if (weak_) weak_->targetDestroyed();
}

WeakBlock* RefCounted::weakBlock() const {
    if (!weak_) weak_ = new WeakBlock(this);
    return weak_;
}

}  // namespace measurement
