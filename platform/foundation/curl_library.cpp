// Loads the network library on first use and looks up the functions we call.
#include "platform/foundation/curl_library.h"

#include <dlfcn.h>

#include <mutex>

namespace platform {

namespace {

struct Loaded {
    CurlLibrary functions{};
    std::string failure;
};

template <typename Function>
bool lookUp(void* handle, const char* name, Function& slot, std::string& failure) {
    slot = reinterpret_cast<Function>(::dlsym(handle, name));
    if (slot == nullptr && failure.empty()) failure = std::string("the network library lacks ") + name;
    return slot != nullptr;
}

Loaded load() {
    Loaded loaded;
    // The library stays loaded for the life of the process: handles and
    // threads of it may outlive any one caller.
    void* handle = ::dlopen("libcurl.so.4", RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char* why = ::dlerror();
        loaded.failure = std::string("cannot load the network library: ") + (why ? why : "libcurl.so.4 not found");
        return loaded;
    }
    auto& f = loaded.functions;
    std::string& failure = loaded.failure;
    lookUp(handle, "curl_global_init", f.global_init, failure);
    lookUp(handle, "curl_easy_init", f.easy_init, failure);
    lookUp(handle, "curl_easy_setopt", f.easy_setopt, failure);
    lookUp(handle, "curl_easy_getinfo", f.easy_getinfo, failure);
    lookUp(handle, "curl_easy_strerror", f.easy_strerror, failure);
    lookUp(handle, "curl_easy_cleanup", f.easy_cleanup, failure);
    lookUp(handle, "curl_multi_init", f.multi_init, failure);
    lookUp(handle, "curl_multi_add_handle", f.multi_add_handle, failure);
    lookUp(handle, "curl_multi_remove_handle", f.multi_remove_handle, failure);
    lookUp(handle, "curl_multi_perform", f.multi_perform, failure);
    lookUp(handle, "curl_multi_poll", f.multi_poll, failure);
    lookUp(handle, "curl_multi_wakeup", f.multi_wakeup, failure);
    lookUp(handle, "curl_multi_info_read", f.multi_info_read, failure);
    lookUp(handle, "curl_multi_cleanup", f.multi_cleanup, failure);
    lookUp(handle, "curl_slist_append", f.slist_append, failure);
    lookUp(handle, "curl_slist_free_all", f.slist_free_all, failure);
    lookUp(handle, "curl_url", f.url, failure);
    lookUp(handle, "curl_url_set", f.url_set, failure);
    lookUp(handle, "curl_url_get", f.url_get, failure);
    lookUp(handle, "curl_url_cleanup", f.url_cleanup, failure);
    lookUp(handle, "curl_free", f.free, failure);
    if (failure.empty() && f.global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
        failure = "the network library could not set itself up";
    }
    return loaded;
}

}  // namespace

const CurlLibrary* curlLibrary(std::string* why) {
    // Never destroyed: threads still sending at exit keep their functions.
    static const Loaded* const loaded = new Loaded(load());
    if (!loaded->failure.empty()) {
        if (why) *why = loaded->failure;
        return nullptr;
    }
    return &loaded->functions;
}

}  // namespace platform
