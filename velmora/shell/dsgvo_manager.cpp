// The consent alerts: their texts, buttons and stored answers.
#include "velmora/shell/dsgvo_manager.h"

#include "platform/dispatch/queue.h"
#include "platform/foundation/defaults_key.h"
#include "velmora/engine/engine_texts.h"

namespace velmora {

using platform::ui::AlertAction;
using platform::ui::AlertActionStyle;
using platform::ui::AlertController;

bool DsgvoManager::isDsgvoAccepted() { return platform::DefaultsKey<bool>(isDsgvoAcceptedKey).get(); }

bool DsgvoManager::isYoutubeDsgvoAccepted() { return platform::DefaultsKey<bool>(isYoutubeDsgvoAcceptedKey).get(); }

void DsgvoManager::storeConsent(const std::string& key, bool value, const Completion& completion) {
    platform::DefaultsKey<bool>(key).set(value);
    if (completion) completion();
}

std::shared_ptr<AlertController> DsgvoManager::showConsentAlert(Completion completion,
                                                                platform::ui::ViewController& presenter) {
    auto alert = AlertController::make(LocalizedString::localized("dsgvoTitlePro"),
                                       LocalizedString::localized("dsgvoTextPro"),
                                       platform::ui::AlertControllerStyle::alert);
    alert->addAction(AlertAction::make(LocalizedString::localized("dsgvoAccept"), AlertActionStyle::defaultStyle,
                                       [completion](AlertAction&) {
                                           storeConsent(isDsgvoAcceptedKey, true, completion);
                                       }));
    presenter.present(alert, true);
    return alert;
}

std::shared_ptr<AlertController> DsgvoManager::showYoutubeConsentAlert(Completion acceptCompletion,
                                                                       Completion declineCompletion,
                                                                       platform::ui::ViewController& presenter) {
    auto alert = AlertController::make(LocalizedString::localized("dsgvoYoutubeTitle"),
                                       LocalizedString::localized("dsgvoYoutubeText"),
                                       platform::ui::AlertControllerStyle::alert);
    alert->addAction(AlertAction::make(LocalizedString::localized("dsgvoAccept"), AlertActionStyle::defaultStyle,
                                       [acceptCompletion](AlertAction&) {
                                           storeConsent(isYoutubeDsgvoAcceptedKey, true, acceptCompletion);
                                       }));
    alert->addAction(AlertAction::make(LocalizedString::localized("dsgvoDecline"), AlertActionStyle::defaultStyle,
                                       [declineCompletion](AlertAction&) {
                                           storeConsent(isYoutubeDsgvoAcceptedKey, false, declineCompletion);
                                       }));
    presenter.present(alert, true);
    return alert;
}

void DsgvoManager::presentConsentAlertOnMain(std::shared_ptr<platform::ui::ViewController> presenter,
                                             Completion completion) {
    if (!presenter) return;
    platform::dispatch::mainQueue().async([presenter = std::move(presenter), completion = std::move(completion)] {
        showConsentAlert(completion, *presenter);
    });
}

void DsgvoManager::presentYoutubeConsentAlertOnMain(std::shared_ptr<platform::ui::ViewController> presenter,
                                                    Completion acceptCompletion, Completion declineCompletion) {
    if (!presenter) return;
    platform::dispatch::mainQueue().async([presenter = std::move(presenter), acceptCompletion = std::move(acceptCompletion),
                                           declineCompletion = std::move(declineCompletion)] {
        showYoutubeConsentAlert(acceptCompletion, declineCompletion, *presenter);
    });
}

}  // namespace velmora
