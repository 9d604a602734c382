#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/ui/alert_controller.h"
#include "platform/ui/view_controller.h"

namespace platform {
class HTTPClient;
}
namespace platform::material {
class FlatButton;
}

// Operations every page controller uses on itself: alerts, the rating page,
// the connection test, its tab item, a titled key, the bottom safe area.
// Main thread only.
namespace velmora {

// Presents an alert from the presenter, animated, with the actions in order;
// without actions it gets one "OK" that only closes it.
std::shared_ptr<platform::ui::AlertController> showAlert(
    platform::ui::ViewController& presenter, std::optional<std::string> title, std::optional<std::string> message,
    std::vector<std::shared_ptr<platform::ui::AlertAction>> actions = {},
    platform::ui::AlertControllerStyle style = platform::ui::AlertControllerStyle::alert);

enum class AppRatingOutcome {
    opened,      // the rating page was opened and "Tapped Rating in Menu" logged
    noAppEntry,  // the running application's entry is not known: the user was told so
    cannotOpen,  // the address does not parse or cannot be opened: nothing happened
};

// Opens the running application's rating page in the store.
AppRatingOutcome openAppRating(platform::ui::ViewController& presenter);

// Tests the connection with one GET of the probe address; on the main queue
// then, any HTTP answer (whatever its status) calls the success action and
// anything else shows the no-internet alert from the presenter (if it is
// still there), whose "OK" runs the retry action. Without a probe address
// nothing is asked: the console says how to give one, and the no-internet
// alert follows.
void checkInternetConnection(platform::ui::ViewController& presenter, std::function<void()> success,
                             std::function<void()> retry = {});
void showNoInternetAlert(platform::ui::ViewController& presenter, std::function<void()> retry = {});

// Where the connection test asks: the address (the launch options', none by
// default, so that nothing leaves the machine unless one is given) and the
// client (the shared libcurl one). Empty or null restores the default.
std::string connectionProbeURL();
void setConnectionProbeURL(std::string url);
void setConnectionProbeClient(std::shared_ptr<platform::HTTPClient> client);
// What the console says when a connection test finds no probe address.
inline constexpr const char* kNoConnectionProbeNotice =
    "no connection probe address is configured, so the connection is not tested and counts as absent: set "
    "VELMORA_CONNECTION_PROBE_URL to an address that answers, such as a running collector's "
    "(http://127.0.0.1:PORT/)";

// The page's tab item: title in "Avenir-Medium" 14, enabled or not, dark
// grey when enabled and grey when not.
void configureTabItem(platform::ui::ViewController& page, const std::string& title, bool enabled);

// The first button of exactly the flat-button class with that title among
// the view's subviews, searching inside views of exactly the stack-view class.
std::shared_ptr<platform::material::FlatButton> findFlatButton(const std::string& title, platform::ui::View& view);

// The bottom safe-area inset of the last window of the first scene; 0 without one.
double bottomSafeAreaInset();

// A presentation delegate that keeps popovers (and every other style) as
// asked on compact screens.
class KeepPresentationStyle : public platform::ui::PresentationControllerDelegate {
public:
    platform::ui::ModalPresentationStyle adaptivePresentationStyle(platform::ui::PresentationController&,
                                                                   const platform::ui::TraitCollection&) override {
        return platform::ui::ModalPresentationStyle::none;
    }
};

}  // namespace velmora
