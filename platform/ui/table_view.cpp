#include "platform/ui/table_view.h"

#include <algorithm>
#include <stdexcept>

#include "platform/gfx/animation.h"
#include "platform/ui/ui_log.h"
#include "platform/ui/label.h"

namespace platform::ui {

namespace {

// Old positions that survive, in order, take the new positions that are
// not taken by insertions, in order.
std::map<int, int> survivorMap(int oldCount, const std::set<int>& removed, int newCount, const std::set<int>& added) {
    std::map<int, int> map;
    int next = 0;
    for (int old = 0; old < oldCount; ++old) {
        if (removed.count(old)) continue;
        while (next < newCount && added.count(next)) ++next;
        if (next >= newCount) break;
        map[old] = next++;
    }
    return map;
}

std::string joinPaths(const std::vector<IndexPath>& paths) {
    std::string out;
    for (const auto& p : paths) out += (out.empty() ? "" : " ") + describe(p);
    return out;
}

}  // namespace

TableView::TableView(const Rect& frame, TableViewStyle style) : ScrollView(frame), style_(style) {}

void TableView::setDataSource(const std::shared_ptr<TableViewDataSource>& dataSource) {
    dataSource_ = dataSource;
    loaded_ = false;
    setNeedsLayout();
}

void TableView::setDelegate(const std::shared_ptr<TableViewDelegate>& delegate) {
    delegate_ = delegate;
    ScrollView::setDelegate(delegate);
    if (loaded_) setNeedsLayout();
}

// ---- registration and reuse ----

void TableView::registerClass(const std::string& identifier, CellFactory factory) {
    registrations_[identifier] = Registration{Registration::Kind::code, std::move(factory), std::nullopt};
}

void TableView::registerNib(const Nib& nib, const std::string& identifier) {
    registrations_[identifier] = Registration{Registration::Kind::nib, nullptr, nib};
}

void TableView::registerPrototype(const std::string& identifier, CellFactory factory) {
    registrations_[identifier] = Registration{Registration::Kind::prototype, std::move(factory), std::nullopt};
}

std::shared_ptr<TableViewCell> TableView::makeCell(const std::string& identifier) {
    auto it = registrations_.find(identifier);
    if (it == registrations_.end()) return nullptr;
    const Registration& r = it->second;
    std::shared_ptr<TableViewCell> cell;
    if (r.kind == Registration::Kind::nib && r.nib) {
        cell = detail::firstCellOf<TableViewCell>(*r.nib);
        if (!cell) logMessage("The nib '" + r.nib->name() + "' holds no table view cell");
    } else if (r.factory) {
        cell = r.factory();
        if (cell && r.kind == Registration::Kind::prototype) ui::awakeFromNib(*cell);
    }
    if (cell) cell->reuseIdentifier_ = identifier;
    return cell;
}

std::shared_ptr<TableViewCell> TableView::dequeueReusableCell(const std::string& identifier) {
    if (auto cell = pool_.take(identifier)) return cell;
    return makeCell(identifier);
}

std::shared_ptr<TableViewCell> TableView::dequeueReusableCell(const std::string& identifier, IndexPath indexPath) {
    auto cell = dequeueReusableCell(identifier);
    if (!cell) {
        std::string message = "unable to dequeue a cell with identifier " + identifier +
                              " - must register a nib or a class for the identifier";
        logMessage(message);
        throw std::logic_error(message);
    }
    // The cell comes out as large as its row, as the platform hands it over:
    // what the data source then adds is placed against the row's size and is
    // not stretched by autoresizing when the row is laid out afterwards.
    if (loaded_ && validPath(indexPath)) cell->setFrame(rectForRow(indexPath));
    return cell;
}

void TableView::enqueue(const std::shared_ptr<TableViewCell>& cell) {
    cell->selected_ = false;
    cell->highlighted_ = false;
    pool_.put(cell, cell->reuseIdentifier_);
}

void TableView::retire(const IndexPath& path, const std::shared_ptr<TableViewCell>& cell) {
    cell->removeFromSuperview();
    if (auto d = delegate()) d->didEndDisplayingCell(*this, *cell, path);
    enqueue(cell);
}

// ---- data ----

void TableView::ensureLoaded() {
    if (!loaded_) reloadData();
}

void TableView::loadCounts() {
    auto ds = dataSource();
    int count = ds ? std::max(0, ds->numberOfSections(*this)) : 0;
    std::vector<Section> next(static_cast<std::size_t>(count));
    for (int s = 0; s < count; ++s) next[static_cast<std::size_t>(s)].rows = std::max(0, ds->numberOfRows(*this, s));
    sections_ = std::move(next);
}

double TableView::supplementaryHeight(int section, bool header) {
    auto d = delegate();
    auto ds = dataSource();
    auto& slot = (header ? headers_ : footers_)[section];
    if (slot) slot->removeFromSuperview();
    slot = !d ? nullptr : header ? d->viewForHeader(*this, section) : d->viewForFooter(*this, section);
    auto title = !ds ? std::nullopt : header ? ds->titleForHeader(*this, section) : ds->titleForFooter(*this, section);
    if (!slot && title) {
        auto label = std::make_shared<Label>(Rect(0, 0, bounds().width(), 28));
        label->setText(*title);
        label->setFont(Font::system(13));
        slot = label;
    }
    auto height = !d ? std::nullopt : header ? d->heightForHeader(*this, section) : d->heightForFooter(*this, section);
    if (height) return std::max(0.0, *height);
    double fixed = header ? sectionHeaderHeight_ : sectionFooterHeight_;
    if (fixed >= 0 && slot) return fixed;
    return slot ? slot->frame().height() : 0;
}

void TableView::rebuildGeometry() {
    auto d = delegate();
    for (auto& [s, view] : headers_) {
        if (view) view->removeFromSuperview();
    }
    for (auto& [s, view] : footers_) {
        if (view) view->removeFromSuperview();
    }
    headers_.clear();
    footers_.clear();
    double fallback = rowHeight_ >= 0 ? rowHeight_ : 44;
    for (int s = 0; s < static_cast<int>(sections_.size()); ++s) {
        Section& section = sections_[static_cast<std::size_t>(s)];
        section.headerHeight = supplementaryHeight(s, true);
        section.rowHeights.assign(static_cast<std::size_t>(section.rows), fallback);
        for (int r = 0; r < section.rows; ++r) {
            if (auto h = d ? d->heightForRow(*this, {s, r}) : std::nullopt) {
                section.rowHeights[static_cast<std::size_t>(r)] = std::max(0.0, *h >= 0 ? *h : fallback);
            }
        }
        section.footerHeight = supplementaryHeight(s, false);
    }
    double footer = tableFooterView_ ? tableFooterView_->frame().height() : 0;
    setContentSize({bounds().width(), stackSections() + footer});
}

double TableView::Section::height() const {
    double h = headerHeight + footerHeight;
    for (double r : rowHeights) h += r;
    return h;
}

double TableView::stackSections() {
    double y = tableHeaderView_ ? tableHeaderView_->frame().height() : 0;
    for (auto& s : sections_) {
        s.top = y;
        y += s.height();
    }
    return y;
}

double TableView::contentHeight() const {
    if (sections_.empty()) return tableHeaderView_ ? tableHeaderView_->frame().height() : 0;
    return sections_.back().top + sections_.back().height();
}

void TableView::reloadData() {
    for (auto it = visible_.map.begin(); it != visible_.map.end();) {
        auto path = it->first;
        auto cell = it->second;
        it = visible_.map.erase(it);
        retire(path, cell);
    }
    selected_.clear();
    loaded_ = true;
    loadCounts();
    rebuildGeometry();
    record(TableUpdate::Kind::reloadData, {}, TableViewRowAnimation::none);
    layoutVisible();
}

int TableView::numberOfSections() {
    ensureLoaded();
    return static_cast<int>(sections_.size());
}

int TableView::numberOfRows(int section) {
    ensureLoaded();
    if (section < 0 || section >= static_cast<int>(sections_.size())) return 0;
    return sections_[static_cast<std::size_t>(section)].rows;
}

bool TableView::validPath(IndexPath path) const {
    return path.section >= 0 && path.section < static_cast<int>(sections_.size()) && path.row >= 0 &&
           path.row < sections_[static_cast<std::size_t>(path.section)].rows;
}

void TableView::record(TableUpdate::Kind kind, std::vector<IndexPath> paths, TableViewRowAnimation animation,
                       std::vector<int> sections) {
    history_.push_back({kind, std::move(paths), std::move(sections), animation});
}

void TableView::update(const std::function<void(PendingUpdate&)>& change) {
    if (batch_) {
        change(*batch_);
        return;
    }
    PendingUpdate single;
    change(single);
    apply(single);
}

void TableView::insertRows(const std::vector<IndexPath>& paths, TableViewRowAnimation animation) {
    record(TableUpdate::Kind::insertRows, paths, animation);
    update([&](PendingUpdate& u) {
        for (const auto& p : paths) u.inserted[p.section].insert(p.row);
    });
}

void TableView::deleteRows(const std::vector<IndexPath>& paths, TableViewRowAnimation animation) {
    record(TableUpdate::Kind::deleteRows, paths, animation);
    update([&](PendingUpdate& u) {
        for (const auto& p : paths) u.deleted[p.section].insert(p.row);
    });
}

void TableView::reloadRows(const std::vector<IndexPath>& paths, TableViewRowAnimation animation) {
    record(TableUpdate::Kind::reloadRows, paths, animation);
    update([&](PendingUpdate& u) {
        for (const auto& p : paths) u.reloaded[p.section].insert(p.row);
    });
}

void TableView::moveRow(IndexPath from, IndexPath to) {
    record(TableUpdate::Kind::moveRow, {from, to}, TableViewRowAnimation::none);
    update([&](PendingUpdate& u) { u.moves.emplace_back(from, to); });
}

void TableView::insertSections(const std::vector<int>& sections, TableViewRowAnimation animation) {
    record(TableUpdate::Kind::insertSections, {}, animation, sections);
    update([&](PendingUpdate& u) { u.insertedSections.insert(sections.begin(), sections.end()); });
}

void TableView::deleteSections(const std::vector<int>& sections, TableViewRowAnimation animation) {
    record(TableUpdate::Kind::deleteSections, {}, animation, sections);
    update([&](PendingUpdate& u) { u.deletedSections.insert(sections.begin(), sections.end()); });
}

void TableView::beginUpdates() {
    if (batchDepth_++ == 0) batch_ = PendingUpdate{};
}

void TableView::endUpdates() {
    if (batchDepth_ == 0) return;
    if (--batchDepth_ > 0) return;
    PendingUpdate update = std::move(*batch_);
    batch_.reset();
    apply(update);
}

void TableView::performBatchUpdates(const std::function<void()>& updates, std::function<void(bool)> completion) {
    beginUpdates();
    try {
        if (updates) updates();
    } catch (...) {
        batchDepth_ = 0;
        batch_.reset();
        throw;
    }
    endUpdates();
    if (completion) {
        double span = View::areAnimationsEnabled() ? 0.3 : 0;
        gfx::runOnMainAfter(span, [completion = std::move(completion)] { completion(true); });
    }
}

void TableView::apply(const PendingUpdate& update) {
    if (!loaded_) {
        // nothing shown yet: the data source's state is simply taken
        reloadData();
        return;
    }
    auto ds = dataSource();
    int oldSections = static_cast<int>(sections_.size());
    int newSections = ds ? std::max(0, ds->numberOfSections(*this)) : 0;
    int expectedSections = oldSections - static_cast<int>(update.deletedSections.size()) +
                           static_cast<int>(update.insertedSections.size());
    if (newSections != expectedSections) {
        std::string message = "Invalid update: invalid number of sections. The table had " +
                              std::to_string(oldSections) + " and now has " + std::to_string(newSections) + ", not " +
                              std::to_string(expectedSections) + ".";
        logMessage(message);
        throw std::logic_error(message);
    }
    auto sectionMap = survivorMap(oldSections, update.deletedSections, newSections, update.insertedSections);

    // rows leaving and arriving per section, moves included
    std::map<int, std::set<int>> gone = update.deleted, came = update.inserted;
    for (const auto& [from, to] : update.moves) {
        gone[from.section].insert(from.row);
        came[to.section].insert(to.row);
    }
    std::vector<int> newRows(static_cast<std::size_t>(newSections));
    for (int ns = 0; ns < newSections; ++ns) newRows[static_cast<std::size_t>(ns)] = std::max(0, ds->numberOfRows(*this, ns));
    for (const auto& [os, ns] : sectionMap) {
        int oldCount = sections_[static_cast<std::size_t>(os)].rows;
        int expected = oldCount - static_cast<int>(gone[os].size()) + static_cast<int>(came[ns].size());
        int actual = newRows[static_cast<std::size_t>(ns)];
        if (actual != expected) {
            std::string message = "Invalid update: invalid number of rows in section " + std::to_string(ns) +
                                  ". The section had " + std::to_string(oldCount) + " rows and now has " +
                                  std::to_string(actual) + ", not " + std::to_string(expected) + ".";
            logMessage(message);
            throw std::logic_error(message);
        }
    }

    // where each surviving old row goes
    std::map<int, std::map<int, int>> rowMaps;  // by old section
    for (const auto& [os, ns] : sectionMap) {
        rowMaps[os] = survivorMap(sections_[static_cast<std::size_t>(os)].rows, gone[os],
                                  newRows[static_cast<std::size_t>(ns)], came[ns]);
    }
    auto remap = [&](const IndexPath& old) -> std::optional<IndexPath> {
        for (const auto& [from, to] : update.moves) {
            if (from == old) return to;
        }
        auto s = sectionMap.find(old.section);
        if (s == sectionMap.end()) return std::nullopt;
        auto reloadedIt = update.reloaded.find(old.section);
        if (reloadedIt != update.reloaded.end() && reloadedIt->second.count(old.row)) return std::nullopt;
        const auto& rows = rowMaps[old.section];
        auto r = rows.find(old.row);
        if (r == rows.end()) return std::nullopt;
        return IndexPath{s->second, r->second};
    };

    std::map<IndexPath, std::shared_ptr<TableViewCell>> kept;
    for (auto& [path, cell] : visible_.map) {
        if (auto next = remap(path)) {
            kept[*next] = cell;
        } else {
            retire(path, cell);
        }
    }
    visible_.map = std::move(kept);
    std::set<IndexPath> selection;
    for (const auto& path : selected_) {
        if (auto next = remap(path)) selection.insert(*next);
    }
    selected_ = std::move(selection);
    for (auto& [path, cell] : visible_.map) cell->selected_ = selected_.count(path) != 0;

    loadCounts();
    rebuildGeometry();
    setContentOffset(clampedOffset(contentOffset()));
    layoutVisible();
}

// ---- layout ----

void TableView::layoutVisible() {
    detail::LayoutPass pass(laying_);
    if (!pass) return;

    Rect visibleRect = bounds();
    double width = visibleRect.width();
    std::set<IndexPath> needed;
    for (int s = 0; s < static_cast<int>(sections_.size()); ++s) {
        const Section& section = sections_[static_cast<std::size_t>(s)];
        double y = section.top + section.headerHeight;
        for (int r = 0; r < section.rows; ++r) {
            double h = section.rowHeights[static_cast<std::size_t>(r)];
            if (h > 0 && visibleRect.height() > 0 && y + h > visibleRect.minY() && y < visibleRect.maxY()) {
                needed.insert({s, r});
            }
            y += h;
        }
    }
    for (auto it = visible_.map.begin(); it != visible_.map.end();) {
        if (needed.count(it->first)) {
            ++it;
            continue;
        }
        auto path = it->first;
        auto cell = it->second;
        it = visible_.map.erase(it);
        retire(path, cell);
    }
    auto ds = dataSource();
    auto d = delegate();
    for (const auto& path : needed) {
        Rect rect = rectForRow(path);
        if (auto shown = visible_.at(path)) {
            shown->setFrame(rect);
            continue;
        }
        if (!ds) break;
        auto cell = ds->cellForRow(*this, path);
        if (!cell) {
            logMessage("The table's data source returned no cell for row " + ui::describe(path));
            continue;
        }
        cell->setFrame(rect);
        showEditing(*cell, path, false);
        cell->selected_ = selected_.count(path) != 0;
        insertSubview(cell, 0);
        visible_.map[path] = cell;
        if (d) d->willDisplayCell(*this, *cell, path);
    }
    for (int s = 0; s < static_cast<int>(sections_.size()); ++s) {
        for (auto* views : {&headers_, &footers_}) {
            auto it = views->find(s);
            if (it == views->end() || !it->second) continue;
            Rect rect = views == &headers_ ? rectForHeader(s) : rectForFooter(s);
            if (rect.height() > 0 && rect.maxY() > visibleRect.minY() && rect.minY() < visibleRect.maxY()) {
                it->second->setFrame(rect);
                if (it->second->superviewPointer() != this) addSubview(it->second);
            } else {
                it->second->removeFromSuperview();
            }
        }
    }
    if (tableHeaderView_) {
        tableHeaderView_->setFrame({0, 0, width, tableHeaderView_->frame().height()});
        if (tableHeaderView_->superviewPointer() != this) addSubview(tableHeaderView_);
    }
    if (tableFooterView_) {
        tableFooterView_->setFrame({0, contentHeight(), width, tableFooterView_->frame().height()});
        if (tableFooterView_->superviewPointer() != this) addSubview(tableFooterView_);
    }
}

void TableView::layoutSubviews() {
    ScrollView::layoutSubviews();
    if (!loaded_) {
        reloadData();
        return;
    }
    rebuildGeometry();
    layoutVisible();
}

void TableView::setContentOffset(Point offset, bool animated) {
    ScrollView::setContentOffset(offset, animated);
    if (loaded_) layoutVisible();
}

void TableView::refreshGeometry() {
    if (!loaded_) return;
    rebuildGeometry();
    layoutVisible();
}

void TableView::setRowHeight(double height) {
    rowHeight_ = height;
    refreshGeometry();
}

void TableView::setTableHeaderView(std::shared_ptr<View> view) {
    if (tableHeaderView_) tableHeaderView_->removeFromSuperview();
    tableHeaderView_ = std::move(view);
    refreshGeometry();
}

void TableView::setTableFooterView(std::shared_ptr<View> view) {
    if (tableFooterView_) tableFooterView_->removeFromSuperview();
    tableFooterView_ = std::move(view);
    refreshGeometry();
}

// ---- cells and geometry ----

std::shared_ptr<TableViewCell> TableView::cellForRow(IndexPath indexPath) {
    ensureLoaded();
    return visible_.at(indexPath);
}

std::vector<std::shared_ptr<TableViewCell>> TableView::visibleCells() {
    ensureLoaded();
    return visible_.cells();
}

std::vector<IndexPath> TableView::indexPathsForVisibleRows() {
    ensureLoaded();
    return visible_.paths();
}

std::optional<IndexPath> TableView::indexPathForCell(const TableViewCell& cell) const { return visible_.pathOf(cell); }

std::optional<IndexPath> TableView::indexPathForRow(Point point) {
    ensureLoaded();
    for (int s = 0; s < static_cast<int>(sections_.size()); ++s) {
        for (int r = 0; r < sections_[static_cast<std::size_t>(s)].rows; ++r) {
            if (rectForRow({s, r}).contains(point)) return IndexPath{s, r};
        }
    }
    return std::nullopt;
}

Rect TableView::rectForRow(IndexPath indexPath) {
    ensureLoaded();
    if (!validPath(indexPath)) return {};
    const Section& section = sections_[static_cast<std::size_t>(indexPath.section)];
    double y = section.top + section.headerHeight;
    for (int r = 0; r < indexPath.row; ++r) y += section.rowHeights[static_cast<std::size_t>(r)];
    return {0, y, bounds().width(), section.rowHeights[static_cast<std::size_t>(indexPath.row)]};
}

Rect TableView::rectForSection(int section) {
    ensureLoaded();
    if (section < 0 || section >= static_cast<int>(sections_.size())) return {};
    const Section& s = sections_[static_cast<std::size_t>(section)];
    return {0, s.top, bounds().width(), s.height()};
}

Rect TableView::rectForHeader(int section) {
    ensureLoaded();
    if (section < 0 || section >= static_cast<int>(sections_.size())) return {};
    const Section& s = sections_[static_cast<std::size_t>(section)];
    return {0, s.top, bounds().width(), s.headerHeight};
}

Rect TableView::rectForFooter(int section) {
    Rect whole = rectForSection(section);
    if (whole.isEmpty() && whole.width() == 0) return {};
    const Section& s = sections_[static_cast<std::size_t>(section)];
    return {0, whole.maxY() - s.footerHeight, bounds().width(), s.footerHeight};
}

std::shared_ptr<View> TableView::headerView(int section) {
    ensureLoaded();
    auto it = headers_.find(section);
    return it == headers_.end() ? nullptr : it->second;
}

std::shared_ptr<View> TableView::footerView(int section) {
    ensureLoaded();
    auto it = footers_.find(section);
    return it == footers_.end() ? nullptr : it->second;
}

void TableView::scrollToRow(IndexPath indexPath, TableViewScrollPosition position, bool animated) {
    ensureLoaded();
    if (!validPath(indexPath)) {
        logMessage("Attempted to scroll the table view to an out-of-bounds row " + ui::describe(indexPath));
        return;
    }
    Rect row = rectForRow(indexPath);
    double h = bounds().height();
    Point offset = contentOffset();
    switch (position) {
        case TableViewScrollPosition::top: offset.y = row.minY(); break;
        case TableViewScrollPosition::middle: offset.y = row.midY() - h / 2; break;
        case TableViewScrollPosition::bottom: offset.y = row.maxY() - h; break;
        case TableViewScrollPosition::none:
            if (row.minY() < offset.y) offset.y = row.minY();
            else if (row.maxY() > offset.y + h) offset.y = row.maxY() - h;
            break;
    }
    setContentOffset(clampedOffset(offset), animated);
}

// ---- selection and editing ----

std::optional<IndexPath> TableView::indexPathForSelectedRow() const {
    if (selected_.empty()) return std::nullopt;
    return *selected_.begin();
}

std::vector<IndexPath> TableView::indexPathsForSelectedRows() const { return {selected_.begin(), selected_.end()}; }

void TableView::selectRow(std::optional<IndexPath> indexPath, bool animated, TableViewScrollPosition position) {
    ensureLoaded();
    if (!indexPath) {
        for (auto path : std::set<IndexPath>(selected_)) deselectRow(path, animated);
        return;
    }
    if (!validPath(*indexPath)) return;
    if (!allowsMultiple_) {
        for (auto path : std::set<IndexPath>(selected_)) {
            if (path != *indexPath) deselectRow(path, animated);
        }
    }
    selected_.insert(*indexPath);
    if (auto cell = cellForRow(*indexPath)) cell->setSelected(true, animated);
    if (position != TableViewScrollPosition::none) scrollToRow(*indexPath, position, animated);
}

void TableView::deselectRow(IndexPath indexPath, bool animated) {
    selected_.erase(indexPath);
    if (auto cell = visible_.at(indexPath)) cell->setSelected(false, animated);
}

void TableView::setEditing(bool editing, bool animated) {
    editing_ = editing;
    for (auto& [path, cell] : visible_.map) showEditing(*cell, path, animated);
}

// Edit mode on a row as the table's data source and delegate allow it.
void TableView::showEditing(TableViewCell& cell, IndexPath path, bool animated) {
    auto ds = dataSource();
    auto d = delegate();
    const bool editable = ds && ds->canEditRow(*this, path);
    const auto style = d ? d->editingStyleForRow(*this, path) : TableViewCellEditingStyle::remove;
    cell.setEditingControls(editable && style == TableViewCellEditingStyle::remove, ds && ds->canMoveRow(*this, path));
    cell.setEditing(editing_, animated);
}

bool TableView::tapRow(IndexPath indexPath) {
    ensureLoaded();
    if (!validPath(indexPath) || !allowsSelection_ || (editing_ && !allowsSelectionDuringEditing_)) return false;
    auto keep = sharedAs<TableView>();
    auto d = delegate();
    auto target = d ? d->willSelectRow(*this, indexPath) : std::optional<IndexPath>(indexPath);
    if (!target || !validPath(*target)) return false;
    if (!allowsMultiple_) {
        for (auto path : std::set<IndexPath>(selected_)) {
            if (path == *target) continue;
            deselectRow(path, false);
            if (d) d->didDeselectRow(*this, path);
        }
    }
    selected_.insert(*target);
    if (auto cell = cellForRow(*target)) cell->setSelected(true, false);
    if (d) d->didSelectRow(*this, *target);
    return true;
}

bool TableView::commitEditingStyle(IndexPath indexPath) {
    ensureLoaded();
    auto ds = dataSource();
    if (!ds || !validPath(indexPath) || !ds->canEditRow(*this, indexPath)) return false;
    auto d = delegate();
    auto style = d ? d->editingStyleForRow(*this, indexPath) : TableViewCellEditingStyle::remove;
    if (style == TableViewCellEditingStyle::none) return false;
    auto keep = sharedAs<TableView>();
    ds->commitEditing(*this, style, indexPath);
    return true;
}

bool TableView::dragRow(IndexPath from, IndexPath to) {
    ensureLoaded();
    auto ds = dataSource();
    if (!editing_ || !ds || !validPath(from) || !ds->canMoveRow(*this, from)) return false;
    auto d = delegate();
    IndexPath target = d ? d->targetIndexPathForMove(*this, from, to) : to;
    if (target.section < 0 || target.section >= static_cast<int>(sections_.size())) return false;
    int limit = sections_[static_cast<std::size_t>(target.section)].rows - (target.section == from.section ? 1 : 0);
    if (target.row < 0 || target.row > limit) return false;
    if (target == from) return true;
    auto keep = sharedAs<TableView>();

    // the table's own rows move first: heights, cells and selection
    auto& source = sections_[static_cast<std::size_t>(from.section)];
    double movedHeight = source.rowHeights[static_cast<std::size_t>(from.row)];
    source.rowHeights.erase(source.rowHeights.begin() + from.row);
    --source.rows;
    auto& dest = sections_[static_cast<std::size_t>(target.section)];
    dest.rowHeights.insert(dest.rowHeights.begin() + target.row, movedHeight);
    ++dest.rows;
    auto shift = [&](IndexPath p) -> IndexPath {
        if (p == from) return target;
        if (p.section == from.section && p.row > from.row) --p.row;
        if (p.section == target.section && p.row >= target.row) ++p.row;
        return p;
    };
    std::map<IndexPath, std::shared_ptr<TableViewCell>> moved;
    for (auto& [path, cell] : visible_.map) moved[shift(path)] = cell;
    visible_.map = std::move(moved);
    std::set<IndexPath> selection;
    for (const auto& path : selected_) selection.insert(shift(path));
    selected_ = std::move(selection);
    stackSections();
    record(TableUpdate::Kind::userMove, {from, target}, TableViewRowAnimation::none);
    ds->moveRow(*this, from, target);
    layoutVisible();
    return true;
}

void TableView::describe(std::vector<std::string>& notes) const {
    std::string counts;
    for (const auto& s : sections_) counts += (counts.empty() ? "" : ",") + std::to_string(s.rows);
    notes.push_back("rows=[" + counts + "]");
    if (editing_) notes.push_back("editing");
    if (!selected_.empty()) notes.push_back("selectedRows=" + joinPaths({selected_.begin(), selected_.end()}));
    ScrollView::describe(notes);
}

}  // namespace platform::ui
