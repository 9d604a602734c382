// The history screen and its rows.
#include "velmora/screens/history_table_view_controller.h"

#include "platform/frameworks/material/navigation_drawer.h"
#include "platform/frameworks/material/style.h"
#include "platform/frameworks/material/toolbar.h"
#include "platform/ui/alert_controller.h"
#include "velmora/engine/analytics_sink.h"
#include "velmora/engine/engine_texts.h"
#include "velmora/screens/calc_manager.h"
#include "velmora/screens/kuvo_color.h"
#include "velmora/screens/shell_hooks.h"

namespace velmora {

using platform::ui::AlertAction;
using platform::ui::AlertActionStyle;
using platform::ui::IndexPath;
using platform::ui::TableView;

HistoryTableViewCell::HistoryTableViewCell()
    : platform::ui::TableViewCell(platform::ui::TableViewCellStyle::defaultStyle, reuseIdentifier) {}

void HistoryTableViewCell::awakeFromNib() {
    platform::ui::TableViewCell::awakeFromNib();
    if (mathLabel) mathLabel->setTextColor(KuvoColor::label().withAlphaComponent(0.9));
}

HistoryTableViewController::HistoryTableViewController() = default;

void HistoryTableViewController::viewDidLoad() {
    platform::ui::TableViewController::viewDidLoad();
    tableView()->setTableFooterView(std::make_shared<platform::ui::View>());
    editButton = makeToolbarButton(platform::material::Icon::edit(), &HistoryTableViewController::handleEditButton,
                                   "handleEditButton");
    clearAllButton = makeToolbarButton(platform::material::Icon::clear(),
                                       &HistoryTableViewController::handleClearAllButton, "handleClearAllButton");
}

std::shared_ptr<platform::material::IconButton> HistoryTableViewController::makeToolbarButton(
    const platform::gfx::Image& icon, void (HistoryTableViewController::*action)(), const char* actionName) {
    auto button = std::make_shared<platform::material::IconButton>(icon, KuvoColor::darkGray());
    std::weak_ptr<HistoryTableViewController> weak = sharedAs<HistoryTableViewController>();
    button->addTarget(
        [weak, action](platform::ui::Control&) {
            if (auto screen = weak.lock()) ((*screen).*action)();
        },
        platform::ui::controlEvent::touchUpInside, actionName);
    return button;
}

void HistoryTableViewController::viewDidAppear(bool animated) {
    platform::ui::TableViewController::viewDidAppear(animated);
    if (auto toolbar = platform::material::toolbarController(*this)) {
        toolbar->toolbar()->setTitle(LocalizedString::localized("History"));
        toolbar->toolbar()->setRightViews({clearAllButton, editButton});
    }
}

int HistoryTableViewController::numberOfRows(TableView&, int) {
    return static_cast<int>(CalcManager::shared().calculations().size());
}

std::shared_ptr<platform::ui::TableViewCell> HistoryTableViewController::cellForRow(TableView& table,
                                                                                   IndexPath indexPath) {
    auto cell = table.dequeueReusableCell(HistoryTableViewCell::reuseIdentifier, indexPath);
    const auto& entries = CalcManager::shared().calculations();
    auto historyCell = std::dynamic_pointer_cast<HistoryTableViewCell>(cell);
    if (historyCell && historyCell->mathLabel && indexPath.row < static_cast<int>(entries.size())) {
        historyCell->mathLabel->setLatex(entries[static_cast<std::size_t>(indexPath.row)].latexString);
    }
    return cell;
}

void HistoryTableViewController::handleEditButton() {
    auto table = tableView();
    table->setEditing(!table->isEditing(), true);
}

void HistoryTableViewController::commitEditing(TableView& table, platform::ui::TableViewCellEditingStyle style,
                                               IndexPath indexPath) {
    if (style != platform::ui::TableViewCellEditingStyle::remove) return;
    logEvent("tapped_history_delete_single_calc");
    if (!CalcManager::shared().deleteCalculation(indexPath.row)) return;
    table.deleteRows({indexPath}, platform::ui::TableViewRowAnimation::fade);
}

// The store moves the entry as the table moved the row, so the two agree
// without a reload; a move the store could not keep puts the rows back.
void HistoryTableViewController::moveRow(TableView& table, IndexPath from, IndexPath to) {
    if (!CalcManager::shared().moveCalculation(from.row, to.row)) table.reloadData();
}

void HistoryTableViewController::didSelectRow(TableView& table, IndexPath indexPath) {
    if (auto selected = table.indexPathForSelectedRow()) {
        table.reloadRows({*selected}, platform::ui::TableViewRowAnimation::none);
    }
    auto& store = CalcManager::shared();
    if (indexPath.row < 0 || indexPath.row >= static_cast<int>(store.calculations().size())) return;
    Calculation entry = store.calculations()[static_cast<std::size_t>(indexPath.row)];
    store.setCurrentCalculation(std::nullopt);
    store.setCurrentSelectedCalculation(entry);
    // The parameters are a dictionary, which an event cannot carry: they go
    // as a list holding that one dictionary.
    platform::Value::Dictionary parameters;
    for (const auto& [id, text] : entry.inputParameters) parameters[id] = text;
    logEvent("tapped_history_item", {{"calc_parameters", platform::Value::Array{platform::Value(parameters)}},
                                     {"latex_string", entry.latexString}});
    openOnNewCalculatorPage();
}

void HistoryTableViewController::openOnNewCalculatorPage() {
    // The new tree replaces the one this screen is in: stay alive until done.
    auto keep = sharedAs<HistoryTableViewController>();
    auto drawer = platform::material::navigationDrawerController(*this);
    auto tree = makeAppToolbarController();
    if (!drawer || !tree) return;
    std::weak_ptr<platform::material::NavigationDrawerController> weakDrawer = drawer;
    drawer->transition(tree, [weakDrawer](bool) {
        if (auto d = weakDrawer.lock()) d->closeLeftView(0);
    });
}

void HistoryTableViewController::handleClearAllButton() {
    auto alert = platform::ui::AlertController::make(
        LocalizedString::localized("Clear History"), LocalizedString::localized("Are you sure to delete your whole history?"),
        platform::ui::AlertControllerStyle::alert);
    std::weak_ptr<HistoryTableViewController> weak = sharedAs<HistoryTableViewController>();
    alert->addAction(AlertAction::make(LocalizedString::localized("Clear"), AlertActionStyle::defaultStyle,
                                       [weak](AlertAction&) {
                                           if (auto screen = weak.lock()) screen->clearHistory();
                                       }));
    alert->addAction(AlertAction::make(LocalizedString::localized("Cancel"), AlertActionStyle::cancel));
    present(alert, true);
}

void HistoryTableViewController::clearHistory() {
    auto& store = CalcManager::shared();
    logEvent("tapped_history_clear", {{"calc_count", static_cast<long long>(store.calculations().size())}});
    store.removeAllCalculations();
    tableView()->reloadData();
}

}  // namespace velmora
