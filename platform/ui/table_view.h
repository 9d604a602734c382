#pragma once

#include <compare>
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

class ImageView;
class Label;
class TableView;

enum class TableViewStyle { plain = 0, grouped = 1, insetGrouped = 2 };
enum class TableViewCellStyle { defaultStyle = 0, value1 = 1, value2 = 2, subtitle = 3 };
enum class TableViewCellEditingStyle { none = 0, remove = 1, insert = 2 };
enum class TableViewRowAnimation { fade = 0, right = 1, left = 2, top = 3, bottom = 4, none = 5, middle = 6,
                                   automatic = 100 };
enum class TableViewScrollPosition { none = 0, top = 1, middle = 2, bottom = 3 };
enum class TableViewSeparatorStyle { none = 0, singleLine = 1 };
enum class TableViewCellSelectionStyle { none = 0, blue = 1, gray = 2, defaultStyle = 3 };
enum class TableViewCellAccessoryType { none = 0, disclosureIndicator = 1, detailDisclosureButton = 2, checkmark = 3,
                                        detailButton = 4 };

// One row of a table: a content view with an optional text label, detail
// label and image view, and the selection and editing states.
class TableViewCell : public View {
public:
    explicit TableViewCell(TableViewCellStyle style = TableViewCellStyle::defaultStyle,
                           std::string reuseIdentifier = {});

    const std::string& reuseIdentifier() const { return reuseIdentifier_; }
    TableViewCellStyle style() const { return style_; }
    const std::shared_ptr<View>& contentView() const { return contentView_; }
    // Made on first use, in the content view.
    std::shared_ptr<Label> textLabel();
    std::shared_ptr<Label> detailTextLabel();  // none for the default style
    std::shared_ptr<ImageView> imageView();

    bool isSelected() const { return selected_; }
    virtual void setSelected(bool selected, bool animated);
    bool isHighlighted() const { return highlighted_; }
    virtual void setHighlighted(bool highlighted, bool animated);
    bool isEditing() const { return editing_; }
    virtual void setEditing(bool editing, bool animated);
    // In edit mode, as its table allows for its row: a delete control at the
    // leading edge, a reorder handle at the trailing edge; the content view
    // moves in between them.
    bool showsDeleteControl() const { return editing_ && deletes_; }
    bool showsReorderControl() const { return editing_ && moves_; }
    static constexpr double editingControlWidth = 38;
    // The controls of edit mode made so far (delete control, reorder handle),
    // shown or hidden: they are drawn over the cell's edges, outside the
    // content view.
    std::vector<std::shared_ptr<View>> editingControls() const;
    TableViewCellSelectionStyle selectionStyle() const { return selectionStyle_; }
    void setSelectionStyle(TableViewCellSelectionStyle s) { selectionStyle_ = s; }
    TableViewCellAccessoryType accessoryType() const { return accessory_; }
    void setAccessoryType(TableViewCellAccessoryType a) { accessory_ = a; }
    // Called when the table hands the cell out again.
    virtual void prepareForReuse() {}

    void layoutSubviews() override;
    void describe(std::vector<std::string>& notes) const override;

private:
    friend class TableView;
    TableViewCellStyle style_;
    std::string reuseIdentifier_;
    std::shared_ptr<View> contentView_;
    std::shared_ptr<Label> textLabel_;
    std::shared_ptr<Label> detailTextLabel_;
    std::shared_ptr<ImageView> imageView_;
    bool selected_ = false;
    bool highlighted_ = false;
    bool editing_ = false;
    bool deletes_ = false, moves_ = false;  // what edit mode offers for the row
    std::shared_ptr<View> deleteControl_, reorderControl_;
    void setEditingControls(bool deletes, bool moves);
    TableViewCellSelectionStyle selectionStyle_ = TableViewCellSelectionStyle::defaultStyle;
    TableViewCellAccessoryType accessory_ = TableViewCellAccessoryType::none;
};

