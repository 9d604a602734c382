// Opening addresses that arrive from outside the application: web and store pages, and installed applications.
#pragma once

#include <string>

namespace velmora {

// A web or store page: only an absolute http or https address with a host
// is opened, queued on the main queue; anything else (another scheme, text
// that is no address) opens nothing. Answers whether the opening was queued.
bool openRemoteAddress(const std::string& text);

// An installed application by its own address: opened at once when it
// parses and the platform says it can open it. Answers whether it opened.
// Main thread.
bool openApplicationAddress(const std::string& text);

}  // namespace velmora
