#include "platform/ui/collection_view.h"

#include <algorithm>
#include <stdexcept>

#include "platform/ui/ui_log.h"

namespace platform::ui {

CollectionViewCell::CollectionViewCell() : CollectionViewCell(Rect(0, 0, 50, 50)) {}

CollectionViewCell::CollectionViewCell(const Rect& frame)
    : View(frame), contentView_(std::make_shared<View>(Rect(0, 0, frame.width(), frame.height()))) {
    contentView_->setAutoresizingMask(autoresizing::flexibleWidth | autoresizing::flexibleHeight);
    addSubview(contentView_);
}

void CollectionViewCell::layoutSubviews() {
    View::layoutSubviews();
    contentView_->setFrame({0, 0, bounds().width(), bounds().height()});
}

void CollectionViewCell::describe(std::vector<std::string>& notes) const {
    if (auto* cv = dynamic_cast<CollectionView*>(superviewPointer())) {
        if (auto path = cv->indexPathForCell(*this)) notes.push_back("item=" + ui::describe(*path));
    }
    if (selected_) notes.push_back("selected");
    View::describe(notes);
}

CollectionView::CollectionView(const Rect& frame, CollectionViewFlowLayout layout)
    : ScrollView(frame), layout_(layout) {}

void CollectionView::setDataSource(const std::shared_ptr<CollectionViewDataSource>& ds) {
    dataSource_ = ds;
    loaded_ = false;
    setNeedsLayout();
}

void CollectionView::setDelegate(const std::shared_ptr<CollectionViewDelegate>& d) {
    delegate_ = d;
    ScrollView::setDelegate(d);
}

void CollectionView::registerClass(const std::string& identifier, CellFactory factory) {
    registrations_[identifier] = Registration{std::move(factory), std::nullopt};
}

void CollectionView::registerNib(const Nib& nib, const std::string& identifier) {
    registrations_[identifier] = Registration{nullptr, nib};
}

std::shared_ptr<CollectionViewCell> CollectionView::dequeueReusableCell(const std::string& identifier, IndexPath) {
    if (auto pooled = pool_.take(identifier)) return pooled;
    std::shared_ptr<CollectionViewCell> cell;
    auto it = registrations_.find(identifier);
    if (it != registrations_.end()) {
        if (it->second.nib) {
            cell = detail::firstCellOf<CollectionViewCell>(*it->second.nib);
        } else if (it->second.factory) {
            cell = it->second.factory();
        }
    }
    if (!cell) {
        std::string message = "could not dequeue a view of kind: cell with identifier " + identifier +
                              " - must register a nib or a class for the identifier";
        logMessage(message);
        throw std::logic_error(message);
    }
    cell->reuseIdentifier_ = identifier;
    return cell;
}

void CollectionView::retire(const std::shared_ptr<CollectionViewCell>& cell) {
    cell->removeFromSuperview();
    cell->selected_ = false;
    pool_.put(cell, cell->reuseIdentifier_);
}

void CollectionView::ensureLoaded() {
    if (!loaded_) reloadData();
}

void CollectionView::reloadData() {
    for (auto& [path, cell] : visible_.map) retire(cell);
    visible_.map.clear();
    loaded_ = true;
    rebuild();
    layoutVisible();
}

// Items flow along the cross axis and wrap into lines along the scroll axis.
void CollectionView::rebuild() {
    auto ds = dataSource();
    auto d = delegate();
    frames_.clear();
    int sections = ds ? std::max(0, ds->numberOfSections(*this)) : 0;
    bool horizontal = layout_.scrollDirection == ScrollDirection::horizontal;
    double along = 0;  // position along the scroll axis
    double crossLimit = horizontal ? bounds().height() : bounds().width();
    for (int s = 0; s < sections; ++s) {
        std::vector<Rect> frames;
        int items = std::max(0, ds->numberOfItems(*this, s));
        const EdgeInsets& in = layout_.sectionInset;
        along += horizontal ? in.left : in.top;
        double crossStart = horizontal ? in.top : in.left;
        double crossEnd = crossLimit - (horizontal ? in.bottom : in.right);
        double cross = crossStart, lineThickness = 0;
        for (int i = 0; i < items; ++i) {
            Size size = layout_.itemSize;
            if (d) {
                if (auto s2 = d->sizeForItem(*this, {s, i})) size = *s2;
            }
            double itemCross = horizontal ? size.height : size.width;
            double itemAlong = horizontal ? size.width : size.height;
            if (cross > crossStart && cross + itemCross > crossEnd) {
                along += lineThickness + layout_.minimumLineSpacing;
                cross = crossStart;
                lineThickness = 0;
            }
            frames.push_back(horizontal ? Rect(along, cross, size.width, size.height)
                                        : Rect(cross, along, size.width, size.height));
            cross += itemCross + layout_.minimumInteritemSpacing;
            lineThickness = std::max(lineThickness, itemAlong);
        }
        along += lineThickness + (horizontal ? in.right : in.bottom);
        frames_.push_back(std::move(frames));
    }
    setContentSize(horizontal ? Size{along, bounds().height()} : Size{bounds().width(), along});
}

void CollectionView::layoutVisible() {
    detail::LayoutPass pass(laying_);
    if (!pass) return;
    Rect visibleRect = bounds();
    std::set<IndexPath> needed;
    for (int s = 0; s < static_cast<int>(frames_.size()); ++s) {
        for (int i = 0; i < static_cast<int>(frames_[static_cast<std::size_t>(s)].size()); ++i) {
            if (frames_[static_cast<std::size_t>(s)][static_cast<std::size_t>(i)].intersects(visibleRect)) {
                needed.insert({s, i});
            }
        }
    }
    for (auto it = visible_.map.begin(); it != visible_.map.end();) {
        if (needed.count(it->first)) {
            ++it;
            continue;
        }
        auto cell = it->second;
        it = visible_.map.erase(it);
        retire(cell);
    }
    auto ds = dataSource();
    auto d = delegate();
    for (const auto& path : needed) {
        Rect frame = frames_[static_cast<std::size_t>(path.section)][static_cast<std::size_t>(path.row)];
        if (auto shown = visible_.at(path)) {
            shown->setFrame(frame);
            continue;
        }
        if (!ds) break;
        auto cell = ds->cellForItem(*this, path);
        if (!cell) continue;
        cell->setFrame(frame);
        addSubview(cell);
        visible_.map[path] = cell;
        if (d) d->willDisplayCell(*this, *cell, path);
    }
}

int CollectionView::numberOfSections() {
    ensureLoaded();
    return static_cast<int>(frames_.size());
}

int CollectionView::numberOfItems(int section) {
    ensureLoaded();
    if (section < 0 || section >= static_cast<int>(frames_.size())) return 0;
    return static_cast<int>(frames_[static_cast<std::size_t>(section)].size());
}

std::shared_ptr<CollectionViewCell> CollectionView::cellForItem(IndexPath indexPath) {
    ensureLoaded();
    return visible_.at(indexPath);
}

std::vector<std::shared_ptr<CollectionViewCell>> CollectionView::visibleCells() {
    ensureLoaded();
    return visible_.cells();
}

std::vector<IndexPath> CollectionView::indexPathsForVisibleItems() {
    ensureLoaded();
    return visible_.paths();
}

std::optional<IndexPath> CollectionView::indexPathForCell(const CollectionViewCell& cell) const {
    return visible_.pathOf(cell);
}

Rect CollectionView::frameForItem(IndexPath indexPath) {
    ensureLoaded();
    if (indexPath.section < 0 || indexPath.section >= static_cast<int>(frames_.size())) return {};
    const auto& frames = frames_[static_cast<std::size_t>(indexPath.section)];
    if (indexPath.row < 0 || indexPath.row >= static_cast<int>(frames.size())) return {};
    return frames[static_cast<std::size_t>(indexPath.row)];
}

void CollectionView::scrollToItem(IndexPath indexPath, bool animated) {
    Rect frame = frameForItem(indexPath);
    if (frame.isEmpty()) return;
    scrollRectToVisible(frame, animated);
}

bool CollectionView::tapItem(IndexPath indexPath) {
    if (frameForItem(indexPath).isEmpty()) return false;
    for (auto& [path, cell] : visible_.map) cell->setSelected(path == indexPath);
    if (auto d = delegate()) d->didSelectItem(*this, indexPath);
    return true;
}

void CollectionView::setContentOffset(Point offset, bool animated) {
    ScrollView::setContentOffset(offset, animated);
    if (loaded_) layoutVisible();
}

void CollectionView::layoutSubviews() {
    ScrollView::layoutSubviews();
    if (!loaded_) {
        reloadData();
        return;
    }
    rebuild();
    layoutVisible();
}

void CollectionView::describe(std::vector<std::string>& notes) const {
    std::string counts;
    for (const auto& s : frames_) counts += (counts.empty() ? "" : ",") + std::to_string(s.size());
    notes.push_back("items=[" + counts + "]");
    ScrollView::describe(notes);
}

}  // namespace platform::ui