// What a table asks of its data: counts, cells and edits.
class TableViewDataSource {
public:
    virtual ~TableViewDataSource() = default;
    virtual int numberOfSections(TableView&) { return 1; }
    virtual int numberOfRows(TableView& tableView, int section) = 0;
    virtual std::shared_ptr<TableViewCell> cellForRow(TableView& tableView, IndexPath indexPath) = 0;
    virtual std::optional<std::string> titleForHeader(TableView&, int) { return std::nullopt; }
    virtual std::optional<std::string> titleForFooter(TableView&, int) { return std::nullopt; }
    virtual bool canEditRow(TableView&, IndexPath) { return true; }
    virtual bool canMoveRow(TableView&, IndexPath) { return false; }
    // The user deleted (or inserted) a row; the data source updates its data
    // and then the table (deleteRows or insertRows).
    virtual void commitEditing(TableView&, TableViewCellEditingStyle, IndexPath) {}
    // The user moved a row; the table shows it moved already.
    virtual void moveRow(TableView&, IndexPath, IndexPath) {}
};

// What a table tells and asks its delegate; every answer has a default.
class TableViewDelegate : public ScrollViewDelegate {
public:
    virtual std::optional<double> heightForRow(TableView&, IndexPath) { return std::nullopt; }
    virtual std::optional<double> heightForHeader(TableView&, int) { return std::nullopt; }
    virtual std::optional<double> heightForFooter(TableView&, int) { return std::nullopt; }
    virtual std::shared_ptr<View> viewForHeader(TableView&, int) { return nullptr; }
    virtual std::shared_ptr<View> viewForFooter(TableView&, int) { return nullptr; }
    virtual void willDisplayCell(TableView&, TableViewCell&, IndexPath) {}
    virtual void didEndDisplayingCell(TableView&, TableViewCell&, IndexPath) {}
    virtual std::optional<IndexPath> willSelectRow(TableView&, IndexPath indexPath) { return indexPath; }
    virtual void didSelectRow(TableView&, IndexPath) {}
    virtual void didDeselectRow(TableView&, IndexPath) {}
    virtual TableViewCellEditingStyle editingStyleForRow(TableView&, IndexPath) {
        return TableViewCellEditingStyle::remove;
    }
    virtual IndexPath targetIndexPathForMove(TableView&, IndexPath, IndexPath proposed) { return proposed; }
};

// One recorded update of a table, for tests and dumps.
struct TableUpdate {
    enum class Kind { reloadData, insertRows, deleteRows, reloadRows, moveRow, userMove, insertSections,
                      deleteSections };
    Kind kind = Kind::reloadData;
    std::vector<IndexPath> indexPaths;  // a move: from, to
    std::vector<int> sections;
    TableViewRowAnimation animation = TableViewRowAnimation::none;
};

// A scrolling list of rows in sections. Cells exist only for the rows that
// are visible within the table's bounds; cells that scroll out (or are
// reloaded, or deleted) go to a reuse pool by identifier and come back
// through dequeueReusableCell, after prepareForReuse. Updates are checked
// against the data source as the platform does: a count that does not add
// up throws std::logic_error, the stand-in of the platform's exception.
class TableView : public ScrollView {
public:
    static constexpr double automaticDimension = -1;

    explicit TableView(const Rect& frame = {}, TableViewStyle style = TableViewStyle::plain);

    TableViewStyle style() const { return style_; }
    std::shared_ptr<TableViewDataSource> dataSource() const { return dataSource_.lock(); }
    void setDataSource(const std::shared_ptr<TableViewDataSource>& dataSource);
    std::shared_ptr<TableViewDelegate> delegate() const { return delegate_.lock(); }
    void setDelegate(const std::shared_ptr<TableViewDelegate>& delegate);

