#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/ui/cell_reuse.h"
#include "platform/ui/index_path.h"
#include "platform/ui/scroll_view.h"
#include "platform/ui/storyboard.h"

namespace platform::ui {

class CollectionView;

// One item of a collection: a content view.
class CollectionViewCell : public View {
public:
    CollectionViewCell();
    explicit CollectionViewCell(const Rect& frame);
    const std::string& reuseIdentifier() const { return reuseIdentifier_; }
    const std::shared_ptr<View>& contentView() const { return contentView_; }
    bool isSelected() const { return selected_; }
    virtual void setSelected(bool selected) { selected_ = selected; }
    virtual void prepareForReuse() {}
    void layoutSubviews() override;
    void describe(std::vector<std::string>& notes) const override;

private:
    friend class CollectionView;
    std::string reuseIdentifier_;
    std::shared_ptr<View> contentView_;
    bool selected_ = false;
};

class CollectionViewDataSource {
public:
    virtual ~CollectionViewDataSource() = default;
    virtual int numberOfSections(CollectionView&) { return 1; }
    virtual int numberOfItems(CollectionView& collectionView, int section) = 0;
    virtual std::shared_ptr<CollectionViewCell> cellForItem(CollectionView& collectionView, IndexPath indexPath) = 0;
};

class CollectionViewDelegate : public ScrollViewDelegate {
public:
    // The flow layout's questions; none keeps the layout's own value.
    virtual std::optional<Size> sizeForItem(CollectionView&, IndexPath) { return std::nullopt; }
    virtual void willDisplayCell(CollectionView&, CollectionViewCell&, IndexPath) {}
    virtual void didSelectItem(CollectionView&, IndexPath) {}
};

enum class ScrollDirection { vertical = 0, horizontal = 1 };

// A flow layout: items in lines along the scroll direction.
struct CollectionViewFlowLayout {
    ScrollDirection scrollDirection = ScrollDirection::vertical;
    Size itemSize{50, 50};
    double minimumLineSpacing = 10;
    double minimumInteritemSpacing = 10;
    EdgeInsets sectionInset;
};

// A scrolling grid of items in sections, laid out by a flow layout. As with
// tables, only visible items have cells, and cells are reused by identifier.
class CollectionView : public ScrollView {
public:
    explicit CollectionView(const Rect& frame = {}, CollectionViewFlowLayout layout = {});

    CollectionViewFlowLayout& layout() { return layout_; }
    std::shared_ptr<CollectionViewDataSource> dataSource() const { return dataSource_.lock(); }
    void setDataSource(const std::shared_ptr<CollectionViewDataSource>& ds);
    std::shared_ptr<CollectionViewDelegate> delegate() const { return delegate_.lock(); }
    void setDelegate(const std::shared_ptr<CollectionViewDelegate>& d);

    using CellFactory = std::function<std::shared_ptr<CollectionViewCell>()>;
    void registerClass(const std::string& identifier, CellFactory factory);
    void registerNib(const Nib& nib, const std::string& identifier);
    // Throws std::logic_error when nothing is pooled or registered.
    std::shared_ptr<CollectionViewCell> dequeueReusableCell(const std::string& identifier, IndexPath indexPath);

    void reloadData();
    int numberOfSections();
    int numberOfItems(int section);
    std::shared_ptr<CollectionViewCell> cellForItem(IndexPath indexPath);
    std::vector<std::shared_ptr<CollectionViewCell>> visibleCells();
    std::vector<IndexPath> indexPathsForVisibleItems();
    std::optional<IndexPath> indexPathForCell(const CollectionViewCell& cell) const;
    Rect frameForItem(IndexPath indexPath);
    void scrollToItem(IndexPath indexPath, bool animated);
    // A user's tap on an item.
    bool tapItem(IndexPath indexPath);

    void setContentOffset(Point offset, bool animated = false) override;
    void layoutSubviews() override;
    void describe(std::vector<std::string>& notes) const override;

private:
    void ensureLoaded();
    void rebuild();
    void layoutVisible();
    void retire(const std::shared_ptr<CollectionViewCell>& cell);
    struct Registration {
        CellFactory factory;
        std::optional<Nib> nib;
    };

    CollectionViewFlowLayout layout_;
    std::weak_ptr<CollectionViewDataSource> dataSource_;
    std::weak_ptr<CollectionViewDelegate> delegate_;
    std::map<std::string, Registration> registrations_;
    detail::ReusePool<CollectionViewCell> pool_;
    std::vector<std::vector<Rect>> frames_;
    detail::VisibleCells<CollectionViewCell> visible_;
    bool loaded_ = false;
    bool laying_ = false;
};

}  // namespace platform::ui
