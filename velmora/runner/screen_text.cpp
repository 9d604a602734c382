// Reading the view tree into lines of text.
#include "velmora/runner/screen_text.h"

#include <algorithm>
#include <cmath>
#include <optional>
#include <utility>
#include <variant>
#include <vector>

#include "platform/frameworks/charts/aa_chart_view.h"
#include "platform/frameworks/material/navigation_drawer.h"
#include "platform/frameworks/material/tabs.h"
#include "platform/frameworks/material/toolbar.h"
#include "platform/frameworks/math_label/mt_math_ui_label.h"
#include "platform/frameworks/star_rating/star_rating_view.h"
#include "platform/frameworks/video_player/yt_player_view.h"
#include "platform/gfx/image.h"
#include "platform/ui/alert_controller.h"
#include "platform/ui/collection_view.h"
#include "platform/ui/control.h"
#include "platform/ui/label.h"
#include "platform/ui/scroll_view.h"
#include "platform/ui/stack_view.h"
#include "platform/ui/table_view.h"
#include "platform/ui/text_field.h"
#include "platform/ui/view_controller.h"
#include "platform/ui/window.h"
#include "velmora/runner/cover.h"
#include "velmora/shell/view_manager.h"

namespace velmora::runner {

namespace {

using platform::ui::IndexPath;
using platform::ui::View;

struct Line {
    int depth;
    std::string text;
};
using Lines = std::vector<Line>;

std::string trimmed(const std::string& text) {
    const auto first = text.find_first_not_of(" \t\n");
    if (first == std::string::npos) return {};
    const auto last = text.find_last_not_of(" \t\n");
    return text.substr(first, last - first + 1);
}

// Line breaks inside a text would break the layout of the listing.
std::string oneLine(const std::string& text) {
    std::string out = trimmed(text);
    std::replace(out.begin(), out.end(), '\n', ' ');
    return out;
}

bool shown(const View& view) { return !view.isHidden() && view.alpha() > 0.01; }

// Whether any of the view shows in the window: what lies past the window's
// edge or is clipped away by a table or scroll view around it is out of
// sight.
bool inSight(const View& view) { return !view.window() || !partInSight(view).isEmpty(); }

// Containers only arrange pages; the pages themselves get a heading.
bool isDrawerPanel(const platform::ui::ViewController& controller);

bool isPage(const platform::ui::ViewController& controller) {
    if (isDrawerPanel(controller)) return true;
    return !dynamic_cast<const platform::material::NavigationDrawerController*>(&controller) &&
           !dynamic_cast<const platform::material::ToolbarController*>(&controller) &&
           !dynamic_cast<const platform::material::TabsController*>(&controller);
}

// The drawer's panel is a toolbar controller too, but reads as a place of its own.
bool isDrawerPanel(const platform::ui::ViewController& controller) {
    auto drawer = dynamic_cast<const platform::material::NavigationDrawerController*>(controller.parentPointer());
    return drawer && drawer->leftViewController().get() == &controller;
}

std::string heading(platform::ui::ViewController& controller) {
    if (isDrawerPanel(controller)) return "== drawer (a tap beside it closes it)";
    std::string name = dynamic_cast<platform::ui::AlertController*>(&controller) ? "alert" : controller.className();
    if (controller.presentingViewController()) name += " (presented)";
    return "== " + name;
}

std::string buttonText(const platform::ui::Button& button) {
    std::string text = "[" + buttonName(button) + "]";
    if (!button.isEnabled()) text += " (disabled)";
    if (button.isSelected()) text += " (selected)";
    return text;
}

std::string fieldText(const platform::ui::TextField& field) {
    std::string name = field.accessibilityIdentifier().empty() ? "field" : field.accessibilityIdentifier();
    std::string text = name + ": \"" + field.text() + "\"";
    if (field.text().empty() && !field.placeholder().empty()) text += " (placeholder \"" + field.placeholder() + "\")";
    if (field.isFirstResponder()) text += " (focused)";
    if (!field.isEnabled()) text += " (disabled)";
    return text;
}

std::string tabBarText(const platform::material::TabBar& bar) {
    std::string text = "tabs:";
    auto selected = bar.selectedTabItem();
    for (const auto& item : bar.tabItems()) {
        std::string title = oneLine(item->currentTitle().value_or(""));
        if (item == selected) title = "<" + title + ">";
        if (!item->isEnabled()) title += " (disabled)";
        text += " " + title;
    }
    return text;
}

void walk(const View& view, int depth, Lines& out);

// Top to bottom, then left to right, as a person reads; a window keeps
// its order, which is the order of presentation.
void walkChildren(const View& view, int depth, Lines& out) {
    auto subviews = view.subviews();
    if (!dynamic_cast<const platform::ui::Window*>(&view)) {
        std::stable_sort(subviews.begin(), subviews.end(), [](const auto& a, const auto& b) {
            const auto fa = a->frame(), fb = b->frame();
            return fa.origin.y != fb.origin.y ? fa.origin.y < fb.origin.y : fa.origin.x < fb.origin.x;
        });
    }
    for (const auto& sub : subviews) walk(*sub, depth, out);
}

// A row of a horizontal stack (a row of keys) reads as one line.
bool describeRow(const platform::ui::StackView& stack, int depth, Lines& out) {
    if (stack.axis() != platform::ui::LayoutAxis::horizontal) return false;
    Lines items;
    for (const auto& item : stack.arrangedSubviews()) walk(*item, 0, items);
    if (items.empty() || std::any_of(items.begin(), items.end(), [](const Line& l) { return l.depth != 0; })) {
        return false;
    }
    std::string text;
    for (const auto& item : items) text += (text.empty() ? "" : " ") + item.text;
    out.push_back({depth, text});
    return true;
}

// The lines of what a cell or header shows, without its own heading.
Lines contentLines(const View& view) {
    Lines lines;
    walkChildren(view, 0, lines);
    return lines;
}

// One line when the content is one line, else a heading with the content below.
void addItem(const std::string& label, const Lines& content, int depth, Lines& out) {
    if (content.size() == 1) {
        out.push_back({depth, label + " " + content.front().text});
        return;
    }
    out.push_back({depth, label + (content.empty() ? "" : ":")});
    for (const auto& line : content) out.push_back({depth + 1 + line.depth, line.text});
}

void describeToolbar(const platform::material::Toolbar& bar, int depth, Lines& out) {
    std::string text = "toolbar";
    if (auto title = bar.title(); title && !trimmed(*title).empty()) text += " \"" + oneLine(*title) + "\"";
    for (const auto& views : {bar.leftViews(), bar.rightViews()}) {
        for (const auto& item : views) {
            if (auto* button = dynamic_cast<const platform::ui::Button*>(item.get()); button && shown(*button)) {
                text += " " + buttonText(*button);
            }
        }
    }
    out.push_back({depth, text});
}

// Rows off screen are counted, not made: a table makes cells for the rows it shows.
void describeHidden(int hidden, int depth, Lines& out) {
    if (hidden > 0) out.push_back({depth, "(" + std::to_string(hidden) + (hidden == 1 ? " row" : " rows") +
                                              " out of sight)"});
}

void describeTable(platform::ui::TableView& table, int depth, Lines& out) {
    auto visible = table.indexPathsForVisibleRows();
    const int sections = table.numberOfSections();
    // In edit mode rows show their delete and move controls.
    out.push_back({depth, table.isEditing() ? "table (editing)" : "table"});
    for (int section = 0; section < sections; ++section) {
        const int rows = table.numberOfRows(section);
        Lines header;
        if (auto view = table.headerView(section); view && view->frame().height() > 0) header = contentLines(*view);
        if (!header.empty() || sections > 1) addItem("section " + std::to_string(section), header, depth + 1, out);
        int hidden = 0;
        for (int row = 0; row < rows; ++row) {
            const IndexPath path{section, row};
            auto cell = std::find(visible.begin(), visible.end(), path) != visible.end() ? table.cellForRow(path)
                                                                                         : nullptr;
            if (!cell || !inSight(*cell)) {
                ++hidden;
                continue;
            }
            describeHidden(hidden, depth + 2, out);
            hidden = 0;
            std::string label = std::to_string(section) + "." + std::to_string(row);
            if (cell->isSelected()) label += " (selected)";
            addItem(label, contentLines(*cell), depth + 2, out);
        }
        describeHidden(hidden, depth + 2, out);
    }
}

std::optional<std::string> scrollText(const platform::ui::ScrollView& scroll);

// A row of cards wider than itself says where it stands, as other scroll
// views do, before the cards it shows.
void describeCollection(platform::ui::CollectionView& collection, int depth, Lines& out) {
    if (auto text = scrollText(collection)) out.push_back({depth, *text});
    auto visible = collection.indexPathsForVisibleItems();
    std::sort(visible.begin(), visible.end());
    int total = 0;
    for (int section = 0; section < collection.numberOfSections(); ++section) total += collection.numberOfItems(section);
    out.push_back({depth, "items (" + std::to_string(total) + ")"});
    for (const auto& path : visible) {
        if (auto cell = collection.cellForItem(path); cell && inSight(*cell)) {
            addItem("item " + std::to_string(path.row), contentLines(*cell), depth + 1, out);
        }
    }
}

std::string chartText(const platform::charts::AAChartView& chart) {
    const auto& options = chart.chartOptions();
    if (!options) return "chart (empty)";
    std::string text = "chart \"" + oneLine(options->title.text) + "\"";
    text += " (" + std::to_string(options->series.size()) + (options->series.size() == 1 ? " series)" : " series)");
    return text;
}

// The stars read as the rating they show, then one name a star for `tap`.
std::string starsText(const platform::rating::StarRatingView& stars) {
    const int count = static_cast<int>(stars.starFills().size());
    std::string text = "stars: " + platform::gfx::formatNumber(stars.rating()) + " of " + std::to_string(count);
    for (int number = 1; number <= count; ++number) text += " [" + starName(number) + "]";
    return text;
}

// A scroll view says where it stands only when its content is larger than
// itself: then part of what it holds is out of sight.
std::optional<std::string> scrollText(const platform::ui::ScrollView& scroll) {
    const auto size = scroll.contentSize();
    const auto shown = scroll.bounds().size;
    if (size.width <= shown.width + 0.5 && size.height <= shown.height + 0.5) return std::nullopt;
    const auto offset = scroll.contentOffset();
    auto number = [](double value) { return platform::gfx::formatNumber(std::round(value)); };
    return "scroll view at " + number(offset.x) + "," + number(offset.y) + " of " + number(size.width) + "x" +
           number(size.height) + " (" + number(shown.width) + "x" + number(shown.height) + " shown)";
}

// A share sheet names what it shares before what it offers: its pictures
// are drawn, not written, so they get a line each here.
void describeSharedItems(const platform::ui::ActivityViewController& sheet, int depth, Lines& out) {
    for (const auto& item : sheet.activityItems()) {
        if (const auto* image = std::get_if<platform::gfx::Image>(&item)) {
            out.push_back({depth, "sharing a picture of " + platform::gfx::formatNumber(image->size().width) + "x" +
                                      platform::gfx::formatNumber(image->size().height) + " points"});
        }
    }
}

std::string videoText(const platform::video::YTPlayerView& player) {
    auto load = player.currentLoad();
    if (!load) return "video (none)";
    return "video " + load->videoId + (player.isReady() ? "" : " (loading)");
}

// A leaf that shows something: its line, or nothing.
bool describeLeaf(View& view, int depth, Lines& out) {
    if (auto* bar = dynamic_cast<platform::material::Toolbar*>(&view)) {
        describeToolbar(*bar, depth, out);
    } else if (auto* tabs = dynamic_cast<platform::material::TabBar*>(&view)) {
        out.push_back({depth, tabBarText(*tabs)});
    } else if (auto* table = dynamic_cast<platform::ui::TableView*>(&view)) {
        describeTable(*table, depth, out);
    } else if (auto* collection = dynamic_cast<platform::ui::CollectionView*>(&view)) {
        describeCollection(*collection, depth, out);
    } else if (auto* field = dynamic_cast<platform::ui::TextField*>(&view)) {
        out.push_back({depth, fieldText(*field)});
    } else if (auto* button = dynamic_cast<platform::ui::Button*>(&view)) {
        out.push_back({depth, buttonText(*button)});
    } else if (auto* math = dynamic_cast<platform::math::MTMathUILabel*>(&view)) {
        if (!math->latex().empty()) out.push_back({depth, "latex: " + math->latex()});
    } else if (auto* label = dynamic_cast<platform::ui::Label*>(&view)) {
        if (!trimmed(label->text()).empty()) out.push_back({depth, "\"" + oneLine(label->text()) + "\""});
    } else if (auto* chart = dynamic_cast<platform::charts::AAChartView*>(&view)) {
        out.push_back({depth, chartText(*chart)});
    } else if (auto* player = dynamic_cast<platform::video::YTPlayerView*>(&view)) {
        out.push_back({depth, videoText(*player)});
    } else if (auto* stars = dynamic_cast<platform::rating::StarRatingView*>(&view)) {
        out.push_back({depth, starsText(*stars)});
    } else if (auto* stack = dynamic_cast<platform::ui::StackView*>(&view); stack && describeRow(*stack, depth, out)) {
    } else {
        return false;
    }
    return true;
}

void walk(const View& constView, int depth, Lines& out) {
    if (!shown(constView)) return;
    View& view = const_cast<View&>(constView);
    // The overlay over the whole window while the application is busy.
    if (view.tag() == ViewManager::loadingOverlayTag && dynamic_cast<platform::ui::Window*>(view.superviewPointer())) {
        out.push_back({depth, "== loading overlay (busy: nothing under it takes a tap)"});
        return;
    }
    if (auto* controller = view.viewController(); controller && isPage(*controller)) {
        out.push_back({depth, heading(*controller)});
        ++depth;
        if (auto* sheet = dynamic_cast<platform::ui::ActivityViewController*>(controller)) {
            describeSharedItems(*sheet, depth, out);
        }
    }
    // A leaf out of sight is left out.
    if (Lines leaf; describeLeaf(view, depth, leaf)) {
        if (inSight(view)) out.insert(out.end(), leaf.begin(), leaf.end());
        return;
    }
    if (auto* scroll = dynamic_cast<platform::ui::ScrollView*>(&view); scroll && inSight(view)) {
        if (auto text = scrollText(*scroll)) out.push_back({depth, *text});
    }
    walkChildren(view, depth, out);
}

std::string render(const Lines& lines) {
    std::string text;
    for (const auto& line : lines) text += std::string(static_cast<std::size_t>(line.depth) * 2, ' ') + line.text + "\n";
    return text;
}

}  // namespace

std::string buttonName(const platform::ui::Button& button) {
    if (auto title = button.currentTitle(); title && !trimmed(*title).empty()) return oneLine(*title);
    if (!button.accessibilityIdentifier().empty()) return button.accessibilityIdentifier();
    if (auto image = button.currentImage(); image && !image->name().empty()) return image->name();
    return "button";
}

namespace {
constexpr const char* kStarPrefix = "star ";
}

std::string starName(int number) { return kStarPrefix + std::to_string(number); }

std::optional<int> starNumber(const std::string& name) {
    const std::string prefix = kStarPrefix;
    if (name.size() <= prefix.size() || name.size() > prefix.size() + 3 || name.compare(0, prefix.size(), prefix) != 0) {
        return std::nullopt;
    }
    const std::string digits = name.substr(prefix.size());
    if (!std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) return std::nullopt;
    return std::stoi(digits);
}

std::optional<std::string> starAsked(const std::string& name) {
    const std::string prefix = kStarPrefix;
    if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0) return std::nullopt;
    return name.substr(prefix.size());
}

std::string describeView(const View& view) {
    Lines lines;
    walk(view, 0, lines);
    return render(lines);
}

std::string describeScreen(const platform::ui::Window& window) {
    const_cast<platform::ui::Window&>(window).layoutIfNeeded();
    Lines lines;
    walkChildren(window, 0, lines);
    if (lines.empty()) lines.push_back({0, "(nothing on screen)"});
    return render(lines);
}

}  // namespace velmora::runner