    // Registration and reuse.
    using CellFactory = std::function<std::shared_ptr<TableViewCell>()>;
    // Cells made in code.
    void registerClass(const std::string& identifier, CellFactory factory);
    template <class T>
    void registerClass(const std::string& identifier) {
        registerClass(identifier, [] { return std::make_shared<T>(); });
    }
    // Cells from an interface file: its first top-level table cell.
    void registerNib(const Nib& nib, const std::string& identifier);
    // A storyboard's prototype cell: made anew, then awakeFromNib.
    void registerPrototype(const std::string& identifier, CellFactory factory);
    // A pooled cell, else a new one of the registration; null when neither.
    std::shared_ptr<TableViewCell> dequeueReusableCell(const std::string& identifier);
    // The same for a row; throws std::logic_error when nothing is registered.
    std::shared_ptr<TableViewCell> dequeueReusableCell(const std::string& identifier, IndexPath indexPath);

    // Data.
    void reloadData();
    int numberOfSections();
    int numberOfRows(int section);
    void insertRows(const std::vector<IndexPath>& paths, TableViewRowAnimation animation);
    void deleteRows(const std::vector<IndexPath>& paths, TableViewRowAnimation animation);
    void reloadRows(const std::vector<IndexPath>& paths, TableViewRowAnimation animation);
    void moveRow(IndexPath from, IndexPath to);
    void insertSections(const std::vector<int>& sections, TableViewRowAnimation animation);
    void deleteSections(const std::vector<int>& sections, TableViewRowAnimation animation);
    void beginUpdates();
    void endUpdates();
    // The updates apply together; the completion runs on the main queue.
    void performBatchUpdates(const std::function<void()>& updates, std::function<void(bool)> completion = {});
    const std::vector<TableUpdate>& updateHistory() const { return history_; }

    // Cells and geometry.
    std::shared_ptr<TableViewCell> cellForRow(IndexPath indexPath);  // visible only
    std::vector<std::shared_ptr<TableViewCell>> visibleCells();
    std::vector<IndexPath> indexPathsForVisibleRows();
    std::optional<IndexPath> indexPathForCell(const TableViewCell& cell) const;
    std::optional<IndexPath> indexPathForRow(Point point);
    Rect rectForRow(IndexPath indexPath);
    Rect rectForSection(int section);
    Rect rectForHeader(int section);
    Rect rectForFooter(int section);
    std::shared_ptr<View> headerView(int section);
    std::shared_ptr<View> footerView(int section);
    void scrollToRow(IndexPath indexPath, TableViewScrollPosition position, bool animated);

    double rowHeight() const { return rowHeight_; }
    void setRowHeight(double height);
    double estimatedRowHeight() const { return estimatedRowHeight_; }
    void setEstimatedRowHeight(double height) { estimatedRowHeight_ = height; }
    double sectionHeaderHeight() const { return sectionHeaderHeight_; }
    void setSectionHeaderHeight(double h) { sectionHeaderHeight_ = h; }
    double sectionFooterHeight() const { return sectionFooterHeight_; }
    void setSectionFooterHeight(double h) { sectionFooterHeight_ = h; }
    const std::shared_ptr<View>& tableHeaderView() const { return tableHeaderView_; }
    void setTableHeaderView(std::shared_ptr<View> view);
    const std::shared_ptr<View>& tableFooterView() const { return tableFooterView_; }
    void setTableFooterView(std::shared_ptr<View> view);
    TableViewSeparatorStyle separatorStyle() const { return separatorStyle_; }
    void setSeparatorStyle(TableViewSeparatorStyle s) { separatorStyle_ = s; }
    std::optional<Color> separatorColor() const { return separatorColor_; }
    void setSeparatorColor(std::optional<Color> c) { separatorColor_ = std::move(c); }

    // Selection and editing.
    bool allowsSelection() const { return allowsSelection_; }
    void setAllowsSelection(bool allows) { allowsSelection_ = allows; }
    bool allowsSelectionDuringEditing() const { return allowsSelectionDuringEditing_; }
    void setAllowsSelectionDuringEditing(bool allows) { allowsSelectionDuringEditing_ = allows; }
    bool allowsMultipleSelection() const { return allowsMultiple_; }
    void setAllowsMultipleSelection(bool allows) { allowsMultiple_ = allows; }
    std::optional<IndexPath> indexPathForSelectedRow() const;
    std::vector<IndexPath> indexPathsForSelectedRows() const;
    void selectRow(std::optional<IndexPath> indexPath, bool animated, TableViewScrollPosition position);
    void deselectRow(IndexPath indexPath, bool animated);
    bool isEditing() const { return editing_; }
    void setEditing(bool editing, bool animated);

