// Opening remotely supplied addresses: web pages checked by scheme, applications through can-open.
#include "velmora/shell/address_opening.h"

#include "platform/dispatch/queue.h"
#include "platform/foundation/url.h"
#include "platform/ui/application.h"

namespace velmora {

bool openRemoteAddress(const std::string& text) {
    auto url = platform::URL::parse(text);
    if (!url || (url->scheme() != "http" && url->scheme() != "https") || url->host().empty()) return false;
    platform::dispatch::mainQueue().async([url = *url] { platform::ui::Application::shared().openURL(url); });
    return true;
}

bool openApplicationAddress(const std::string& text) {
    auto url = platform::URL::parse(text);
    auto& application = platform::ui::Application::shared();
    if (!url || !application.canOpenURL(*url)) return false;
    application.openURL(*url);
    return true;
}

}  // namespace velmora
