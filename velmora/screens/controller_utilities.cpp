// The page controllers' shared operations.
#include "velmora/screens/controller_utilities.h"

#include <cstdlib>
#include <mutex>

#include "platform/dispatch/queue.h"
#include "platform/foundation/http_client.h"
#include "platform/foundation/launch_options.h"
#include "platform/foundation/url.h"
#include "platform/frameworks/utilities/reachability.h"
#include "platform/frameworks/material/buttons.h"
#include "platform/frameworks/material/tabs.h"
#include "platform/ui/application.h"
#include "platform/ui/label.h"
#include "platform/ui/stack_view.h"
#include "platform/ui/window.h"
#include "velmora/engine/analytics_sink.h"
#include "velmora/engine/console_line.h"
#include "velmora/engine/engine_texts.h"
#include "velmora/screens/kuvo_color.h"
#include "velmora/screens/shell_hooks.h"

namespace velmora {

using platform::ui::AlertAction;
using platform::ui::AlertActionStyle;
using platform::ui::AlertController;
using platform::ui::ViewController;

namespace {

struct ProbeSettings {
    std::mutex mutex;
    std::string url;
    std::shared_ptr<platform::HTTPClient> client;
};

ProbeSettings& probeSettings() {
    static ProbeSettings settings;
    return settings;
}

std::shared_ptr<platform::HTTPClient> probeClient() {
    auto& settings = probeSettings();
    std::lock_guard lock(settings.mutex);
    return settings.client ? settings.client : platform::defaultHTTPClient();
}

// Told instead of the no-internet alert: the store address of this
// application has not arrived yet, so there is nothing to open.
void showNoAppEntryAlert(ViewController& presenter) {
    showAlert(presenter, LocalizedString::localized("ratingPageUnavailable"), std::nullopt);
}

}  // namespace

std::shared_ptr<AlertController> showAlert(ViewController& presenter, std::optional<std::string> title,
                                           std::optional<std::string> message,
                                           std::vector<std::shared_ptr<AlertAction>> actions,
                                           platform::ui::AlertControllerStyle style) {
    auto alert = AlertController::make(std::move(title), std::move(message), style);
    for (const auto& action : actions) alert->addAction(action);
    if (actions.empty()) alert->addAction(AlertAction::make("OK", AlertActionStyle::defaultStyle));
    presenter.present(alert, true);
    return alert;
}

AppRatingOutcome openAppRating(ViewController& presenter) {
    auto app = currentApp();
    if (!app) {
        showNoAppEntryAlert(presenter);
        return AppRatingOutcome::noAppEntry;
    }
    auto url = platform::URL::parse(app->ratingURL);
    auto& application = platform::ui::Application::shared();
    if (!url || !application.canOpenURL(*url)) return AppRatingOutcome::cannotOpen;
    application.openURL(*url);
    platform::Value::Dictionary parameters;
    if (app->englishName) parameters["kuvoApp"] = *app->englishName;
    logEvent("Tapped Rating in Menu", parameters);
    return AppRatingOutcome::opened;
}

void checkInternetConnection(ViewController& presenter, std::function<void()> success, std::function<void()> retry) {
    platform::HTTPRequest request;
    request.url = connectionProbeURL();
    std::weak_ptr<ViewController> weakPresenter = presenter.sharedAs<ViewController>();
    // Nothing leaves the machine unless an address is given: without one
    // the connection is not known, and the user hears so as from a test that
    // failed.
    if (request.url.empty()) consoleLine(kNoConnectionProbeNotice);
    // Without a network there is nothing to ask either: no connection is
    // tried.
    if (request.url.empty() || !platform::Reachability::shared()->isReachable()) {
        platform::dispatch::mainQueue().async([weakPresenter, retry = std::move(retry)]() mutable {
            if (auto presenter = weakPresenter.lock()) showNoInternetAlert(*presenter, std::move(retry));
        });
        return;
    }
    auto client = probeClient();
    // A queue for this one test. Its block hands the queue on to the main
    // queue's block, so the last owner lets go on the main thread, after
    // the block has run, and never from inside the queue itself.
    auto holder = std::make_shared<std::shared_ptr<platform::dispatch::Queue>>(
        platform::dispatch::makeSerialQueue("com.velmora.connection-check"));
    auto queue = *holder;
    queue->async([holder, request, client, weakPresenter, success = std::move(success),
                  retry = std::move(retry)]() mutable {
        bool answered = !client->send(request).failed();
        platform::dispatch::mainQueue().async([queue = std::move(*holder), answered, weakPresenter,
                                               success = std::move(success), retry = std::move(retry)]() mutable {
            queue.reset();
            if (answered) {
                if (success) success();
            } else if (auto presenter = weakPresenter.lock()) {
                showNoInternetAlert(*presenter, std::move(retry));
            }
        });
    });
}

void showNoInternetAlert(ViewController& presenter, std::function<void()> retry) {
    std::vector<std::shared_ptr<AlertAction>> actions;
    if (retry) {
        actions.push_back(AlertAction::make("OK", AlertActionStyle::defaultStyle,
                                            [retry = std::move(retry)](AlertAction&) { retry(); }));
    }
    showAlert(presenter, LocalizedString::localized("noInternet"), std::nullopt, std::move(actions));
}

std::string connectionProbeURL() {
    auto& settings = probeSettings();
    std::lock_guard lock(settings.mutex);
    if (!settings.url.empty()) return settings.url;
    return platform::LaunchOptions::current().connectionProbeURL.value_or("");
}

void setConnectionProbeURL(std::string url) {
    auto& settings = probeSettings();
    std::lock_guard lock(settings.mutex);
    settings.url = std::move(url);
}

void setConnectionProbeClient(std::shared_ptr<platform::HTTPClient> client) {
    auto& settings = probeSettings();
    std::lock_guard lock(settings.mutex);
    settings.client = std::move(client);
}

void configureTabItem(ViewController& page, const std::string& title, bool enabled) {
    auto item = platform::material::tabItem(page);
    item->setTitle(title);
    if (auto font = platform::gfx::Font::named("Avenir-Medium", 14)) item->titleLabel()->setFont(*font);
    item->setEnabled(enabled);
    item->setTitleColor(enabled ? KuvoColor::darkGray() : KuvoColor::disabledText());
}

std::shared_ptr<platform::material::FlatButton> findFlatButton(const std::string& title, platform::ui::View& view) {
    using platform::ui::isExactly;
    for (const auto& sub : view.subviews()) {
        if (isExactly<platform::ui::StackView>(*sub)) {
            if (auto found = findFlatButton(title, *sub)) return found;
        } else if (isExactly<platform::material::FlatButton>(*sub)) {
            auto button = std::static_pointer_cast<platform::material::FlatButton>(sub);
            if (button->titleLabel()->text() == title) return button;
        }
    }
    return nullptr;
}

double bottomSafeAreaInset() {
    const auto& scenes = platform::ui::Application::shared().connectedScenes();
    if (scenes.empty() || !scenes.front()) return 0.0;
    auto windows = scenes.front()->windows();
    if (windows.empty()) return 0.0;
    return windows.back()->windowSafeAreaInsets().bottom;
}

}  // namespace velmora