    // What a user does, for tests and the headless runner; each answers
    // whether the table let it happen.
    // A tap on a row: asks willSelect, selects, tells didSelect.
    bool tapRow(IndexPath indexPath);
    // A swipe-to-delete (or the editing control): commits the row's editing style.
    bool commitEditingStyle(IndexPath indexPath);
    // A drag in edit mode: the table moves its own row, then tells the data source.
    bool dragRow(IndexPath from, IndexPath to);

    void setContentOffset(Point offset, bool animated = false) override;
    void layoutSubviews() override;
    void describe(std::vector<std::string>& notes) const override;

private:
    void showEditing(TableViewCell& cell, IndexPath path, bool animated);
    struct Section {
        int rows = 0;
        double top = 0;
        double headerHeight = 0;
        double footerHeight = 0;
        std::vector<double> rowHeights;
        double height() const;  // header, rows and footer
    };
    struct Registration {
        enum class Kind { code, nib, prototype } kind = Kind::code;
        CellFactory factory;
        std::optional<Nib> nib;
    };
    struct PendingUpdate {
        std::map<int, std::set<int>> deleted;   // old rows by section
        std::map<int, std::set<int>> inserted;  // new rows by section
        std::map<int, std::set<int>> reloaded;  // old rows
        std::vector<std::pair<IndexPath, IndexPath>> moves;
        std::set<int> deletedSections;
        std::set<int> insertedSections;
    };

    void ensureLoaded();
    void loadCounts();
    void rebuildGeometry();
    // Places the sections one below the other under the table header view;
    // answers where the last one ends.
    double stackSections();
    // A section's header or footer view (made anew) and its height.
    double supplementaryHeight(int section, bool header);
    void layoutVisible();
    // Heights and visible rows again, once the table has loaded.
    void refreshGeometry();
    void retire(const IndexPath& path, const std::shared_ptr<TableViewCell>& cell);
    void enqueue(const std::shared_ptr<TableViewCell>& cell);
    std::shared_ptr<TableViewCell> makeCell(const std::string& identifier);
    bool validPath(IndexPath path) const;
    // Adds a change to the open batch, or applies it at once outside one.
    void update(const std::function<void(PendingUpdate&)>& change);
    void apply(const PendingUpdate& update);
    void record(TableUpdate::Kind kind, std::vector<IndexPath> paths, TableViewRowAnimation animation,
                std::vector<int> sections = {});
    double contentHeight() const;

    TableViewStyle style_;
    std::weak_ptr<TableViewDataSource> dataSource_;
    std::weak_ptr<TableViewDelegate> delegate_;
    std::map<std::string, Registration> registrations_;
    detail::ReusePool<TableViewCell> pool_;
    std::vector<Section> sections_;
    detail::VisibleCells<TableViewCell> visible_;
    std::map<int, std::shared_ptr<View>> headers_;
    std::map<int, std::shared_ptr<View>> footers_;
    std::set<IndexPath> selected_;
    std::shared_ptr<View> tableHeaderView_;
    std::shared_ptr<View> tableFooterView_;
    std::vector<TableUpdate> history_;
    std::optional<PendingUpdate> batch_;
    int batchDepth_ = 0;
    bool loaded_ = false;
    bool editing_ = false;
    bool allowsSelection_ = true;
    bool allowsSelectionDuringEditing_ = false;
    bool allowsMultiple_ = false;
    bool laying_ = false;
    double rowHeight_ = 44;
    double estimatedRowHeight_ = 0;
    double sectionHeaderHeight_ = automaticDimension;
    double sectionFooterHeight_ = automaticDimension;
    TableViewSeparatorStyle separatorStyle_ = TableViewSeparatorStyle::singleLine;
    std::optional<Color> separatorColor_;
};

}  // namespace platform::ui
