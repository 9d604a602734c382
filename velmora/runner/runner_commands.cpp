// The built-in commands of the runner: looking at the screen, acting as a user, moving time, reading what was stored.
#include "velmora/runner/runner_commands.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstring>
#include <ostream>
#include <utility>

#include "measurement/core/arurerudo.h"
#include "measurement/core/stored_data.h"
#include "platform/foundation/url.h"
#include "platform/foundation/user_defaults.h"
#include "platform/frameworks/app_core/open_url_delegate.h"
#include "platform/frameworks/material/navigation_drawer.h"
#include "platform/frameworks/star_rating/star_rating_view.h"
#include "platform/gfx/utf8_text.h"
#include "platform/render/screen_snapshot.h"
#include "platform/ui/alert_controller.h"
#include "platform/ui/application.h"
#include "platform/ui/collection_view.h"
#include "platform/ui/control.h"
#include "platform/ui/interaction.h"
#include "platform/ui/label.h"
#include "platform/ui/scroll_view.h"
#include "platform/ui/table_view.h"
#include "platform/ui/text_field.h"
#include "velmora/runner/app_session.h"
#include "velmora/runner/check_command.h"
#include "velmora/runner/cover.h"
#include "velmora/runner/screen_text.h"
#include "velmora/runner/value_text.h"
#include "velmora/screens/calculate_view_controller.h"
#include "velmora/screens/controller_utilities.h"
#include "velmora/shell/navigation_chrome.h"

