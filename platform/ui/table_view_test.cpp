#include <doctest/doctest.h>

#include <stdexcept>
#include <utility>

#include "platform/dispatch/timer.h"
#include "platform/gfx/graphics_context.h"
#include "platform/ui/collection_view.h"
#include "platform/ui/ui_log.h"
#include "platform/ui/label.h"
#include "platform/ui/storyboard.h"
#include "platform/ui/table_view.h"

using namespace platform::ui;

namespace {

struct CountingCell : TableViewCell {
    using TableViewCell::TableViewCell;
    int reuses = 0;
    int awakenings = 0;
    void prepareForReuse() override { ++reuses; }
    void awakeFromNib() override { ++awakenings; }
};

// A history-like data source: one section of named entries that the user
// may delete and reorder (by exchanging two entries, as the history store
// does).
struct Entries : TableViewDataSource, TableViewDelegate {
    std::vector<std::string> items;
    int cellsMade = 0;
    std::vector<std::string> log;
    std::vector<IndexPath> displayed;
    bool swapOnMove = true;
    int fixedRow = -1;  // the row that cannot move

    int numberOfRows(TableView&, int) override { return static_cast<int>(items.size()); }
    std::shared_ptr<TableViewCell> cellForRow(TableView& table, IndexPath path) override {
        ++cellsMade;
        auto cell = table.dequeueReusableCell("entry", path);
        cell->textLabel()->setText(items[static_cast<std::size_t>(path.row)]);
        return cell;
    }
    bool canMoveRow(TableView&, IndexPath path) override { return path.row != fixedRow; }
    void commitEditing(TableView& table, TableViewCellEditingStyle style, IndexPath path) override {
        log.push_back("commit " + describe(path));
        if (style != TableViewCellEditingStyle::remove) return;
        items.erase(items.begin() + path.row);
        table.deleteRows({path}, TableViewRowAnimation::fade);
    }
    void moveRow(TableView&, IndexPath from, IndexPath to) override {
        log.push_back("move " + describe(from) + " " + describe(to));
        auto& a = items[static_cast<std::size_t>(from.row)];
        auto& b = items[static_cast<std::size_t>(to.row)];
        if (swapOnMove) {
            std::swap(a, b);
        } else {
            auto moved = a;
            items.erase(items.begin() + from.row);
            items.insert(items.begin() + to.row, moved);
        }
    }
    void didSelectRow(TableView&, IndexPath path) override { log.push_back("select " + describe(path)); }
    void willDisplayCell(TableView&, TableViewCell&, IndexPath path) override {
        displayed.push_back(path);
    }
};

std::vector<std::string> shownTexts(TableView& table) {
    std::vector<std::string> texts;
    for (auto& cell : table.visibleCells()) texts.push_back(cell->textLabel()->text());
    return texts;
}

struct Setup {
    std::shared_ptr<TableView> table = std::make_shared<TableView>(Rect(0, 0, 320, 220));
    std::shared_ptr<Entries> entries = std::make_shared<Entries>();
    Setup(int count) {
        for (int i = 0; i < count; ++i) entries->items.push_back("entry " + std::to_string(i));
        table->registerClass("entry", [] { return std::make_shared<CountingCell>(); });
        table->setDataSource(entries);
        table->setDelegate(entries);
    }
};

}  // namespace

