// The object manager: resources of one run and garbage collection.
#include "measurement/script/object_manager.h"

#include <atomic>

namespace measurement {

namespace {

// Collection numbers are unique in the process, so that a value reached by
// the collections of two runtimes never takes one's mark for the other's.
std::uint64_t newCollectionNumber() {
    static std::atomic<std::uint64_t> last{0};
    return last.fetch_add(1, std::memory_order_relaxed) + 1;
}

}  // namespace

APMPObjectManager::APMPObjectManager(const APMPRuntimeLimits& limits)
    : budget_(limits), collection_(newCollectionNumber()) {}

APMPObjectManager::~APMPObjectManager() {
    while (head_) unlink(head_);
}

void APMPObjectManager::addRoot(APMPMarkable* root) {
    if (root) roots_.emplace_back(root);
}

void APMPObjectManager::addObject(APMPRuntimeValue* object) {
    if (!object) return;
    if (!object->isArray() && !object->isMap() && !object->isFunction()) return;
    auto* value = static_cast<APMPCollectableValue*>(object);
    if (value->owner_) return;
    value->owner_ = this;
    value->prev_ = nullptr;
    value->next_ = head_;
    if (head_) head_->prev_ = value;
    head_ = value;
    ++trackedCount_;
}

void APMPObjectManager::unlink(APMPCollectableValue* object) {
    if (object->prev_) object->prev_->next_ = object->next_;
    if (object->next_) object->next_->prev_ = object->prev_;
    if (head_ == object) head_ = object->next_;
    object->owner_ = nullptr;
    object->prev_ = object->next_ = nullptr;
    --trackedCount_;
}

void APMPObjectManager::collectGarbage() {
    mark();
    sweep();
}

void APMPObjectManager::mark() {
    collection_ = newCollectionNumber();
    // Roots whose object is gone leave the list.
    std::erase_if(roots_, [this](const WeakRef<APMPMarkable>& root) {
        const Ref<APMPMarkable> object = root.lock();
        if (object) object->mark(collection_, markWork_);
        return !object;
    });
}

std::vector<APMPValueRef> APMPObjectManager::trackedObjects() const {
    std::vector<APMPValueRef> objects;
    objects.reserve(trackedCount_);
    for (APMPCollectableValue* object = head_; object; object = object->next_) objects.emplace_back(object);
    return objects;
}

void APMPObjectManager::sweep() {
    // Held while sweeping: releasing one value's contents may free others
    // that are still to be visited; they are freed when the list goes.
    const auto objects = trackedObjects();
    for (const auto& object : objects) object.get()->sweep(collection_);
    // Nothing counts as marked until the next mark.
    collection_ = newCollectionNumber();
}

void APMPObjectManager::releaseAll() {
    const auto objects = trackedObjects();
    for (const auto& object : objects) static_cast<APMPCollectableValue&>(*object.get()).releaseContents();
}

std::vector<Ref<APMPMarkable>> APMPObjectManager::roots() const {
    std::vector<Ref<APMPMarkable>> alive;
    for (const auto& root : roots_) {
        if (Ref<APMPMarkable> object = root.lock()) alive.push_back(object);
    }
    return alive;
}

namespace {

template <class T>
Ref<T> tracked(Ref<T> value, APMPScope& scope) {
    if (APMPObjectManager* manager = scope.objectManager()) manager->addObject(value.get());
    return value;
}

}  // namespace

Ref<APMPFunctionValue> APMPObjectManager::functionValueWithFunctionName(std::u16string functionName,
                                                                       std::vector<std::u16string> parameterNames,
                                                                       APMPValueList statements,
                                                                       const Ref<APMPScope>& definingScope) {
    return tracked(makeRef<APMPFunctionValue>(std::move(functionName), std::move(parameterNames),
                                              std::move(statements), definingScope),
                   *definingScope);
}

Ref<APMPFunctionValue> APMPObjectManager::functionValueWithFunctionName(
    std::u16string functionName, std::vector<Ref<APMPStringValue>> parameterNames, APMPValueList statements,
    const Ref<APMPScope>& definingScope) {
    return tracked(makeRef<APMPFunctionValue>(std::move(functionName), std::move(parameterNames),
                                              std::move(statements), definingScope),
                   *definingScope);
}

Ref<APMPMapValue> APMPObjectManager::mapValueWithScope(APMPScope& scope) {
    return tracked(makeRef<APMPMapValue>(), scope);
}

Ref<APMPArrayValue> APMPObjectManager::arrayValueWithScope(APMPScope& scope) {
    return tracked(makeRef<APMPArrayValue>(), scope);
}

Ref<APMPArrayValue> APMPObjectManager::arrayValueWithArray(APMPValueList values, APMPScope& scope) {
    return tracked(makeRef<APMPArrayValue>(std::move(values)), scope);
}

Ref<APMPArrayValue> APMPObjectManager::subarrayWithArray(const APMPArrayValue& array, double start, double length,
                                                         APMPScope& scope) {
    return tracked(array.subarrayWithRange(start, length), scope);
}

}  // namespace measurement