namespace velmora::runner {

namespace {

using platform::ui::View;

std::shared_ptr<platform::ui::Window> windowOf(CommandContext& context) {
    auto window = context.session.window();
    if (!window) context.out << "the application has no window\n";
    return window;
}

bool shownOnScreen(const View& view) { return !view.isHiddenOnScreen() && view.alpha() > 0.01; }

// What receives touches: the page presented last, else the whole window.
std::shared_ptr<View> topLayer(platform::ui::Window& window) {
    auto top = window.topViewController();
    if (top && top != window.rootViewController() && top->viewIfLoaded()) return top->viewIfLoaded();
    return window.sharedAs<View>();
}

// Says why the touch meant for `what` did not reach it, then `ending`. A
// touch on the open drawer's shade closes the drawer, as the drawer does.
void refuse(CommandContext& context, View& view, const std::string& what, const Touch& touch,
            const std::string& ending = "") {
    if (touch.cover->kind == CoverKind::besideDrawer) {
        if (auto window = view.window()) tapShade(*window, touch.at);
    }
    context.out << refusal(what, *touch.cover) << ending << "\n";
}

// Where a finger aimed at the view lands on it; none, with why said, when
// something else takes the touch or the view is out of sight.
std::optional<platform::gfx::Point> landing(CommandContext& context, View& view, const std::string& what,
                                            const std::string& ending = "") {
    auto touch = touchOn(view);
    if (!touch.cover) return touch.at;
    refuse(context, view, what, touch, ending);
    return std::nullopt;
}

// Whether a view is drawn where a person could see it: on screen, or, for
// a row made apart from its table, within that row.
using ShownTest = std::function<bool(const View&)>;

// A row shows a text only where a person can read it: in sight.
bool labelSays(View& root, const std::string& text, const ShownTest& shown) {
    return !platform::ui::findViews(root, [&](const View& v) {
                auto* label = dynamic_cast<const platform::ui::Label*>(&v);
                return label && shown(*label) && trimmed(label->text()) == text && !partInSight(*label).isEmpty();
            }).empty();
}

// Views that answer to a title or identifier, best first: identifiers,
// then buttons by title, then table rows and collection items by a text
// they show.
std::vector<std::shared_ptr<View>> targets(View& root, const std::string& target,
                                           const ShownTest& shown = shownOnScreen) {
    auto shownWhere = [&](const std::function<bool(View&)>& match) {
        return platform::ui::findViews(root, [&](const View& v) { return shown(v) && match(const_cast<View&>(v)); });
    };
    std::vector<std::shared_ptr<View>> found = shownWhere([&](View& v) { return v.accessibilityIdentifier() == target; });
    // A button answers to the name the screen shows for it: its title, else
    // its identifier, else its image's name ("ic_clear").
    for (auto& v : shownWhere([&](View& v) {
             auto* button = dynamic_cast<platform::ui::Button*>(&v);
             return button && buttonName(*button) == target && button->accessibilityIdentifier() != target;
         })) {
        found.push_back(v);
    }
    for (auto& v : shownWhere([&](View& v) {
             return (dynamic_cast<platform::ui::TableViewCell*>(&v) ||
                     dynamic_cast<platform::ui::CollectionViewCell*>(&v)) &&
                    labelSays(v, target, shown);
         })) {
        found.push_back(v);
    }
    return found;
}

// Whether nothing between the view and the row it lies in hides it.
bool shownInRow(const View& view, const View& row) {
    for (const View* v = &view; v; v = v->superviewPointer()) {
        if (v->isHidden() || v->alpha() <= 0.01) return false;
        if (v == &row) return true;
    }
    return false;
}

// The row, out of sight, of a table shown on the layer that holds what
// answers to the name. A table makes cells only for the rows it shows, so
// its data source makes one apart for each other row, as large as the row,
// and the cell is let go once looked at.
std::optional<platform::ui::IndexPath> rowOutOfSightHolding(View& layer, const std::string& target) {
    for (auto& shown : platform::ui::findViews(layer, [](const View& v) {
             return dynamic_cast<const platform::ui::TableView*>(&v) && shownOnScreen(v);
         })) {
        auto& table = static_cast<platform::ui::TableView&>(*shown);
        auto source = table.dataSource();
        if (!source) continue;
        for (int section = 0; section < table.numberOfSections(); ++section) {
            for (int row = 0; row < table.numberOfRows(section); ++row) {
                const platform::ui::IndexPath path{section, row};
                if (table.cellForRow(path)) continue;  // its cell is on screen and was looked at
                auto cell = source->cellForRow(table, path);
                if (!cell) continue;
                cell->setFrame({0, 0, table.bounds().width(), table.rectForRow(path).height()});
                cell->layoutIfNeeded();
                if (!targets(*cell, target, [&](const View& v) { return shownInRow(v, *cell); }).empty()) return path;
            }
        }
    }
    return std::nullopt;
}

std::vector<std::shared_ptr<View>> shownStars(View& root) {
    return platform::ui::findViews(root, [](const View& v) {
        return dynamic_cast<const platform::rating::StarRatingView*>(&v) && shownOnScreen(v);
    });
}

// "star N" chooses that many stars of the rating shown, as a touch ending
// on the star would; any other "star ..." is answered with the rating's
// rule. None when no rating is on the screen.
std::optional<bool> tapStar(CommandContext& context, platform::ui::Window& window, View& layer,
                            const std::string& target) {
    const auto asked = starAsked(target);
    if (!asked) return std::nullopt;
    const auto number = starNumber(target);
    auto found = shownStars(layer);
    if (found.empty()) {
        auto under = shownStars(window);
        if (under.empty()) return std::nullopt;
        if (!landing(context, *under.front(), "the rating's stars")) return false;
        found = under;
    }
    auto stars = std::static_pointer_cast<platform::rating::StarRatingView>(found.front());
    const int count = static_cast<int>(stars->starFills().size());
    if (!number || *number < 1 || *number > count) {
        context.out << "the rating has stars 1 to " << count << ", not " << *asked << "\n";
        return false;
    }
    if (!landing(context, *stars, "the rating's stars")) return false;
    if (!stars->touch(*number)) {
        context.out << "the stars do not respond to touch\n";
        return false;
    }
    context.out << "tapped " << target << ": rating " << platform::gfx::formatNumber(stars->rating()) << "\n";
    return true;
}

// Whether a tap meant for the view may land on it though the open drawer
// takes the touch: the menu button stays in reach of its own drawer, which
// it closes as a tap beside the drawer does.
bool reachedThroughDrawer(const View& view, const Touch& touch) {
    return touch.cover && (touch.cover->kind == CoverKind::drawer || touch.cover->kind == CoverKind::besideDrawer) &&
           view.accessibilityIdentifier() == AppToolbarController::menuButtonIdentifier;
}

// Nothing on screen answers to the name: said, with the command that brings
// it in when it lies in a row out of sight.
bool refuseUnseen(CommandContext& context, platform::ui::Window& window, View& layer, const std::string& target) {
    auto path = rowOutOfSightHolding(layer, target);
    if (!path && &layer != &window) path = rowOutOfSightHolding(window, target);
    if (path) {
        const std::string command = "scroll " + std::to_string(path->section) + " " + std::to_string(path->row);
        context.out << refusal("\"" + target + "\"", {CoverKind::outOfSight, command + " brings its row to the top"})
                    << "\n";
    } else {
        context.out << "nothing on screen is titled or identified \"" << target << "\"\n";
    }
    return false;
}

// Taps what answers to the name on what a person sees on top, where the
// finger lands on it; what lies under a cover or out of sight is refused,
// saying what covers it or how to bring it in.
bool tapTarget(CommandContext& context, const std::string& target) {
    auto window = windowOf(context);
    if (!window) return false;
    window->layoutIfNeeded();
    auto layer = topLayer(*window);
    if (auto starred = tapStar(context, *window, *layer, target)) return *starred;
    auto found = targets(*layer, target);
    if (found.empty()) found = targets(*window, target);
    if (found.empty()) return refuseUnseen(context, *window, *layer, target);
    std::shared_ptr<View> firstRefused;
    Touch refused;
    for (auto& view : found) {
        auto touch = touchOn(*view);
        if (touch.cover && !reachedThroughDrawer(*view, touch)) {
            if (!firstRefused) {
                firstRefused = view;
                refused = touch;
            }
            continue;
        }
        if (touch.cover ? platform::ui::tap(*view) : platform::ui::tap(*view, touch.at)) {
            context.out << "tapped " << target << "\n";
            return true;
        }
    }
    if (firstRefused) {
        refuse(context, *firstRefused, "\"" + target + "\"", refused);
    } else {
        context.out << "\"" << target << "\" is on screen but does not respond (disabled)\n";
    }
    return false;
}

std::shared_ptr<platform::ui::TableView> firstTable(View& root) {
    auto found = platform::ui::findViews(root, [](const View& v) {
        return dynamic_cast<const platform::ui::TableView*>(&v) && shownOnScreen(v);
    });
    return found.empty() ? nullptr : std::static_pointer_cast<platform::ui::TableView>(found.front());
}

// The table the user would touch: the drawer's menu while it is open, else
// the first table shown on the top layer.
std::shared_ptr<platform::ui::TableView> tableOnTop(platform::ui::Window& window) {
    auto layer = topLayer(window);
    auto drawer = std::dynamic_pointer_cast<platform::material::NavigationDrawerController>(window.rootViewController());
    if (layer.get() == &window && drawer && drawer->isLeftViewOpened() && drawer->leftViewController()) {
        if (auto menu = drawer->leftViewController()->viewIfLoaded()) layer = menu;
    }
    return firstTable(*layer);
}

std::optional<int> number(const std::string& text) {
    try {
        std::size_t used = 0;
        int value = std::stoi(text, &used);
        if (used == text.size()) return value;
    } catch (const std::exception&) {
    }
    return std::nullopt;
}

// The row S R of the table on top, checked; none (and why) otherwise.
std::optional<platform::ui::IndexPath> rowArgument(CommandContext& context, const CommandArguments& arguments,
                                                   platform::ui::TableView& table) {
    if (arguments.words.size() != 2 || !number(arguments.words[0]) || !number(arguments.words[1])) {
        context.out << "give a section and a row as numbers: row 0 1\n";
        return std::nullopt;
    }
    const int section = *number(arguments.words[0]), row = *number(arguments.words[1]);
    if (section < 0 || section >= table.numberOfSections()) {
        context.out << "the table has no section " << section << " (it has " << table.numberOfSections() << ")\n";
        return std::nullopt;
    }
    if (row < 0 || row >= table.numberOfRows(section)) {
        context.out << "section " << section << " has no row " << row << " (it has " << table.numberOfRows(section)
                    << ")\n";
        return std::nullopt;
    }
    return platform::ui::IndexPath{section, row};
}

// The table a command aims at: the one on top, else one a presented page
// covers, which the command then refuses, saying what covers it.
std::shared_ptr<platform::ui::TableView> requireTable(CommandContext& context) {
    auto window = windowOf(context);
    if (!window) return nullptr;
    window->layoutIfNeeded();
    auto table = tableOnTop(*window);
    if (!table) table = firstTable(*window);
    if (!table) context.out << "no table is on screen\n";
    return table;
}

std::string rowText(platform::ui::IndexPath path) {
    return "row " + std::to_string(path.section) + " " + std::to_string(path.row);
}

// The table on top and the row S R of it the arguments name.
struct RowInView {
    std::shared_ptr<platform::ui::TableView> table;
    platform::ui::IndexPath path;
};

// A row a finger touches where it stands: its cell in sight, where the
// finger lands on it. Nothing scrolls on the way: a row out of sight is
// refused with the command that brings it in, as a control out of sight is.
// The one rule of every command that touches a row; `what` names the row.
bool rowInReach(CommandContext& context, platform::ui::TableView& table, platform::ui::IndexPath path,
                const std::string& what) {
    if (auto cell = table.cellForRow(path)) return landing(context, *cell, what).has_value();
    context.out << refusal(what, {CoverKind::outOfSight, "scroll " + std::to_string(path.section) + " " +
                                                             std::to_string(path.row) + " brings it to the top"})
                << "\n";
    return false;
}

// The row the arguments name, none (and why) when there is no such row or
// the table takes no touch. A row `touched` must be in reach where it
// stands; any other is scrolled to the table's top, as `scroll` does.
std::optional<RowInView> rowInView(CommandContext& context, const CommandArguments& arguments, bool touched) {
    auto table = requireTable(context);
    if (!table) return std::nullopt;
    auto path = rowArgument(context, arguments, *table);
    if (!path || !landing(context, *table, rowText(*path))) return std::nullopt;
    if (touched) {
        if (!rowInReach(context, *table, *path, rowText(*path))) return std::nullopt;
    } else {
        table->scrollToRow(*path, platform::ui::TableViewScrollPosition::top, false);
        table->layoutIfNeeded();
    }
    return RowInView{std::move(table), *path};
}

bool tapRow(CommandContext& context, const CommandArguments& arguments) {
    auto row = rowInView(context, arguments, true);
    if (!row) return false;
    const auto& [table, path] = *row;
    if (!table->tapRow(path)) {
        context.out << rowText(path) << " does not respond\n";
        return false;
    }
    context.out << "tapped " << rowText(path) << "\n";
    return true;
}

bool scrollToRow(CommandContext& context, const CommandArguments& arguments) {
    auto row = rowInView(context, arguments, false);
    if (!row) return false;
    context.out << "scrolled to " << rowText(row->path) << "\n";
    return true;
}

// A swipe across a row and on to its end: the row's delete action, which
// the page carries out or not.
bool swipeRow(CommandContext& context, const CommandArguments& arguments) {
    auto row = rowInView(context, arguments, true);
    if (!row) return false;
    const auto& [table, path] = *row;
    const int before = table->numberOfRows(path.section);
    if (!table->commitEditingStyle(path)) {
        context.out << rowText(path) << " cannot be swiped away (the page does not let it be deleted)\n";
        return false;
    }
    context.session.settle();
    const bool gone = table->numberOfRows(path.section) < before;
    // Said as a drag's outcome is: what the page kept, the row, not the
    // swipe.
    context.out << "swiped " << rowText(path) << (gone ? ": deleted" : ": the page did not delete it, and kept the row")
                << "\n";
    return true;
}

// Whether the page took its rows afresh among the table's updates since
// `since`: after a drag, the rows put back as they were, the move not kept.
bool rowsTakenAfresh(const platform::ui::TableView& table, std::size_t since) {
    const auto& updates = table.updateHistory();
    return std::any_of(updates.begin() + static_cast<std::ptrdiff_t>(std::min(since, updates.size())), updates.end(),
                       [](const auto& update) { return update.kind == platform::ui::TableUpdate::Kind::reloadData; });
}

// A row dragged by its handle, in edit mode, to where another row is; as
// with a swipe, what the page made of it is said.
bool dragRow(CommandContext& context, const CommandArguments& arguments) {
    if (arguments.words.size() != 4) {
        context.out << "give the row and where it goes, as section and row each: drag 0 0 0 2\n";
        return false;
    }
    auto table = requireTable(context);
    if (!table) return false;
    auto from = rowArgument(context, {{arguments.words[0], arguments.words[1]}, {}}, *table);
    if (!from) return false;
    auto to = rowArgument(context, {{arguments.words[2], arguments.words[3]}, {}}, *table);
    if (!to) return false;
    if (!landing(context, *table, rowText(*from)) || !rowInReach(context, *table, *from, rowText(*from))) return false;
    if (!table->isEditing()) {
        context.out << "rows move only in edit mode: tap the page's edit button first\n";
        return false;
    }
    const std::size_t updatesBefore = table->updateHistory().size();
    if (!table->dragRow(*from, *to)) {
        context.out << rowText(*from) << " cannot be moved to " << rowText(*to) << "\n";
        return false;
    }
    context.session.settle();
    const bool kept = !rowsTakenAfresh(*table, updatesBefore);
    context.out << "dragged " << rowText(*from) << " to " << rowText(*to)
                << (kept ? "" : ": the page did not keep it, and put the rows back") << "\n";
    return true;
}

// What a pan moves: every scroll view but a table, which `scroll` moves by
// its rows; a row of cards (a collection view) is one.
bool pannable(const View& view) {
    return dynamic_cast<const platform::ui::ScrollView*>(&view) && !dynamic_cast<const platform::ui::TableView*>(&view) &&
           shownOnScreen(view);
}

bool largerInside(const View& view) {
    const auto& scroll = static_cast<const platform::ui::ScrollView&>(view);
    const auto size = scroll.contentSize();
    const auto shown = scroll.bounds().size;
    return size.width > shown.width + 0.5 || size.height > shown.height + 0.5;
}

// "1.2": a section and a row.
bool namesRow(const std::string& where) {
    const auto dot = where.find('.');
    return dot != std::string::npos && number(where.substr(0, dot)) && number(where.substr(dot + 1));
}

// The scroll view a pan names: the first inside row "S.R" of the table on
// top, the one with that identifier, or (none named) the first with
// content out of sight, on the top layer first. None, with why printed,
// when there is none.
std::shared_ptr<platform::ui::ScrollView> scrollViewNamed(CommandContext& context, const std::string& where) {
    auto window = windowOf(context);
    if (!window) return nullptr;
    window->layoutIfNeeded();
    std::shared_ptr<View> within = topLayer(*window);
    std::string identifier = where;
    bool inRow = false;
    if (namesRow(where)) {
        const auto dot = where.find('.');
        auto table = requireTable(context);
        if (!table) return nullptr;
        auto path = rowArgument(context, {{where.substr(0, dot), where.substr(dot + 1)}, {}}, *table);
        if (!path || !landing(context, *table, "row " + where) || !rowInReach(context, *table, *path, "row " + where)) {
            return nullptr;
        }
        within = table->cellForRow(*path);
        identifier.clear();
        inRow = true;
    }
    auto inside = [&](View& root) {
        return platform::ui::findViews(root, [&](const View& v) {
            return pannable(v) && (identifier.empty() || v.accessibilityIdentifier() == identifier);
        });
    };
    auto found = inside(*within);
    // What lies only under a presented page is found too, for the pan to
    // say what covers it.
    const bool underToo = !inRow && within.get() != window.get();
    if (where.empty()) {
        // None named: the first on top with content out of sight; else one
        // under the page presented on top, which covers it.
        const auto moves = [](const std::shared_ptr<View>& v) { return largerInside(*v); };
        auto moving = std::find_if(found.begin(), found.end(), moves);
        if (moving != found.end()) return std::static_pointer_cast<platform::ui::ScrollView>(*moving);
        found.clear();
        if (underToo) {
            found = inside(*window);
            std::erase_if(found, [&](const auto& v) { return v->isDescendantOf(within.get()); });
            std::stable_partition(found.begin(), found.end(), moves);
        }
        if (found.empty() && window->rootViewController()) {
            // Nothing to move on the page either: what covers it is all
            // a finger meets.
            auto page = window->rootViewController()->viewIfLoaded();
            if (page && !landing(context, *page, "the page")) return nullptr;
        }
        if (found.empty()) {
            context.out << "no scroll view on screen has content out of sight\n";
            return nullptr;
        }
    } else if (found.empty() && underToo) {
        found = inside(*window);
    }
    if (found.empty()) {
        context.out << "no scroll view is in or named \"" << where << "\"\n";
        return nullptr;
    }
    return std::static_pointer_cast<platform::ui::ScrollView>(found.front());
}

std::optional<double> distance(const std::string& text) {
    try {
        std::size_t used = 0;
        const double value = std::stod(text, &used);
        if (used == text.size() && std::isfinite(value)) return value;
    } catch (const std::exception&) {
    }
    return std::nullopt;
}

// A finger moving the content of a scroll view, sideways and up or down:
// "to X Y" puts that point of the content at the view's top left, "by DX
// DY" moves it on from where it is. The content stops at its edges, as a
// scroll view springs back to them.
bool panScrollView(CommandContext& context, const CommandArguments& arguments) {
    const auto& words = arguments.words;
    const std::string usage = "give where, then \"to X Y\" or \"by X Y\" in points: pan 1.2 by 300 0\n";
    if (words.size() != 3 && words.size() != 4) {
        context.out << usage;
        return false;
    }
    const std::size_t first = words.size() - 3;
    const std::string& how = words[first];
    const auto x = distance(words[first + 1]), y = distance(words[first + 2]);
    if ((how != "to" && how != "by") || !x || !y) {
        context.out << usage;
        return false;
    }
    const std::string where = first == 1 ? words[0] : std::string();
    auto scroll = scrollViewNamed(context, where);
    // The row is in reach by now: what may lie out of sight is the scroll
    // view inside it, which the finger has to land on.
    const std::string what = namesRow(where) ? "the scroll view in row " + where
                             : where.empty()   ? "the scroll view"
                                               : "the scroll view \"" + where + "\"";
    if (!scroll || !landing(context, *scroll, what)) return false;
    if (!scroll->isScrollEnabled() || !scroll->isUserInteractionEnabled()) {
        context.out << "the scroll view does not scroll\n";
        return false;
    }
    platform::gfx::Point wanted{*x, *y};
    if (how == "by") wanted = {scroll->contentOffset().x + *x, scroll->contentOffset().y + *y};
    scroll->setContentOffset(scroll->clampedOffset(wanted), false);
    context.session.settle();
    const auto now = scroll->contentOffset();
    context.out << "panned to " << platform::gfx::formatNumber(std::round(now.x)) << ","
                << platform::gfx::formatNumber(std::round(now.y))
                << (now == wanted ? "" : " (the content ends there)") << "\n";
    return true;
}

std::shared_ptr<CalculateViewController> calculatorOnScreen(platform::ui::Window& window) {
    auto found = platform::ui::findViews(window, [](const View& v) {
        return dynamic_cast<CalculateViewController*>(v.viewController()) && shownOnScreen(v);
    });
    if (found.empty()) return nullptr;
    return std::dynamic_pointer_cast<CalculateViewController>(
        found.front()->viewController()->sharedAs<platform::ui::ViewController>());
}

// A key of the keypad: its title, or the button itself for the delete and
// calculate keys, which show images.
struct Key {
    std::string title;
    std::shared_ptr<platform::ui::Button> button;
};

// The keys a word stands for: the name of a special key, else its
// characters, "pi" among them the pi key wherever it stands ("pi/4"), as
// `velmora calc` reads p.
std::vector<Key> keysOf(const std::string& word, CalculateViewController& page) {
    const std::vector<std::pair<std::vector<std::string>, Key>> names = {
        {{"del", "delete", "\xE2\x8C\xAB"}, {"del", page.deleteButton}},
        {{"calc", "calculate", "\xE2\x9C\x93"}, {"calc", page.calculateButton}},
    };
    for (const auto& [aliases, key] : names) {
        if (std::find(aliases.begin(), aliases.end(), word) != aliases.end()) return {key};
    }
    const std::u32string characters = platform::gfx::decodeUTF8(word);
    std::vector<Key> keys;
    for (std::size_t i = 0; i < characters.size(); ++i) {
        if (characters[i] == U'p' && i + 1 < characters.size() && characters[i + 1] == U'i') {
            keys.push_back({"\xCF\x80", nullptr});
            ++i;
        } else {
            keys.push_back({platform::gfx::encodeUTF8(std::u32string(1, characters[i])), nullptr});
        }
    }
    return keys;
}

// The most keys one key command presses. Each key makes the page take in
// its whole field again, so a line's cost grows with the square of its
// keys; far more than any calculation needs.
constexpr std::size_t kMostKeysALine = 1000;

bool withinKeyLimit(const std::vector<std::string>& words, CalculateViewController& page) {
    std::size_t keys = 0;
    for (const auto& word : words) {
        // A character takes at most four bytes: a longer word is too many
        // keys without reading it.
        if (word.size() > 4 * kMostKeysALine) return false;
        keys += keysOf(word, page).size();
        if (keys > kMostKeysALine) return false;
    }
    return true;
}

// The keypad types into the field being edited; with none, every key but
// the calculate key does nothing.
bool typesIntoAField(const Key& key, CalculateViewController& page) {
    if (key.button && key.button == page.calculateButton) return true;
    auto field = page.currentTextField.lock();
    return field && field->isFirstResponder();
}

// Why a key of the keypad does not respond: the page's rule for the decimal
// point, else what keeps any button from a touch.
std::string whyKeyIsDead(const Key& key, CalculateViewController& page) {
    const auto field = page.currentTextField.lock();
    if (key.title == "." && field && field != page.pTextField) {
        return "the keypad takes a decimal point in the p field only, as k and n are whole numbers";
    }
    return "it is disabled or covered";
}

// Whether every key of a line is in reach, said as a person sees it when
// one is not: what covers the whole keypad, else the first key out of
// reach. Looked at before a key is pressed, so that nothing is typed under a
// cover; a touch on the open drawer's shade closes the drawer.
bool keysInReach(CommandContext& context, const std::vector<std::string>& words, CalculateViewController& page) {
    constexpr const char* nothingPressed = "; nothing pressed";
    if (auto cover = coverOf(*page.keypadStackView);
        cover && (cover->kind == CoverKind::presented || cover->kind == CoverKind::overlay)) {
        context.out << refusal("the keypad", *cover) << nothingPressed << "\n";
        return false;
    }
    for (const auto& word : words) {
        for (const auto& key : keysOf(word, page)) {
            auto button = key.button ? key.button : findFlatButton(key.title, *page.keypadStackView);
            if (!button) continue;  // named as missing when its turn comes
            if (!landing(context, *button, "the key \"" + key.title + "\"", nothingPressed)) return false;
        }
    }
    return true;
}

bool pressKeys(CommandContext& context, const CommandArguments& arguments) {
    if (arguments.words.empty()) {
        context.out << "give the keys to press: key 0.3, key del, key calc\n";
        return false;
    }
    auto window = windowOf(context);
    if (!window) return false;
    window->layoutIfNeeded();
    auto page = calculatorOnScreen(*window);
    if (!page || !page->keypadStackView) {
        context.out << "the calculator page is not on screen\n";
        return false;
    }
    if (!withinKeyLimit(arguments.words, *page)) {
        context.out << "a key line presses at most " << kMostKeysALine << " keys; nothing pressed\n";
        return false;
    }
    if (!keysInReach(context, arguments.words, *page)) return false;
    std::size_t keys = 0, at = 0;
    for (const auto& word : arguments.words) keys += keysOf(word, *page).size();
    std::string pressed;
    for (const auto& word : arguments.words) {
        for (const auto& key : keysOf(word, *page)) {
            ++at;
            if (!typesIntoAField(key, *page)) {
                context.out << "no field is focused, so the key \"" << key.title
                            << "\" would do nothing: focus k, n or p first"
                            << (pressed.empty() ? "" : " (pressed:" + pressed + ")") << "\n";
                return false;
            }
            std::shared_ptr<platform::ui::Button> button = key.button;
            if (!button) button = findFlatButton(key.title, *page->keypadStackView);
            if (!button) {
                context.out << "the keypad has no key \"" << key.title << "\" (key " << at << " of " << keys << ")"
                            << (pressed.empty() ? "" : " (pressed:" + pressed + ")") << "\n";
                return false;
            }
            const auto touch = touchOn(*button);
            if (touch.cover || !platform::ui::tap(*button, touch.at)) {
                context.out << "the key \"" << key.title << "\" (key " << at << " of " << keys
                            << ") does not respond: " << whyKeyIsDead(key, *page)
                            << (pressed.empty() ? "" : " (pressed:" + pressed + ")") << "\n";
                return false;
            }
            pressed += " " + key.title;
            context.session.settle();
        }
    }
    context.out << "pressed" << pressed << "\n";
    return true;
}

bool focusField(CommandContext& context, const CommandArguments& arguments) {
    std::string id = arguments.rest;
    if (id.size() == 1) id += "TextField";  // "k" for "kTextField"
    auto window = windowOf(context);
    if (!window) return false;
    window->layoutIfNeeded();
    auto field = std::dynamic_pointer_cast<platform::ui::TextField>(platform::ui::findView(*window, id));
    if (!field || !shownOnScreen(*field)) {
        context.out << "no text field \"" << id << "\" is on screen\n";
        return false;
    }
    const auto at = landing(context, *field, "the text field \"" + id + "\"");
    if (!at) return false;
    if (!platform::ui::tap(*field, *at)) {
        context.out << "the field \"" << id << "\" does not respond (disabled)\n";
        return false;
    }
    context.out << "focused " << id << "\n";
    return true;
}

// Pixels per point a snapshot may be drawn at: beyond this a screen's
// picture grows past what the renderer draws.
constexpr double kMaximumSnapshotScale = 10;
constexpr const char* kScaleOption = "--scale";

// A number read the same whatever the locale's decimal mark.
std::optional<double> snapshotScale(const std::string& text) {
    double scale = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), scale);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    if (!std::isfinite(scale) || scale <= 0 || scale > kMaximumSnapshotScale) return std::nullopt;
    return scale;
}