TEST_CASE("a table has cells only for its visible rows, and reuses them") {
    Setup s(20);
    auto& table = *s.table;
    SUBCASE("220 points of 44-point rows show five rows") {
        CHECK(table.numberOfRows(0) == 20);
        CHECK(table.indexPathsForVisibleRows() ==
              std::vector<IndexPath>{{0, 0}, {0, 1}, {0, 2}, {0, 3}, {0, 4}});
        CHECK(s.entries->cellsMade == 5);
        CHECK(s.entries->displayed == table.indexPathsForVisibleRows());
        CHECK(table.contentSize().height == 20 * 44);
        CHECK(table.cellForRow({0, 7}) == nullptr);
    }
    SUBCASE("scrolling hands the cells that left to the rows that came") {
        table.numberOfRows(0);
        std::set<TableViewCell*> first;
        for (auto& c : table.visibleCells()) first.insert(c.get());
        table.scrollToRow({0, 10}, TableViewScrollPosition::top, false);
        CHECK(table.contentOffset().y == 440);
        CHECK(shownTexts(table) == std::vector<std::string>{"entry 10", "entry 11", "entry 12", "entry 13", "entry 14"});
        int reused = 0;
        for (auto& c : table.visibleCells()) {
            if (first.count(c.get())) {
                ++reused;
                CHECK(static_cast<CountingCell&>(*c).reuses == 1);
            }
        }
        CHECK(reused == 5);
    }
    SUBCASE("scrolling to a row near the end stops at the end of the content") {
        table.scrollToRow({0, 19}, TableViewScrollPosition::top, false);
        CHECK(table.contentOffset().y == 20 * 44 - 220);
        CHECK(table.cellForRow({0, 19}));
        table.scrollToRow({0, 99}, TableViewScrollPosition::top, false);  // no such row: logged, nothing moves
        CHECK(table.contentOffset().y == 20 * 44 - 220);
        CHECK(loggedMessages().back().find("out-of-bounds") != std::string::npos);
    }
    SUBCASE("the delegate's heights place the rows") {
        struct Tall : Entries {
            std::optional<double> heightForRow(TableView&, IndexPath path) override {
                return path.row == 0 ? 100.0 : 10.0;
            }
        };
        auto tall = std::make_shared<Tall>();
        tall->items = {"a", "b", "c"};
        table.setDataSource(tall);
        table.setDelegate(tall);
        CHECK(table.rectForRow({0, 1}) == Rect(0, 100, 320, 10));
        CHECK(table.indexPathForRow({5, 105}) == IndexPath{0, 1});
        CHECK(table.contentSize().height == 120);
    }
    SUBCASE("dequeuing an identifier nobody registered is refused") {
        CHECK(table.dequeueReusableCell("nothing") == nullptr);
        CHECK_THROWS_AS(table.dequeueReusableCell("nothing", {0, 0}), std::logic_error);
    }
}

TEST_CASE("a row's cell comes out as large as the row, so what it is filled with keeps its frame") {
    // A data source that, like a chart row, adds a view placed against the
    // row and stretching with it.
    struct Charts : TableViewDataSource, TableViewDelegate {
        std::vector<Rect> handedOut;
        std::shared_ptr<View> added;
        int numberOfRows(TableView&, int) override { return 2; }
        std::optional<double> heightForRow(TableView&, IndexPath) override { return 300.0; }
        std::shared_ptr<TableViewCell> cellForRow(TableView& table, IndexPath path) override {
            auto cell = table.dequeueReusableCell("chart", path);
            handedOut.push_back(cell->frame());
            added = std::make_shared<View>(Rect(16, 16, 288, 268));
            added->setAutoresizingMask(autoresizing::flexibleWidth | autoresizing::flexibleHeight);
            cell->contentView()->addSubview(added);
            return cell;
        }
    };
    auto table = std::make_shared<TableView>(Rect(0, 0, 370, 500));
    auto charts = std::make_shared<Charts>();
    table->registerClass("chart", [] { return std::make_shared<TableViewCell>(); });
    table->setDataSource(charts);
    table->setDelegate(charts);
    table->layoutIfNeeded();
    REQUIRE(charts->handedOut.size() == 2);
    CHECK(charts->handedOut[0] == Rect(0, 0, 370, 300));
    CHECK(charts->handedOut[1] == Rect(0, 300, 370, 300));
    CHECK(charts->added->frame() == Rect(16, 16, 288, 268));
}

