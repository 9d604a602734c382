#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/ui/index_path.h"
#include "platform/ui/storyboard.h"
#include "platform/ui/view.h"

// What tables and collections share about their cells; not part of the
// public surface.
namespace platform::ui::detail {

// The cells on screen, by index path.
template <class Cell>
struct VisibleCells {
    std::map<IndexPath, std::shared_ptr<Cell>> map;

    std::shared_ptr<Cell> at(IndexPath path) const {
        auto it = map.find(path);
        return it == map.end() ? nullptr : it->second;
    }
    std::vector<std::shared_ptr<Cell>> cells() const {
        std::vector<std::shared_ptr<Cell>> out;
        for (const auto& entry : map) out.push_back(entry.second);
        return out;
    }
    std::vector<IndexPath> paths() const {
        std::vector<IndexPath> out;
        for (const auto& entry : map) out.push_back(entry.first);
        return out;
    }
    std::optional<IndexPath> pathOf(const Cell& cell) const {
        for (const auto& [path, c] : map) {
            if (c.get() == &cell) return path;
        }
        return std::nullopt;
    }
};

// Cells waiting to be handed out again, by reuse identifier.
template <class Cell>
struct ReusePool {
    std::map<std::string, std::vector<std::shared_ptr<Cell>>> cells;

    void put(const std::shared_ptr<Cell>& cell, const std::string& identifier) {
        if (!identifier.empty()) cells[identifier].push_back(cell);
    }
    // The last cell put back under the identifier, prepared for reuse.
    std::shared_ptr<Cell> take(const std::string& identifier) {
        auto it = cells.find(identifier);
        if (it == cells.end() || it->second.empty()) return nullptr;
        auto cell = it->second.back();
        it->second.pop_back();
        cell->prepareForReuse();
        return cell;
    }
};

// The first top-level view of a nib that is a cell; null when it holds none.
template <class Cell>
std::shared_ptr<Cell> firstCellOf(const Nib& nib) {
    for (auto& view : nib.instantiate(nullptr)) {
        if (auto cell = std::dynamic_pointer_cast<Cell>(view)) return cell;
    }
    return nullptr;
}

// Marks a layout pass for its scope, however it ends, so that a pass that
// data source or delegate calls start again is refused instead of nested.
class LayoutPass {
public:
    explicit LayoutPass(bool& running) : running_(running), entered_(!running) { running_ = true; }
    ~LayoutPass() {
        if (entered_) running_ = false;
    }
    LayoutPass(const LayoutPass&) = delete;
    LayoutPass& operator=(const LayoutPass&) = delete;
    // False when another pass was already running.
    explicit operator bool() const { return entered_; }

private:
    bool& running_;
    bool entered_;
};

}  // namespace platform::ui::detail