bool endsWithPNG(const std::string& file) {
    if (file.size() <= 4) return false;
    std::string ending = file.substr(file.size() - 4);
    for (char& c : ending) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return ending == ".png";
}

struct SnapshotRequest {
    std::string file;
    double scale = 0;  // 0: the screen's
};

// The file and the scale of a snapshot command; none, with why printed,
// for anything else.
std::optional<SnapshotRequest> snapshotRequest(CommandContext& context, const CommandArguments& arguments) {
    SnapshotRequest request;
    const auto& words = arguments.words;
    bool scaleGiven = false;
    for (std::size_t i = 0; i < words.size(); ++i) {
        // "--scale 2" or, as the tool takes every option, "--scale=2".
        const bool joined = words[i].rfind(kScaleOption + std::string("="), 0) == 0;
        if (words[i] == kScaleOption || joined) {
            // As the tool refuses an option given twice: which one was meant
            // cannot be told.
            if (std::exchange(scaleGiven, true)) {
                context.out << kScaleOption << " is given more than once: give it once\n";
                return std::nullopt;
            }
            const auto value = joined ? std::optional(words[i].substr(std::strlen(kScaleOption) + 1))
                               : i + 1 < words.size() ? std::optional(words[++i])
                                                      : std::nullopt;
            auto given = value ? snapshotScale(*value) : std::nullopt;
            if (!given) {
                context.out << kScaleOption << " takes a number of pixels per point above 0, at most "
                            << kMaximumSnapshotScale << "\n";
                return std::nullopt;
            }
            request.scale = *given;
        } else if (request.file.empty() && !words[i].empty()) {
            request.file = words[i];
        } else {
            request.file.clear();
            break;
        }
    }
    if (request.file.empty()) {
        context.out << "give a file and, if you like, a scale: snapshot screen.png --scale 2\n";
        return std::nullopt;
    }
    if (!endsWithPNG(request.file)) {
        context.out << "the snapshot is a PNG picture: give a file name ending in .png\n";
        return std::nullopt;
    }
    return request;
}