TEST_CASE("edit mode draws a delete control at each row's leading edge and a handle on the rows that move") {
    // What a row draws: red discs and grey bars, by where they lie in it.
    struct Drawn {
        int leadingDiscs = 0, trailingBars = 0;
        double contentX = 0, contentWidth = 0;
    };
    auto drawn = [](TableView& table, int row) {
        auto cell = table.cellForRow({0, row});
        REQUIRE(cell);
        cell->layoutIfNeeded();
        auto image = cell->snapshotImage();
        REQUIRE(image);
        Drawn d;
        const double width = cell->bounds().width();
        for (const auto& op : image->drawing().ops()) {
            const Point at = op.transform.apply({op.rect.midX(), op.rect.midY()});
            if (op.kind == platform::gfx::DrawOp::Kind::fillEllipse && op.color == Color::systemRed() && at.x < 38) ++d.leadingDiscs;
            if (op.kind == platform::gfx::DrawOp::Kind::fillRect && op.color == Color::systemGray() && at.x > width - 38) ++d.trailingBars;
        }
        d.contentX = cell->contentView()->frame().minX();
        d.contentWidth = cell->contentView()->frame().width();
        return d;
    };
    struct NoDelete : TableViewDelegate {
        TableViewCellEditingStyle editingStyleForRow(TableView&, IndexPath) override {
            return TableViewCellEditingStyle::none;
        }
    };
    struct Case {
        const char* what;
        bool editing, deletes;
        int row;
        int discs, bars;
        double contentX, contentWidth;
    };
    for (const Case& c : {Case{"a row that moves", true, true, 0, 1, 3, 38, 320 - 76},
                          Case{"a row that cannot move", true, true, 1, 1, 0, 38, 320 - 38},
                          Case{"rows that cannot be deleted", true, false, 0, 0, 3, 0, 320 - 38},
                          Case{"out of edit mode", false, true, 0, 0, 0, 0, 320}}) {
        CAPTURE(c.what);
        Setup s(3);
        s.entries->fixedRow = 1;
        auto none = std::make_shared<NoDelete>();
        if (!c.deletes) s.table->setDelegate(none);
        s.table->layoutIfNeeded();
        s.table->setEditing(true, false);
        s.table->setEditing(c.editing, false);
        const Drawn d = drawn(*s.table, c.row);
        CHECK(d.leadingDiscs == c.discs);
        CHECK(d.trailingBars == c.bars);
        CHECK(d.contentX == c.contentX);
        CHECK(d.contentWidth == c.contentWidth);
        CHECK(s.table->cellForRow({0, c.row})->textLabel()->frame().maxX() <= d.contentWidth);
    }
}

TEST_CASE("deleting rows through the data source") {
    Setup s(4);
    auto& table = *s.table;
    table.setEditing(true, false);
    table.numberOfRows(0);
    auto cellOfEntry2 = table.cellForRow({0, 2});

    SUBCASE("a committed deletion removes the row and shifts the ones below") {
        CHECK(table.commitEditingStyle({0, 1}));
        CHECK(s.entries->items == std::vector<std::string>{"entry 0", "entry 2", "entry 3"});
        CHECK(table.numberOfRows(0) == 3);
        CHECK(shownTexts(table) == std::vector<std::string>{"entry 0", "entry 2", "entry 3"});
        CHECK(table.cellForRow({0, 1}) == cellOfEntry2);  // the same cell, moved up
        const auto& last = table.updateHistory().back();
        CHECK(last.kind == TableUpdate::Kind::deleteRows);
        CHECK(last.animation == TableViewRowAnimation::fade);
        CHECK(last.indexPaths == std::vector<IndexPath>{{0, 1}});
        CHECK(table.cellForRow({0, 0})->isEditing());
    }
    SUBCASE("a delegate that allows no editing style stops the deletion") {
        struct NoDelete : TableViewDelegate {
            TableViewCellEditingStyle editingStyleForRow(TableView&, IndexPath) override {
                return TableViewCellEditingStyle::none;
            }
        };
        auto none = std::make_shared<NoDelete>();
        table.setDelegate(none);
        CHECK_FALSE(table.commitEditingStyle({0, 1}));
        CHECK(s.entries->items.size() == 4);
    }
    SUBCASE("an update whose counts do not add up is refused, as the platform refuses it") {
        s.entries->items.pop_back();
        s.entries->items.pop_back();
        CHECK_THROWS_AS(table.deleteRows({{0, 0}}, TableViewRowAnimation::fade), std::logic_error);
        CHECK(loggedMessages().back().find("Invalid update") != std::string::npos);
    }
    SUBCASE("insertions and batches") {
        s.entries->items.insert(s.entries->items.begin() + 1, "new");
        s.entries->items.erase(s.entries->items.begin() + 3);  // was "entry 2", now at 3
        platform::dispatch::ManualTime time;
        bool done = false;
        table.performBatchUpdates(
            [&] {
                table.deleteRows({{0, 2}}, TableViewRowAnimation::automatic);
                table.insertRows({{0, 1}}, TableViewRowAnimation::automatic);
            },
            [&](bool) { done = true; });
        CHECK(shownTexts(table) == std::vector<std::string>{"entry 0", "new", "entry 1", "entry 3"});
        CHECK_FALSE(done);
        time.advance(0.3);
        CHECK(done);
    }
}

