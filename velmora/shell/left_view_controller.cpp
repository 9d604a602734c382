// The drawer menu's table, its rows' actions and its refresh.
#include "velmora/shell/left_view_controller.h"

#include "platform/dispatch/queue.h"
#include "platform/foundation/process_info.h"
#include "platform/frameworks/material/navigation_drawer.h"
#include "platform/ui/application.h"
#include "platform/ui/label.h"
#include "platform/ui/storyboard.h"
#include "velmora/engine/analytics_sink.h"
#include "velmora/engine/engine_texts.h"
#include "velmora/screens/controller_utilities.h"
#include "velmora/screens/history_table_view_controller.h"
#include "velmora/screens/kuvo_color.h"
#include "velmora/shell/address_opening.h"
#include "velmora/shell/dsgvo_manager.h"
#include "velmora/shell/navigation_chrome.h"
#include "velmora/shell/onboarding_manager.h"
#include "velmora/shell/page_factory.h"

namespace velmora {

using platform::ui::IndexPath;
using platform::ui::TableView;

namespace {

constexpr int kMainSection = 0;
constexpr int kContactSection = 1;
constexpr int kFirstAppSection = 2;

std::optional<platform::gfx::Font> avenirMedium(double size) { return platform::gfx::Font::named("Avenir-Medium", size); }

}  // namespace

LeftViewController::LeftViewController()
    : mainSectionRows{LocalizedString::localized("Calculate Title"), LocalizedString::localized("History"),
                      LocalizedString::localized("introduction"), LocalizedString::localized("privacyPolicy")},
      contactSectionRows{LocalizedString::localized("Discord"), LocalizedString::localized("Rate this App")} {}

void LeftViewController::setRemoteConfigManager(std::shared_ptr<RemoteConfigManager> manager) {
    manager_ = std::move(manager);
    appSections = this->manager().appSections();
}

const RemoteConfigManager& LeftViewController::manager() const {
    return manager_ ? *manager_ : sharedRemoteConfigManager();
}

void LeftViewController::viewDidLoad() {
    platform::ui::TableViewController::viewDidLoad();
    appSections = manager().appSections();
    view()->setBackgroundColor(KuvoColor::color(KuvoColor::paletteLightBlue));
    auto table = tableView();
    table->setSeparatorStyle(platform::ui::TableViewSeparatorStyle::none);
    table->setContentInset({0, 0, 0, 0});
    table->registerPrototype(cellReuseIdentifier, [] {
        return std::make_shared<platform::ui::TableViewCell>(platform::ui::TableViewCellStyle::defaultStyle,
                                                             cellReuseIdentifier);
    });
}

void LeftViewController::viewWillAppear(bool animated) {
    platform::ui::TableViewController::viewWillAppear(animated);
    // The observers hold the menu weakly and only queue work for the main
    // queue: a menu gone by then is left alone, and never released on the
    // posting queue.
    std::weak_ptr<LeftViewController> weak = sharedAs<LeftViewController>();
    auto refresh = [weak](const platform::Notification&) {
        platform::dispatch::mainQueue().async([weak] {
            if (auto self = weak.lock()) self->reloadMenu();
        });
    };
    auto& center = platform::NotificationCenter::defaultCenter();
    observers_.clear();
    observers_.push_back(center.addObserver(platform::ui::Application::didBecomeActiveNotification, nullptr, refresh));
    observers_.push_back(center.addObserver(kDidLoadMenuNotification, nullptr, refresh));
}

void LeftViewController::viewWillDisappear(bool animated) {
    platform::ui::TableViewController::viewWillDisappear(animated);
    observers_.clear();
}

void LeftViewController::didUpdateMenu() {
    std::weak_ptr<LeftViewController> weak = sharedAs<LeftViewController>();
    platform::dispatch::mainQueue().async([weak] {
        if (auto self = weak.lock()) self->reloadMenu();
    });
}

void LeftViewController::reloadMenu() {
    appSections = manager().appSections();
    if (isViewLoaded()) tableView()->reloadData();
}

const AppSection* LeftViewController::appSection(int section) const {
    const int index = section - kFirstAppSection;
    if (index < 0 || index >= static_cast<int>(appSections.size())) return nullptr;
    return &appSections[static_cast<std::size_t>(index)];
}

int LeftViewController::numberOfSections(TableView&) {
    numberOfSections_ = kFirstAppSection + static_cast<int>(appSections.size());
    return numberOfSections_;
}

int LeftViewController::numberOfRows(TableView&, int section) {
    if (section == kMainSection) return static_cast<int>(mainSectionRows.size());
    if (section == kContactSection) return static_cast<int>(contactSectionRows.size());
    const AppSection* apps = appSection(section);
    return apps ? static_cast<int>(apps->apps.size()) : 0;
}

std::string LeftViewController::displayName(const AppMetaData& app) {
    if (auto language = platform::ProcessInfo::languageCode()) {
        if (auto found = app.appName.find(*language); found != app.appName.end()) return found->second;
    }
    auto english = app.appName.find("en");
    return english == app.appName.end() ? std::string() : english->second;
}

std::shared_ptr<platform::ui::TableViewCell> LeftViewController::cellForRow(TableView& table, IndexPath indexPath) {
    auto cell = table.dequeueReusableCell(cellReuseIdentifier, indexPath);
    cell->setBackgroundColor(KuvoColor::color(KuvoColor::paletteLightBlue));
    auto label = cell->textLabel();
    if (auto font = avenirMedium(17)) label->setFont(*font);
    label->setAdjustsFontSizeToFitWidth(true);
    label->setTextColor(KuvoColor::darkGray());
    const auto row = static_cast<std::size_t>(indexPath.row);
    std::string text;
    if (indexPath.section == kMainSection && row < mainSectionRows.size()) {
        text = mainSectionRows[row];
    } else if (indexPath.section == kContactSection && row < contactSectionRows.size()) {
        text = contactSectionRows[row];
    } else if (const AppSection* apps = appSection(indexPath.section); apps && row < apps->apps.size()) {
        text = displayName(apps->apps[row]);
    }
    label->setText(text);
    return cell;
}

std::string LeftViewController::headerTitle(int section) const {
    if (section == kContactSection) return LocalizedString::localized("Visit us:");
    if (const AppSection* apps = appSection(section)) return LocalizedString::localized(apps->headerKey);
    return {};
}

std::shared_ptr<platform::ui::View> LeftViewController::viewForHeader(TableView& table, int section) {
    const double width = table.bounds().width();
    if (section == kMainSection) return std::make_shared<platform::ui::View>(platform::gfx::Rect(0, 0, width, 0));
    auto header = std::make_shared<platform::ui::View>(platform::gfx::Rect(0, 0, width, headerHeight));
    header->setBackgroundColor(KuvoColor::color(KuvoColor::paletteBlue));
    auto label = std::make_shared<platform::ui::Label>(platform::gfx::Rect(3, 0, width - 3, headerHeight));
    if (auto font = avenirMedium(16)) label->setFont(*font);
    label->setTextColor(KuvoColor::darkGray());
    if (auto title = headerTitle(section); !title.empty()) label->setText(" " + title);
    header->addSubview(label);
    return header;
}

std::optional<double> LeftViewController::heightForHeader(TableView&, int section) {
    return section == kMainSection ? 0.0 : headerHeight;
}

void LeftViewController::didSelectRow(TableView& table, IndexPath indexPath) {
    if (auto selected = table.indexPathForSelectedRow()) {
        table.reloadRows({*selected}, platform::ui::TableViewRowAnimation::none);
    }
    if (indexPath.section == kMainSection) {
        handleMainRow(indexPath.row);
    } else if (indexPath.section == kContactSection) {
        handleContactRow(indexPath.row);
    } else if (const AppSection* apps = appSection(indexPath.section)) {
        handleAppRow(indexPath.row, apps->isMultiApp);
    }
}

void LeftViewController::handleMainRow(int row) {
    std::weak_ptr<LeftViewController> weak = sharedAs<LeftViewController>();
    auto closeDrawer = [weak](bool) {
        if (auto self = weak.lock()) closeNavigationDrawer(*self);
    };
    switch (row) {
        case 0: {
            logEvent("tapped_menu_calculate");
            if (auto drawer = platform::material::navigationDrawerController(*this)) {
                drawer->transition(PageFactory::makeAppToolbarController(), closeDrawer);
            }
            break;
        }
        case 1: {
            logEvent("tapped_menu_history");
            auto drawer = platform::material::navigationDrawerController(*this);
            auto toolbar = drawer ? std::dynamic_pointer_cast<platform::material::ToolbarController>(
                                        drawer->rootViewController())
                                  : nullptr;
            auto board = platform::ui::Storyboard::named(HistoryTableViewController::storyboardName);
            auto history = board ? board->instantiate<HistoryTableViewController>(
                                       HistoryTableViewController::storyboardIdentifier)
                                 : nullptr;
            if (toolbar && history) toolbar->transition(history, closeDrawer);
            break;
        }
        case 2:
            logEvent("tapped_onboarding");
            // Over the whole window, as at the first launch: a sheet would
            // leave the status bar and the toolbar's edge showing above it.
            OnboardingManager::presentOnboarding(OnboardingManager::mainOnboardingPages(), *this,
                                                 platform::ui::ModalPresentationStyle::overFullScreen, true,
                                                 [] { OnboardingManager::markOnboardingFinished(); });
            break;
        case 3:
            logEvent("tapped_privacy_policy");
            DsgvoManager::presentConsentAlertOnMain(sharedAs<platform::ui::ViewController>());
            break;
        default:
            break;
    }
}

void LeftViewController::handleContactRow(int row) {
    switch (row) {
        case 0:
            logEvent("tapped_discord");
            checkInternetConnection(*this, [] { openRemoteAddress(communityInviteAddress); });
            break;
        case 1: {
            logEvent("tapped_rate_app");
            std::weak_ptr<LeftViewController> weak = sharedAs<LeftViewController>();
            checkInternetConnection(*this, [weak] {
                if (auto self = weak.lock()) openAppRating(*self);
            });
            break;
        }
        default:
            break;
    }
}

void LeftViewController::handleAppRow(int row, bool isMultiApp) {
    const AppSection* apps = nullptr;
    for (const auto& section : appSections) {
        if (section.isMultiApp == isMultiApp) apps = &section;
    }
    if (!apps || row < 0 || row >= static_cast<int>(apps->apps.size())) return;
    const AppMetaData entry = apps->apps[static_cast<std::size_t>(row)];
    const bool hasApp = openApplicationAddress(entry.appURLPro) || openApplicationAddress(entry.appURL);
    if (!hasApp) openRemoteAddress(entry.storeURLPro);
    auto english = entry.appName.find("en");
    logEvent("Tapped App Link", {{"has_app", hasApp},
                                 {"kuvoApp", english == entry.appName.end() ? std::string() : english->second}});
}

void registerDrawerMenuScene() {
    platform::ui::Storyboard::registerScene(LeftViewController::storyboardName, LeftViewController::storyboardIdentifier,
                                            [] {
                                                auto menu = std::make_shared<LeftViewController>();
                                                menu->setStoryboardName(LeftViewController::storyboardName);
                                                return menu;
                                            });
}

}  // namespace velmora