// The screen as a person sees it, drawn into a PNG file: the key window
// with whatever it presents, at the screen's scale or the one given.
bool writeSnapshot(CommandContext& context, const CommandArguments& arguments) {
    auto request = snapshotRequest(context, arguments);
    if (!request || !windowOf(context)) return false;
    context.session.settle();
    std::string why;
    auto size = platform::render::writeScreenPNG(request->file, request->scale, &why);
    if (!size) {
        context.out << "no snapshot written: " << why << "\n";
        return false;
    }
    context.out << "wrote " << request->file << " (" << size->width << "x" << size->height << " pixels)\n";
    return true;
}

bool answerAlert(CommandContext& context, const CommandArguments& arguments) {
    auto window = windowOf(context);
    if (!window) return false;
    auto alert = std::dynamic_pointer_cast<platform::ui::AlertController>(window->topViewController());
    if (!alert) {
        context.out << "no alert is shown\n";
        return false;
    }
    if (!alert->tapAction(arguments.rest)) {
        std::string titles;
        for (const auto& action : alert->actions()) titles += " [" + action->title().value_or("") + "]";
        context.out << "the alert has no button \"" << arguments.rest << "\"; it has" << titles << "\n";
        return false;
    }
    context.out << "answered " << arguments.rest << "\n";
    return true;
}

