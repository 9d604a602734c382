// Walking a table's b-tree over a file's page images: its pages, its cells and their overflow chains.
#include "measurement/store/sqlite_file/btree.h"

#include <algorithm>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "measurement/store/sqlite_file/format.h"

namespace measurement::sqlite_btree {

namespace {

using namespace sqlite_format;

// How much of a table leaf cell's payload its page holds: all of it up to
// the usable size less 35; past that, the least (usable size - 12) * 32 /
// 255 - 23, plus what leaves the overflow pages (usable size - 4 bytes
// each) full, unless that is more than the most.
constexpr std::uint64_t kMostLocalMargin = 35;
constexpr std::uint64_t kLeastLocalMargin = 12;
constexpr std::uint64_t kLeastLocalShare = 32;
constexpr std::uint64_t kShareWhole = 255;
constexpr std::uint64_t kLeastLocalLess = 23;

std::uint64_t localPayload(std::uint64_t size, std::uint64_t usable) {
    const std::uint64_t most = usable - kMostLocalMargin;
    if (size <= most) return size;
    const std::uint64_t least = (usable - kLeastLocalMargin) * kLeastLocalShare / kShareWhole - kLeastLocalLess;
    const std::uint64_t fitted = least + (size - least) % (usable - kPageNumberSize);
    return fitted <= most ? fitted : least;
}

// The payloads of one page's cells together take no more than the page:
// past this many times its bytes they overlap, and the rest of its cells
// are damage (which bounds the work of a page whose pointers all lead into
// one large cell).
constexpr std::uint64_t kPayloadPagesPerPage = 2;

std::string said(std::size_t value) { return std::to_string(value); }

// One page image read as a table page. Strict, a cell must lie in the
// cell area the header gives, within the page's usable bytes, as SQLite
// needs it to write there; else anywhere past the pointers, within the
// page's bytes, as SQLite reads it: its reads of a cell end at the page's
// end, not at the bytes the file reserves before it, whose count only
// sets how much of a payload the page holds.
class TablePage {
public:
    // *systemFailed: as FileImage::readPage's.
    bool read(const FileImage& image, std::uint32_t number, bool strict, std::string* why, bool* systemFailed) {
        number_ = number;
        bytes_.resize(image.pageSize());
        if (!image.readPage(number, bytes_.data(), why, systemFailed)) return false;
        end_ = strict ? image.usableSize() : image.pageSize();
        header_ = number == 1 ? kFileHeaderSize : 0;
        type_ = bytes_[header_];
        if (type_ != kInteriorTablePage && type_ != kLeafTablePage) {
            *why = "it is no table page (its type is " + said(type_) + ")";
            return false;
        }
        cells_ = bigEndian(&bytes_[header_ + kCellCountAt], kCellPointerSize);
        pointers_ = header_ + (leaf() ? kLeafHeaderSize : kInteriorHeaderSize);
        const std::size_t pointersEnd = pointers_ + cells_ * kCellPointerSize;
        if (cells_ > maxCellsPerPage(image.pageSize()) || pointersEnd > end_) {
            *why = "the pointers of its " + said(cells_) + " cells run past it";
            return false;
        }
        std::size_t area = bigEndian(&bytes_[header_ + kCellAreaAt], kCellPointerSize);
        if (area == 0) area = kLargestCellArea;
        if (strict && (area < pointersEnd || area > end_)) {
            *why = "its cell area begins at " + said(area) + ", off its page";
            return false;
        }
        areaStart_ = strict ? area : pointersEnd;
        return true;
    }

    std::uint32_t number() const { return number_; }
    bool leaf() const { return type_ == kLeafTablePage; }
    std::size_t cells() const { return cells_; }
    // Where the page's cells must end.
    std::size_t end() const { return end_; }
    const unsigned char* data() const { return bytes_.data(); }
    std::uint32_t rightChild() const { return bigEndian(&bytes_[header_ + kRightChildAt], kPageNumberSize); }

    // Where cell `index` begins; none when it lies off the cell area.
    std::optional<std::size_t> cellAt(std::size_t index, std::string* why) const {
        const std::size_t at = pointer(index);
        if (at >= areaStart_ && at < end_) return at;
        *why = offPage(index, at);
        return std::nullopt;
    }
    std::size_t pointer(std::size_t index) const {
        return bigEndian(&bytes_[pointers_ + index * kCellPointerSize], kCellPointerSize);
    }

    // A variable-length integer at *at, moved past it; false when it runs
    // past the page's end.
    bool varint(std::size_t* at, std::uint64_t* value) const { return readVarint(bytes_.data(), end_, at, value); }

