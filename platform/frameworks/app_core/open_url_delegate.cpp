// The registered open-URL delegate and the record of what it was handed.
#include "platform/frameworks/app_core/open_url_delegate.h"

#include <mutex>

namespace platform {

namespace {

struct State {
    std::mutex mutex;
    std::shared_ptr<OpenURLDelegate> delegate;
    std::vector<ApplicationOpenURL::Request> requests;
};

State& state() {
    static State s;
    return s;
}

}  // namespace

void ApplicationOpenURL::setDelegate(std::shared_ptr<OpenURLDelegate> delegate) {
    std::lock_guard lock(state().mutex);
    state().delegate = std::move(delegate);
}

bool ApplicationOpenURL::hasDelegate() {
    std::lock_guard lock(state().mutex);
    return state().delegate != nullptr;
}

bool ApplicationOpenURL::openURL(const std::string& url, const Value::Dictionary& options) {
    std::shared_ptr<OpenURLDelegate> delegate;
    {
        std::lock_guard lock(state().mutex);
        delegate = state().delegate;
    }
    // The delegate runs outside the lock: it may register another one.
    const bool taken = delegate && delegate->openURL(url, options);
    std::lock_guard lock(state().mutex);
    state().requests.push_back({url, options, taken});
    return taken;
}

std::vector<ApplicationOpenURL::Request> ApplicationOpenURL::requests() {
    std::lock_guard lock(state().mutex);
    return state().requests;
}

void ApplicationOpenURL::reset() {
    std::lock_guard lock(state().mutex);
    state().delegate.reset();
    state().requests.clear();
}

}  // namespace platform