TEST_CASE("moving rows: the table shows its own order until it reloads") {
    Setup s(3);
    auto& table = *s.table;
    table.numberOfRows(0);
    SUBCASE("no move outside edit mode") {
        CHECK_FALSE(table.dragRow({0, 0}, {0, 2}));
        CHECK(s.entries->log.empty());
    }
    SUBCASE("dragging the first of A, B, C to the end, with a store that exchanges") {
        s.entries->items = {"A", "B", "C"};
        table.reloadData();
        table.setEditing(true, true);
        CHECK(table.dragRow({0, 0}, {0, 2}));
        CHECK(s.entries->log.back() == "move 0,0 0,2");
        CHECK(shownTexts(table) == std::vector<std::string>{"B", "C", "A"});  // the table's own move
        CHECK(s.entries->items == std::vector<std::string>{"C", "B", "A"});   // the store exchanged
        table.reloadData();
        CHECK(shownTexts(table) == std::vector<std::string>{"C", "B", "A"});
    }
    SUBCASE("a target outside the section is refused") {
        table.setEditing(true, false);
        CHECK_FALSE(table.dragRow({0, 0}, {0, 3}));
        CHECK_FALSE(table.dragRow({0, 0}, {1, 0}));
    }
}

TEST_CASE("selecting rows") {
    Setup s(6);
    auto& table = *s.table;
    SUBCASE("a tap selects one row and tells the delegate") {
        CHECK(table.tapRow({0, 2}));
        CHECK(table.indexPathForSelectedRow() == IndexPath{0, 2});
        CHECK(table.cellForRow({0, 2})->isSelected());
        CHECK(table.tapRow({0, 3}));
        CHECK(table.indexPathsForSelectedRows() == std::vector<IndexPath>{{0, 3}});
        CHECK_FALSE(table.cellForRow({0, 2})->isSelected());
        CHECK(s.entries->log.back() == "select 0,3");
    }
    SUBCASE("reloading a selected row removes its highlight") {
        table.tapRow({0, 1});
        table.reloadRows({{0, 1}}, TableViewRowAnimation::none);
        CHECK_FALSE(table.indexPathForSelectedRow());
        CHECK_FALSE(table.cellForRow({0, 1})->isSelected());
    }
    SUBCASE("willSelect may redirect or refuse") {
        struct Redirect : Entries {
            std::optional<IndexPath> willSelectRow(TableView&, IndexPath path) override {
                if (path.row == 0) return std::nullopt;
                return IndexPath{0, 5};
            }
        };
        auto redirect = std::make_shared<Redirect>();
        redirect->items = s.entries->items;
        table.setDataSource(redirect);
        table.setDelegate(redirect);
        CHECK_FALSE(table.tapRow({0, 0}));
        CHECK(table.tapRow({0, 1}));
        CHECK(redirect->log.back() == "select 0,5");
    }
    SUBCASE("no selection while editing unless allowed; none out of range") {
        table.setEditing(true, false);
        CHECK_FALSE(table.tapRow({0, 1}));
        table.setAllowsSelectionDuringEditing(true);
        CHECK(table.tapRow({0, 1}));
        CHECK_FALSE(table.tapRow({0, 60}));
    }
}

TEST_CASE("sections, headers and footers") {
    struct Sections : TableViewDataSource, TableViewDelegate {
        int numberOfSections(TableView&) override { return 3; }
        int numberOfRows(TableView&, int section) override { return section + 1; }
        std::shared_ptr<TableViewCell> cellForRow(TableView& t, IndexPath p) override {
            return t.dequeueReusableCell("cell", p);
        }
        std::shared_ptr<View> viewForHeader(TableView& t, int section) override {
            return std::make_shared<View>(Rect(0, 0, t.bounds().width(), section == 0 ? 0 : 30));
        }
        std::optional<std::string> titleForFooter(TableView&, int section) override {
            if (section == 2) return "end";
            return std::nullopt;
        }
    };
    auto table = std::make_shared<TableView>(Rect(0, 0, 320, 600));
    auto sections = std::make_shared<Sections>();
    table->registerClass<TableViewCell>("cell");
    table->setDataSource(sections);
    table->setDelegate(sections);
    CHECK(table->rectForHeader(0).height() == 0);
    CHECK(table->rectForHeader(1) == Rect(0, 44, 320, 30));
    CHECK(table->rectForRow({1, 0}) == Rect(0, 74, 320, 44));
    CHECK(table->rectForFooter(2).height() == 28);
    CHECK(table->rectForSection(2) == Rect(0, 162, 320, 30 + 3 * 44 + 28));
    CHECK(table->contentSize().height == 162 + 30 + 132 + 28);
    auto footer = std::dynamic_pointer_cast<Label>(table->footerView(2));
    REQUIRE(footer);
    CHECK(footer->text() == "end");
    table->setTableHeaderView(std::make_shared<View>(Rect(0, 0, 0, 10)));
    CHECK(table->rectForRow({0, 0}).minY() == 10);
    CHECK(table->tableHeaderView()->frame() == Rect(0, 0, 320, 10));
}