// The longest move of the clock a command makes. What falls due on the
// way runs (the application logs an engagement event for every hour it is
// active), so a move takes time in proportion to its length.
constexpr double kLongestClockMove = 366 * 86400.0;

bool moveClock(CommandContext& context, const CommandArguments& arguments) {
    if (!arguments.rest.empty()) {
        auto seconds = parseDuration(arguments.rest);
        if (!seconds) {
            context.out << "give the time to move on as +DURATION: +5s, +2m, +1h, +2d, +500ms\n";
            return false;
        }
        if (*seconds > AppSession::latestClock - context.session.now()) {
            context.out << "the clock goes no further than " << dateText(AppSession::latestClock) << "\n";
            return false;
        }
        if (*seconds > kLongestClockMove) {
            context.out << "the clock moves at most 366 days (+366d) at a time: everything that falls due on the way runs\n";
            return false;
        }
        context.session.advanceClock(*seconds);
    }
    context.out << "clock: " << dateText(context.session.now()) << "\n";
    return true;
}

bool listEvents(CommandContext& context, const CommandArguments&) {
    context.session.settle();
    std::optional<measurement::APMError> error;
    auto data = measurement::APMReadStoredData(&error);
    if (!data) {
        context.out << "the engine's database cannot be read: " << (error ? error->description() : "unknown") << "\n";
        return false;
    }
    context.out << "stored events: " << data->rawEvents.size() << "\n";
    for (const auto& stored : data->rawEvents) {
        const auto& event = stored.raw.event();
        std::string line = "  " + event.name();
        for (const auto& [name, value] : event.parameters()) line += " " + name + "=" + valueText(value.objectValue());
        context.out << line << "\n";
    }
    context.out << "bundles waiting for upload: " << data->queuedBundles.size() << "\n";
    context.out << "user properties: " << data->userAttributes.size() << "\n";
    for (const auto& property : data->userAttributes) {
        context.out << "  " << property.name() << "=" << valueText(property.value().objectValue()) << "\n";
    }
    return true;
}

