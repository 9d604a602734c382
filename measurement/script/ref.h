#pragma once

// Intrusive reference counting for the script runtime.

#include <cstddef>
#include <cstdint>
#include <utility>

namespace measurement {

// Intrusive, single-threaded reference counting for the script runtime.
//
// A runtime and its values are used by one thread at a time, so counts are
// plain integers. The few process-wide shared instances (undefined, null,
// true, false, the hole, break, continue) are immortal: their counts are
// never touched, which keeps them safe to share between runtimes on
// different threads.
//
// Releasing the last reference of a deeply nested structure would recurse
// once per level; releases that happen while an object is being destroyed
// are queued and drained by the outermost release instead, so freeing a
// list nested a million levels deep uses constant native stack.
class RefCounted {
public:
    RefCounted() = default;
    RefCounted(const RefCounted&) = delete;
    RefCounted& operator=(const RefCounted&) = delete;

    void retain() const {
        if (!immortal_) ++refs_;
    }
    void release() const {
        if (immortal_ || --refs_ != 0) return;
        destroy();
    }
    std::uint32_t referenceCount() const { return refs_; }
    bool isImmortal() const { return immortal_; }

protected:
    virtual ~RefCounted();
    void makeImmortal() { immortal_ = true; }

private:
    friend class WeakBlock;
    friend class APMPValueRef;
    template <class T> friend class WeakRef;
    class WeakBlock* weakBlock() const;
    // Frees the object once its last reference is gone.
    void destroy() const;

    mutable std::uint32_t refs_ = 0;
    bool immortal_ = false;
    mutable class WeakBlock* weak_ = nullptr;
};

// The shared part behind weak references: it outlives its target and reads
// as empty once the target is gone.
class WeakBlock {
public:
    explicit WeakBlock(const RefCounted* target) : target_(target) {}
    const RefCounted* target() const { return target_; }
    void retain() { ++weakRefs_; }
    void release() {
        if (--weakRefs_ == 0 && target_ == nullptr) delete this;
    }
    void targetDestroyed() {
        target_ = nullptr;
        if (weakRefs_ == 0) delete this;
    }

private:
    const RefCounted* target_;
    std::uint32_t weakRefs_ = 0;
};

template <class T>
class Ref {
public:
    Ref() = default;
    Ref(std::nullptr_t) {}
    Ref(T* p) : p_(p) {
        if (p_) p_->retain();
    }
    Ref(const Ref& o) : Ref(o.p_) {}
    Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    template <class U>
    Ref(const Ref<U>& o) : Ref(o.get()) {}
    template <class U>
    Ref(Ref<U>&& o) noexcept : p_(o.leak()) {}
    ~Ref() {
        if (p_) p_->release();
    }
    Ref& operator=(Ref o) noexcept {
        std::swap(p_, o.p_);
        return *this;
    }

    T* get() const { return p_; }
    T* operator->() const { return p_; }
    T& operator*() const { return *p_; }
    explicit operator bool() const { return p_ != nullptr; }
    bool operator==(const Ref& o) const { return p_ == o.p_; }
    void reset() { Ref().swapWith(*this); }

    // Hands the pointer over without releasing it (used by converting moves).
    T* leak() { return std::exchange(p_, nullptr); }

private:
    void swapWith(Ref& o) { std::swap(p_, o.p_); }
    T* p_ = nullptr;
};

template <class T, class... Args>
Ref<T> makeRef(Args&&... args) {
    return Ref<T>(new T(std::forward<Args>(args)...));
}

// A reference that keeps nothing alive.
template <class T>
class WeakRef {
public:
    WeakRef() = default;
    explicit WeakRef(T* p) : block_(p ? p->weakBlock() : nullptr) {
        if (block_) block_->retain();
    }
    WeakRef(const WeakRef& o) : block_(o.block_) {
        if (block_) block_->retain();
    }
    WeakRef& operator=(WeakRef o) noexcept {
        std::swap(block_, o.block_);
        return *this;
    }
    ~WeakRef() {
        if (block_) block_->release();
    }
    // The target, or nothing once it has been freed.
    Ref<T> lock() const {
        if (!block_ || !block_->target()) return nullptr;
        return Ref<T>(static_cast<T*>(const_cast<RefCounted*>(block_->target())));
    }
    bool expired() const { return !block_ || !block_->target(); }

private:
    WeakBlock* block_ = nullptr;
};

}  // namespace measurement