    // An interior cell's child page and key.
    bool childAt(std::size_t index, std::uint32_t* child, std::int64_t* key, std::string* why) const {
        const ChildCell read = childOf(index, child, key);
        if (read == ChildCell::read) return true;
        *why = read == ChildCell::offPage ? offPage(index, pointer(index)) : runsPast(index);
        return false;
    }
    enum class ChildCell : std::uint8_t { read, offPage, runsPast };
    ChildCell childOf(std::size_t index, std::uint32_t* child, std::int64_t* key) const {
        const std::size_t at = pointer(index);
        if (at < areaStart_ || at >= end_) return ChildCell::offPage;
        std::size_t keyAt = at + kPageNumberSize;
        std::uint64_t value = 0;
        if (keyAt > end_ || !varint(&keyAt, &value)) return ChildCell::runsPast;
        *child = bigEndian(&bytes_[at], kPageNumberSize);
        *key = static_cast<std::int64_t>(value);
        return ChildCell::read;
    }
    static std::string offPage(std::size_t index, std::size_t at) {
        return "cell " + said(index) + " lies at " + said(at) + ", off the page's cells";
    }
    static std::string runsPast(std::size_t index) { return "cell " + said(index) + " runs past the page"; }

private:
    std::vector<unsigned char> bytes_;
    std::uint32_t number_ = 0;
    std::size_t end_ = 0;
    std::size_t header_ = 0;
    unsigned char type_ = 0;
    std::size_t cells_ = 0;
    std::size_t pointers_ = 0;
    std::size_t areaStart_ = 0;
};

// The pages one walk has read, each once, and the reading of leaf cells
// with their overflow chains; the work counted. A read the system failed
// ends the walk: what it did not read is no damage of the file.
class Walker {
public:
    explicit Walker(const FileImage& image) : image_(image) {}

    // Why a read the system failed, once one has: the walk goes no further.
    const std::optional<std::string>& failed() const { return failed_; }

    // False when the page was read before. A page neither the file nor its
    // log holds is none to keep: it costs no read.
    bool firstVisit(std::uint32_t page) { return !image_.holds(page) || visited_.insert(page).second; }
    std::uint64_t pagesRead() const { return visited_.size(); }
    std::uint64_t work() const { return work_; }

    bool readPage(TablePage* page, std::uint32_t number, bool strict, std::string* why) {
        if (image_.holds(number)) work_ += image_.pageSize();
        payloadLeft_ = kPayloadPagesPerPage * image_.usableSize();
        bool systemFailed = false;
        if (page->read(image_, number, strict, why, &systemFailed)) return true;
        if (systemFailed) failed_ = *why;
        return false;
    }

    bool leafCell(const TablePage& page, std::size_t index, TableCell* cell, std::string* why) {
        const auto start = page.cellAt(index, why);
        return start && leafCellAt(page, *start, index, cell, why);
    }

    bool leafCellAt(const TablePage& page, std::size_t start, std::size_t index, TableCell* cell, std::string* why) {
        std::size_t at = start;
        std::uint64_t size = 0, key = 0;
        const bool keyRead = page.varint(&at, &size) && page.varint(&at, &key);
        work_ += at - start;
        if (!keyRead) {
            *why = "cell " + said(index) + " runs past the page";
            return false;
        }
        const std::uint64_t usable = image_.usableSize();
        if (size > std::uint64_t{image_.pageCount()} * usable) {
            *why = "cell " + said(index) + " gives a payload larger than the file";
            return false;
        }
        const std::uint64_t local = localPayload(size, usable);
        if (at + local + (size > local ? kPageNumberSize : 0) > page.end()) {
            *why = "the payload of cell " + said(index) + " runs past the page";
            return false;
        }
        if (local > payloadLeft_) {
            *why = "cell " + said(index) + " overlaps the cells before it: their payloads hold more than the page";
            return false;
        }
        payloadLeft_ -= local;
        work_ += local;
        cell->page = page.number();
        cell->rowID = static_cast<std::int64_t>(key);
        cell->payload.assign(page.data() + at, page.data() + at + local);
        if (size == local) return true;
        if (overflow(bigEndian(page.data() + at + local, kPageNumberSize), size - local, cell, why)) return true;
        *why = "the payload of cell " + said(index) + " " + *why;
        return false;
    }

private:
    // Follows the chain for `left` bytes more: each page at most once, so
    // that a chain that loops ends.
    bool overflow(std::uint32_t next, std::uint64_t left, TableCell* cell, std::string* why) {
        const std::uint64_t perPage = image_.usableSize() - kPageNumberSize;
        buffer_.resize(image_.pageSize());
        while (left > 0) {
            if (!firstVisit(next)) {
                *why = "runs its overflow chain into page " + said(next) + ", read before";
                return false;
            }
            std::string unread;
            if (image_.holds(next)) work_ += image_.pageSize();
            bool systemFailed = false;
            if (!image_.readPage(next, buffer_.data(), &unread, &systemFailed)) {
                if (systemFailed) failed_ = unread;
                *why = "runs past its overflow chain: " + unread;
                return false;
            }
            const auto take = static_cast<std::size_t>(std::min(left, perPage));
            cell->payload.append(reinterpret_cast<const char*>(buffer_.data()) + kPageNumberSize, take);
            left -= take;
            next = bigEndian(buffer_.data(), kPageNumberSize);
        }
        return true;
    }