// As the system opening the running application with a link: the
// application's delegate gets it when it takes links, and the measurement
// engine gets it as the platform hands it over, so that a campaign link is
// recorded.
bool openLink(CommandContext& context, const CommandArguments& arguments) {
    const std::string& url = arguments.rest;
    if (!platform::URL::parse(url)) {
        context.out << "\"" << url << "\" is no URL\n";
        return false;
    }
    const bool taken = platform::ApplicationOpenURL::openURL(url, {});
    measurement::VEZArurerudo::handleOpenURL(url);
    context.session.settle();
    context.out << "opened " << url << (taken ? "" : " (the application's delegate does not take links)") << "\n";
    return true;
}

bool listDefaults(CommandContext& context, const CommandArguments&) {
    auto all = platform::UserDefaults::standard().dictionaryRepresentation();
    if (all.empty()) context.out << "no preferences stored\n";
    for (const auto& [key, value] : all) {
        if (value.isArray() && !value.asArray().empty()) {
            context.out << key << ":\n";
            for (const auto& item : value.asArray()) context.out << "  " << valueText(item) << "\n";
        } else {
            context.out << key << " = " << valueText(value) << "\n";
        }
    }
    return true;
}

bool listOpened(CommandContext& context, const CommandArguments&) {
    const auto& opened = platform::ui::Application::shared().openedURLs();
    if (opened.empty()) context.out << "nothing opened\n";
    for (const auto& url : opened) context.out << url.string() << "\n";
    return true;
}

