// The network library, loaded the first time a request or an address needs it.
//
// libcurl and the libraries it brings (TLS, name services, compression,
// directory and Kerberos clients: some thirty) take longer to map and bind
// than a one-shot command that sends nothing takes to do its work. So the
// programs do not link it: its functions are looked up when first asked for.
#pragma once

#include <curl/curl.h>

#include <string>

namespace platform {

struct CurlLibrary {
    decltype(&::curl_global_init) global_init;
    decltype(&::curl_easy_init) easy_init;
    decltype(&::curl_easy_setopt) easy_setopt;
    decltype(&::curl_easy_getinfo) easy_getinfo;
    decltype(&::curl_easy_strerror) easy_strerror;
    decltype(&::curl_easy_cleanup) easy_cleanup;
    decltype(&::curl_multi_init) multi_init;
    decltype(&::curl_multi_add_handle) multi_add_handle;
    decltype(&::curl_multi_remove_handle) multi_remove_handle;
    decltype(&::curl_multi_perform) multi_perform;
    decltype(&::curl_multi_poll) multi_poll;
    decltype(&::curl_multi_wakeup) multi_wakeup;
    decltype(&::curl_multi_info_read) multi_info_read;
    decltype(&::curl_multi_cleanup) multi_cleanup;
    decltype(&::curl_slist_append) slist_append;
    decltype(&::curl_slist_free_all) slist_free_all;
    decltype(&::curl_url) url;
    decltype(&::curl_url_set) url_set;
    decltype(&::curl_url_get) url_get;
    decltype(&::curl_url_cleanup) url_cleanup;
    decltype(&::curl_free) free;
};

// The library, loaded and set up once for the whole process (its global
// set-up is not thread-safe and must come before any handle); null when it
// cannot be loaded, with the reason in *why.
const CurlLibrary* curlLibrary(std::string* why = nullptr);

}  // namespace platform
