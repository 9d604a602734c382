// The history screen and its rows.
#include "velmora/screens/history_table_view_controller.h"

#include <algorithm>
#include <cmath>

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

using platform::gfx::Rect;
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

void HistoryTableViewCell::layoutSubviews() {
    platform::ui::TableViewCell::layoutSubviews();
    fitFormula();
}

namespace {

using platform::math::MTMathUILabel;

constexpr double kLineGap = 2;
// Kept clear above and below the formula, so that the rows' formulas never meet.
constexpr double kVerticalPadding = 4;
constexpr const char* kPartSeparator = " \\quad ";

// The parts of an entry's line ("p = 0.3 \quad k = 2 \quad n = 5"): where a
// \quad stands outside braces.
std::vector<std::string> formulaParts(const std::string& latex) {
    const std::string separator = kPartSeparator;
    std::vector<std::string> parts;
    int depth = 0;
    std::size_t start = 0;
    for (std::size_t i = 0; i < latex.size(); ++i) {
        if (latex[i] == '{') ++depth;
        if (latex[i] == '}') --depth;
        if (depth == 0 && latex.compare(i, separator.size(), separator) == 0) {
            parts.push_back(latex.substr(start, i - start));
            start = i + separator.size();
            i = start - 1;
        }
    }
    parts.push_back(latex.substr(start));
    return parts;
}

std::string joined(const std::vector<std::string>& parts, std::size_t from, std::size_t to) {
    std::string line;
    for (std::size_t i = from; i < to; ++i) line += (i > from ? kPartSeparator : "") + parts[i];
    return line;
}

// Sets the lines, one under another, at the largest size that fits them in
// the room: from the full size down in half points, as far as the smallest.
// Whether they fit.
bool fitLines(const std::vector<MTMathUILabel*>& lines, double room, double roomHeight) {
    auto setSize = [&](double size) {
        for (auto* line : lines) {
            if (line->fontSize() != size) line->setFontSize(size);
        }
    };
    double widest = 0, height = -kLineGap;
    auto measure = [&] {
        widest = 0;
        height = -kLineGap;
        for (auto* line : lines) {
            const auto size = line->intrinsicContentSize();
            widest = std::max(widest, size.width);
            height += size.height + kLineGap;
        }
        return widest <= room && height <= roomHeight;
    };
    const double full = MTMathUILabel::defaultFontSize;
    setSize(full);
    if (measure()) return true;
    if (!(widest > 0) || !(height > 0)) return false;
    // The size scales the lines as a whole: start from the estimate.
    double size = std::clamp(std::floor(full * std::min(room / widest, roomHeight / height) * 2) / 2,
                             HistoryTableViewCell::smallestFontSize, full);
    setSize(size);
    bool fits = measure();
    while (!fits && size > HistoryTableViewCell::smallestFontSize) {
        size = std::max(HistoryTableViewCell::smallestFontSize, size - 0.5);
        setSize(size);
        fits = measure();
    }
    return fits;
}

// The lines one under another from the room's left, the block centred on
// the row's height; each cut at the room's end where it is wider.
void placeLines(const std::vector<MTMathUILabel*>& lines, const Rect& content, double room) {
    double height = -kLineGap;
    for (auto* line : lines) height += line->intrinsicContentSize().height + kLineGap;
    double y = (content.height() - height) / 2;
    for (auto* line : lines) {
        const auto size = line->intrinsicContentSize();
        line->setClipsToBounds(size.width > room);
        line->setFrame(Rect(HistoryTableViewCell::margin, y, std::min(size.width, room), size.height));
        y += size.height + kLineGap;
    }
}

}  // namespace

void HistoryTableViewCell::fitFormula() {
    if (!mathLabel) return;
    const Rect content = contentView()->bounds();
    const double room = std::max(0.0, content.width() - 2 * margin);
    const double roomHeight = std::max(0.0, content.height() - 2 * kVerticalPadding);
    const bool oneLine = fitLines({mathLabel.get()}, room, roomHeight);
    const auto parts = formulaParts(mathLabel->latex());
    const bool wrapped = !oneLine && parts.size() > 1;
    mathLabel->setHidden(wrapped);
    for (const auto& line : lines_) line->setHidden(!wrapped);
    if (!wrapped) {
        placeLines({mathLabel.get()}, content, room);
        return;
    }
    while (lines_.size() < 2) {
        auto line = std::make_shared<MTMathUILabel>();
        line->setTextColor(mathLabel->textColor());
        contentView()->addSubview(line);
        lines_.push_back(line);
    }
    // The break where the longer of the two lines is shortest.
    std::size_t breakAt = 1;
    double shortest = INFINITY;
    for (std::size_t at = 1; at < parts.size(); ++at) {
        double longer = 0;
        for (const auto& text : {joined(parts, 0, at), joined(parts, at, parts.size())}) {
            MTMathUILabel measured;
            measured.setLatex(text);
            longer = std::max(longer, measured.intrinsicContentSize().width);
        }
        if (longer < shortest) {
            shortest = longer;
            breakAt = at;
        }
    }
    lines_[0]->setLatex(joined(parts, 0, breakAt));
    lines_[1]->setLatex(joined(parts, breakAt, parts.size()));
    for (const auto& line : lines_) {
        line->setTextColor(mathLabel->textColor());
        line->setHidden(false);
    }
    fitLines({lines_[0].get(), lines_[1].get()}, room, roomHeight);
    placeLines({lines_[0].get(), lines_[1].get()}, content, room);
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
        historyCell->setNeedsLayout();
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