// A command without arguments that complains when given some.
RunnerCommand plain(std::string name, std::string help, std::function<bool(CommandContext&)> run) {
    auto command = name;
    return {std::move(name), "", std::move(help),
            [command, run = std::move(run)](CommandContext& context, const CommandArguments& arguments) {
                if (!arguments.words.empty()) {
                    context.out << command << " takes no arguments\n";
                    return false;
                }
                return run(context);
            }};
}

// A command that takes one text.
RunnerCommand withText(std::string name, std::string arguments, std::string help,
                       std::function<bool(CommandContext&, const CommandArguments&)> run) {
    auto command = name;
    auto usage = arguments;
    return {std::move(name), std::move(arguments), std::move(help),
            [command, usage, run = std::move(run)](CommandContext& context, const CommandArguments& given) {
                if (given.rest.empty()) {
                    context.out << command << " needs " << usage << "\n";
                    return false;
                }
                return run(context, given);
            }};
}

}  // namespace

std::vector<RunnerCommand> builtInCommands() {
    return {
        plain("screen", "print what the window shows and what is presented over it",
              [](CommandContext& c) {
                  auto window = windowOf(c);
                  if (window) c.out << describeScreen(*window);
                  return window != nullptr;
              }),
        checkCommand(),
        {"snapshot", "FILE.png [--scale S]",
         "draw the screen (window and what it presents) into a PNG file, at the screen's scale or S",
         writeSnapshot},
        withText("tap", "TITLE|ID", "tap the button, row or item with that title, or the view with that identifier",
                 [](CommandContext& c, const CommandArguments& a) { return tapTarget(c, a.rest); }),
        {"row", "S R", "tap row R of section S of the table on top (the drawer's menu while it is open), in sight", tapRow},
        {"scroll", "S R", "scroll the table on top until row R of section S is at its top", scrollToRow},
        {"swipe", "S R", "swipe row R of section S of the table on top away (its delete action)", swipeRow},
        {"drag", "S R S2 R2", "in edit mode, drag row S R of the table on top to where row S2 R2 is", dragRow},
        {"pan", "[S.R|ID] to|by X Y",
         "move the content of the scroll view in row S.R (or with that identifier, else the first with content "
         "out of sight) to offset X,Y or by X,Y points",
         panScrollView},
        {"key", "K...",
         "press calculator keys: digits, . / - pi, del, calc (\"key 0.3\" presses 0, . and 3; at most 1000 a line)",
         pressKeys},
        withText("focus", "k|n|p|ID", "tap the text field k, n, p or the one with that identifier", focusField),
        plain("menu", "tap the toolbar's menu button (opens or closes the drawer)",
              [](CommandContext& c) { return tapTarget(c, AppToolbarController::menuButtonIdentifier); }),
        withText("alert", "BUTTON", "answer the alert shown with its button of that title", answerAlert),
        plain("wait", "let the application finish its work: queued blocks and network requests",
              [](CommandContext& c) {
                  const bool idle = c.session.waitUntilIdle();
                  c.out << (idle ? "idle\n" : "still busy after 30 s\n");
                  return idle;
              }),
        {"clock", "[+DURATION]",
         "move the clock on (+5s, +2m, +1h, +2d, +500ms; at most 366 days), firing what falls due; show it",
         moveClock},
        plain("activate", "the application becomes active again (it fetches remote configuration)",
              [](CommandContext& c) {
                  c.session.activate();
                  c.out << "active\n";
                  return true;
              }),
        plain("background", "the application resigns active and moves to the background",
              [](CommandContext& c) {
                  c.session.enterBackground();
                  c.out << "in the background\n";
                  return true;
              }),
        plain("foreground", "the application comes back to the foreground and becomes active",
              [](CommandContext& c) {
                  c.session.enterForeground();
                  c.out << "active\n";
                  return true;
              }),
        withText("open", "URL",
                 "the system opens the application with a link (one with campaign parameters is stored as _cmp)",
                 openLink),
        plain("events", "the events, bundles and user properties the measurement engine has stored", [](CommandContext& c) {
            return listEvents(c, {});
        }),
        plain("defaults", "the application's preferences", [](CommandContext& c) { return listDefaults(c, {}); }),
        plain("opened", "the addresses the application has opened", [](CommandContext& c) { return listOpened(c, {}); }),
        plain("quit", "move to the background, let the engine finish, and stop",
              [](CommandContext& c) {
                  c.session.quit();
                  c.out << "stopped\n";
                  return true;
              }),
    };
}