    const FileImage& image_;
    std::optional<std::string> failed_;
    std::unordered_set<std::uint32_t> visited_;
    std::vector<unsigned char> buffer_;
    std::uint64_t payloadLeft_ = 0;
    std::uint64_t work_ = 0;
};

// The damage the walk meets: each heard by `heard` where the walk meets
// it, in the tree's order among the cells; kept in `damage` once a page
// for its cells and once for its children, the first that did not read
// named and the others counted.
class Damages {
public:
    Damages(std::vector<PageDamage>* damage, const DamageHeard& heard) : damage_(damage), heard_(heard) {}
    Damages(const Damages&) = delete;
    Damages& operator=(const Damages&) = delete;
    ~Damages() {
        for (const auto& [page, kept] : cells_) {
            if (kept.count > 1) (*damage_)[kept.first].why += "; " + said(kept.count - 1) + " more of its cells do not read";
        }
        for (const auto& [parent, kept] : children_) {
            if (kept.count > 1) {
                (*damage_)[kept.first].why +=
                    "; " + said(kept.count - 1) + " more children of page " + said(parent) + " do not read";
            }
        }
    }

    // What keeps a whole page from reading.
    void page(PageDamage damage) {
        if (heard_) heard_(damage);
        damage_->push_back(std::move(damage));
    }

    // A cell of a page that does not read.
    void cell(PageDamage damage) {
        if (heard_) heard_(damage);
        const std::uint32_t page = damage.page;
        keep(&cells_, page, [&] { return std::move(damage); });
    }

