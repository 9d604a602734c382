// The process's seams: one slot per component, with its neutral default.
#include "measurement/core/seams.h"

#include <mutex>

namespace measurement {

namespace {

std::mutex& seamMutex() {
    static std::mutex mutex;
    return mutex;
}

// One slot per seam: the plugged-in component or, when none is, a default
// made once.
template <class Seam>
std::shared_ptr<Seam>& slot() {
    static std::shared_ptr<Seam> seam;
    return seam;
}

// The default of a seam is the seam itself, its neutral answers; an
// abstract seam names the class that stands in for it.
template <class Seam, class Default = Seam>
std::shared_ptr<Seam> get() {
    std::lock_guard lock(seamMutex());
    auto& seam = slot<Seam>();
    if (!seam) seam = std::make_shared<Default>();
    return seam;
}

template <class Seam, class Default = Seam>
void put(std::shared_ptr<Seam> value) {
    std::lock_guard lock(seamMutex());
    slot<Seam>() = value ? std::move(value) : std::make_shared<Default>();
}

}  // namespace

#define APM_SEAM(Type, getter, setter)                                            \
    std::shared_ptr<Type> APMSeams::getter() { return get<Type>(); }              \
    void APMSeams::setter(std::shared_ptr<Type> seam) { put<Type>(std::move(seam)); }

APM_SEAM(APMIdentitySeam, identity, setIdentity)
APM_SEAM(APMDeepLinkSeam, deepLinks, setDeepLinks)

#undef APM_SEAM

void APMSeams::resetAll() {
    setIdentity(nullptr);
    setDeepLinks(nullptr);
}

}  // namespace measurement