CommandTable::CommandTable() : commands_(builtInCommands()) {
    commands_.insert(commands_.begin(), RunnerCommand{"help", "", "list the commands", {}});
}

void CommandTable::add(RunnerCommand command) {
    for (auto& existing : commands_) {
        if (existing.name == command.name) {
            existing = std::move(command);
            return;
        }
    }
    commands_.push_back(std::move(command));
}

const RunnerCommand* CommandTable::find(const std::string& name) const {
    for (const auto& command : commands_) {
        if (command.name == name) return &command;
    }
    return nullptr;
}

std::string CommandTable::help() const {
    std::size_t width = 0;
    for (const auto& command : commands_) width = std::max(width, command.name.size() + 1 + command.arguments.size());
    std::string text;
    for (const auto& command : commands_) {
        std::string usage = command.name + (command.arguments.empty() ? "" : " " + command.arguments);
        text += "  " + usage + std::string(width - usage.size() + 2, ' ') + command.help + "\n";
    }
    return text;
}

std::vector<std::string> splitWords(const std::string& line) {
    std::vector<std::string> words;
    std::string word;
    bool quoted = false, inWord = false;
    for (char c : line) {
        if (c == '"') {
            quoted = !quoted;
            inWord = true;
        } else if (!quoted && (c == ' ' || c == '\t')) {
            if (inWord) words.push_back(word);
            word.clear();
            inWord = false;
        } else {
            word += c;
            inWord = true;
        }
    }
    if (inWord) words.push_back(word);
    return words;
}

std::string withoutNote(const std::string& line) {
    bool quoted = false;
    for (std::size_t i = 0; i < line.size(); ++i) {
        if (line[i] == '"') quoted = !quoted;
        const bool startsWord = i == 0 || line[i - 1] == ' ' || line[i - 1] == '\t';
        if (line[i] == '#' && !quoted && startsWord) return line.substr(0, i);
    }
    return line;
}

std::optional<double> parseDuration(const std::string& given) {
    std::string text = trimmed(given);
    if (text.empty() || text[0] != '+') return std::nullopt;
    text.erase(0, 1);
    double scale = 1;
    for (const auto& [suffix, factor] : std::vector<std::pair<std::string, double>>{
             {"ms", 0.001}, {"s", 1}, {"m", 60}, {"h", 3600}, {"d", 86400}}) {
        if (text.size() > suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0) {
            text.erase(text.size() - suffix.size());
            scale = factor;
            break;
        }
    }
    if (text.empty() || !(std::isdigit(static_cast<unsigned char>(text[0])) || text[0] == '.')) return std::nullopt;
    try {
        std::size_t used = 0;
        const double number = std::stod(text, &used);
        if (used != text.size() || !std::isfinite(number) || number < 0) return std::nullopt;
        const double seconds = number * scale;
        return std::isfinite(seconds) ? std::optional<double>(seconds) : std::nullopt;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

}  // namespace velmora::runner