    // A child of an interior page that does not read: kept once for its
    // parent, the first named and the others counted, so that a page of
    // many children that do not read keeps one entry.
    void child(std::uint32_t parent, PageDamage damage) {
        if (heard_) heard_(damage);
        keep(&children_, parent, [&] { return std::move(damage); });
    }

private:
    struct Kept {
        std::size_t first = 0;
        std::uint64_t count = 0;
    };
    using KeptByPage = std::unordered_map<std::uint32_t, Kept>;
    template <typename Made>
    void keep(KeptByPage* byPage, std::uint32_t page, const Made& made) {
        Kept& kept = byPage->try_emplace(page, Kept{damage_->size(), 0}).first->second;
        if (kept.count++ == 0) damage_->push_back(made());
    }
    std::vector<PageDamage>* damage_;
    const DamageHeard& heard_;
    KeptByPage cells_;
    KeptByPage children_;
};

// A page still to walk: the child of an interior page (`parent`, none for
// the root) at its cell `cell`, or, where `page` is kUnreadChild, a cell
// that gave no child, whose damage is told in its turn among the others.
// Small, since a crafted page of thousands of cells pushes one each.
constexpr std::uint32_t kUnreadChild = 0;
constexpr std::uint32_t kNoParent = 0;
struct Pending {
    std::uint32_t page = 0;
    std::uint32_t parent = kNoParent;
    std::uint16_t cell = 0;
    std::uint16_t at = 0;
    TablePage::ChildCell read = TablePage::ChildCell::read;
};

std::string unreadText(const Pending& pending) {
    if (pending.parent == kNoParent) return "the root is page 0";
    switch (pending.read) {
        case TablePage::ChildCell::offPage: return TablePage::offPage(pending.cell, pending.at);
        case TablePage::ChildCell::runsPast: return TablePage::runsPast(pending.cell);
        case TablePage::ChildCell::read: break;
    }
    return "a child is page 0";
}

// An interior page's children, pushed so that the first comes off first.
void pushChildren(const TablePage& page, std::vector<Pending>* pending) {
    const auto cells = static_cast<std::uint16_t>(page.cells());
    pending->push_back({page.rightChild(), page.number(), cells, 0, TablePage::ChildCell::read});
    for (std::uint16_t index = cells; index-- > 0;) {
        std::uint32_t child = 0;
        std::int64_t key = 0;
        const auto read = page.childOf(index, &child, &key);
        const auto at = static_cast<std::uint16_t>(page.pointer(index));
        pending->push_back({read == TablePage::ChildCell::read ? child : kUnreadChild, page.number(), index, at, read});
    }
}

// A leaf's cells, each handed on once: a pointer to a cell read before
// gives the same row again.
void visitLeaf(const TablePage& page, Walker* walker, TableWalk* walk, const std::function<bool(const TableCell&)>& visit,
               Damages* damages, std::vector<bool>* started) {
    started->assign(page.end(), false);
    TableCell cell;
    for (std::size_t index = 0; index < page.cells() && !walk->ended; ++index) {
        std::string why;
        const auto start = page.cellAt(index, &why);
        if (start && (*started)[*start]) {
            // The same row again: the pointer that leads there again once
            // led to another cell, which no pointer reaches now.
            ++walk->cellsRepeated;
            damages->cell({page.number(), "cell " + said(index) + " leads to a cell read before"});
            continue;
        }
        if (!start || !walker->leafCellAt(page, *start, index, &cell, &why)) {
            if (walker->failed()) return;
            ++walk->cellsUnread;
            damages->cell({page.number(), why});
            continue;
        }
        (*started)[*start] = true;
        ++walk->cellsRead;
        walk->ended = !visit(cell);
    }
}

bool interiorWhole(const TablePage& page, std::string* why) {
    std::optional<std::int64_t> last;
    for (std::size_t index = 0; index < page.cells(); ++index) {
        std::uint32_t child = 0;
        std::int64_t key = 0;
        if (!page.childAt(index, &child, &key, why)) return false;
        if (last && key <= *last) {
            *why = "its keys are out of order at cell " + said(index);
            return false;
        }
        last = key;
    }
    return true;
}

bool leafWhole(const TablePage& page, Walker* walker, std::vector<TableCell>* cells, std::string* why) {
    for (std::size_t index = 0; index < page.cells(); ++index) {
        TableCell cell;
        if (!walker->leafCell(page, index, &cell, why)) return false;
        if (!cells->empty() && cell.rowID <= cells->back().rowID) {
            *why = "its keys are out of order at cell " + said(index);
            return false;
        }
        cells->push_back(std::move(cell));
    }
    return true;
}

}  // namespace

TableWalk walkTable(const FileImage& image, std::uint32_t root, const std::function<bool(const TableCell&)>& visit,
                    const DamageHeard& heard) {
    TableWalk walk;
    Walker walker(image);
    std::vector<Pending> pending{{root, kNoParent, 0, 0, TablePage::ChildCell::read}};
    TablePage page;
    std::vector<bool> started;
    {
        Damages damages(&walk.damage, heard);
        while (!pending.empty() && !walk.ended && !walker.failed()) {
            const Pending next = pending.back();
            pending.pop_back();
            std::string why;
            auto lost = [&](PageDamage damage) {
                if (next.parent == kNoParent) return damages.page(std::move(damage));
                damages.child(next.parent, std::move(damage));
            };
            if (next.page == kUnreadChild) {
                damages.cell({next.parent, unreadText(next)});
            } else if (!walker.firstVisit(next.page)) {
                lost({next.page, "the tree leads to it again"});
            } else if (!walker.readPage(&page, next.page, false, &why)) {
                if (!walker.failed()) lost({next.page, why});
            } else if (page.leaf()) {
                visitLeaf(page, &walker, &walk, visit, &damages, &started);
            } else {
                pushChildren(page, &pending);
                walk.mostWaiting = std::max<std::uint64_t>(walk.mostWaiting, pending.size());
            }
        }
    }
    walk.failed = walker.failed();
    walk.pagesRead = walker.pagesRead();
    walk.work = walker.work();
    return walk;
}

RightmostLeaf rightmostLeaf(const FileImage& image, std::uint32_t root) {
    RightmostLeaf leaf;
    Walker walker(image);
    TablePage page;
    std::string why;
    for (std::uint32_t number = root;; number = page.rightChild()) {
        leaf.page = number;
        if (!walker.firstVisit(number)) {
            why = "the tree leads back to it";
        } else if (walker.readPage(&page, number, true, &why) &&
                   (page.leaf() ? leafWhole(page, &walker, &leaf.cells, &why) : interiorWhole(page, &why))) {
            if (!page.leaf()) continue;
            break;
        }
        leaf.cells.clear();
        if (walker.failed()) {
            leaf.failed = walker.failed();
        } else {
            leaf.damage = PageDamage{number, why};
        }
        break;
    }
    leaf.pagesRead = walker.pagesRead();
    leaf.work = walker.work();
    return leaf;
}

}  // namespace measurement::sqlite_btree