TEST_CASE("cells from interface files") {
    auto table = std::make_shared<TableView>(Rect(0, 0, 320, 100));
    int built = 0;
    Nib::registerNib("HistoryCell", [&](Responder*) {
        ++built;
        return std::vector<std::shared_ptr<View>>{std::make_shared<CountingCell>()};
    });
    table->registerNib(*Nib::named("HistoryCell"), "historyCell");
    table->registerPrototype("stepCell", [] { return std::make_shared<CountingCell>(); });
    auto fromNib = std::dynamic_pointer_cast<CountingCell>(table->dequeueReusableCell("historyCell"));
    auto fromPrototype = std::dynamic_pointer_cast<CountingCell>(table->dequeueReusableCell("stepCell"));
    REQUIRE(fromNib);
    REQUIRE(fromPrototype);
    CHECK(built == 1);
    CHECK(fromNib->awakenings == 1);
    CHECK(fromPrototype->awakenings == 1);
    CHECK(fromNib->reuseIdentifier() == "historyCell");
    Nib::unregister("HistoryCell");
}

TEST_CASE("collection views lay items out in lines and reuse them") {
    struct Items : CollectionViewDataSource, CollectionViewDelegate {
        int count = 10;
        std::vector<IndexPath> selected;
        int numberOfItems(CollectionView&, int) override { return count; }
        std::shared_ptr<CollectionViewCell> cellForItem(CollectionView& c, IndexPath p) override {
            return c.dequeueReusableCell("item", p);
        }
        std::optional<Size> sizeForItem(CollectionView& c, IndexPath) override {
            double side = 0.95 * c.frame().height();
            return Size{side, side};
        }
        void didSelectItem(CollectionView&, IndexPath p) override { selected.push_back(p); }
        bool failDisplay = false;
        void willDisplayCell(CollectionView&, CollectionViewCell&, IndexPath) override {
            if (std::exchange(failDisplay, false)) throw std::runtime_error("display failed");
        }
    };
    CollectionViewFlowLayout layout;
    layout.scrollDirection = ScrollDirection::horizontal;
    auto collection = std::make_shared<CollectionView>(Rect(0, 0, 390, 100), layout);
    auto items = std::make_shared<Items>();
    collection->registerClass("item", [] { return std::make_shared<CollectionViewCell>(); });
    collection->setDataSource(items);
    collection->setDelegate(items);
    CHECK(collection->numberOfItems(0) == 10);
    CHECK(collection->frameForItem({0, 1}) == Rect(105, 0, 95, 95));
    CHECK(collection->visibleCells().size() == 4);  // 0..3 reach into 390 points
    CHECK(collection->contentSize().width == 10 * 95 + 9 * 10);
    collection->scrollToItem({0, 9}, false);
    CHECK(collection->indexPathsForVisibleItems().back() == IndexPath{0, 9});
    CHECK(collection->tapItem({0, 9}));
    CHECK(items->selected == std::vector<IndexPath>{{0, 9}});
    // a layout pass that a delegate ends with an exception does not stop later ones
    items->failDisplay = true;
    CHECK_THROWS_AS(collection->reloadData(), std::runtime_error);
    collection->reloadData();
    CHECK(collection->visibleCells().size() == 4);
    items->count = 0;
    collection->reloadData();
    CHECK(collection->visibleCells().empty());
    CHECK_THROWS_AS(collection->dequeueReusableCell("unknown", {0, 0}), std::logic_error);
}
