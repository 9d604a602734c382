// The privacy-consent alerts, general and for the video player, and the answers they store.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/ui/alert_controller.h"

namespace velmora {

// No state: the answers live in the standard user defaults. The alerts are
// built, presented and answered on the main thread; the ...OnMain variants
// may be called from any thread.
class DsgvoManager {
public:
    using Completion = std::function<void()>;

    // Set once the general privacy text was accepted; never set back.
    static constexpr const char* isDsgvoAcceptedKey = "isDsgvoAccepted";
    // The video player's privacy text: true on accept, false on decline.
    static constexpr const char* isYoutubeDsgvoAcceptedKey = "isYoutubeDsgvoAccepted";

    static bool isDsgvoAccepted();
    static bool isYoutubeDsgvoAccepted();

    // The general alert: one button, "dsgvoAccept", which stores the
    // acceptance and then runs the completion. Presented animated.
    static std::shared_ptr<platform::ui::AlertController> showConsentAlert(
        Completion completion, platform::ui::ViewController& presenter);
    // The video alert: "dsgvoAccept" stores true, "dsgvoDecline" stores
    // false, each then runs its own completion. Presented animated.
    static std::shared_ptr<platform::ui::AlertController> showYoutubeConsentAlert(
        Completion acceptCompletion, Completion declineCompletion, platform::ui::ViewController& presenter);

    // Stores the answer, then runs the completion: a completion that reads
    // the key sees the new answer.
    static void storeConsent(const std::string& key, bool value, const Completion& completion);

    // Queue the alert on the main queue and return at once.
    static void presentConsentAlertOnMain(std::shared_ptr<platform::ui::ViewController> presenter,
                                          Completion completion = {});
    static void presentYoutubeConsentAlertOnMain(std::shared_ptr<platform::ui::ViewController> presenter,
                                                 Completion acceptCompletion = {}, Completion declineCompletion = {});
};

}  // namespace velmora
