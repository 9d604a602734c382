// The table cell stand-in: content, labels, selection and edit mode with its controls.
#include <algorithm>
#include <functional>

#include "platform/gfx/graphics_context.h"
#include "platform/ui/image_view.h"
#include "platform/ui/label.h"
#include "platform/ui/table_view.h"

namespace platform::ui {

TableViewCell::TableViewCell(TableViewCellStyle style, std::string reuseIdentifier)
    : View(Rect(0, 0, 320, 44)), style_(style), reuseIdentifier_(std::move(reuseIdentifier)),
      contentView_(std::make_shared<View>(Rect(0, 0, 320, 44))) {
    contentView_->setAutoresizingMask(autoresizing::flexibleWidth | autoresizing::flexibleHeight);
    addSubview(contentView_);
}

std::shared_ptr<Label> TableViewCell::textLabel() {
    if (!textLabel_) {
        textLabel_ = std::make_shared<Label>();
        contentView_->addSubview(textLabel_);
        setNeedsLayout();
    }
    return textLabel_;
}

std::shared_ptr<Label> TableViewCell::detailTextLabel() {
    if (style_ == TableViewCellStyle::defaultStyle) return nullptr;
    if (!detailTextLabel_) {
        detailTextLabel_ = std::make_shared<Label>();
        detailTextLabel_->setFont(Font::system(style_ == TableViewCellStyle::subtitle ? 12 : 17));
        detailTextLabel_->setTextColor(Color::secondaryLabel());
        contentView_->addSubview(detailTextLabel_);
        setNeedsLayout();
    }
    return detailTextLabel_;
}

std::shared_ptr<ImageView> TableViewCell::imageView() {
    if (!imageView_) {
        imageView_ = std::make_shared<ImageView>();
        contentView_->addSubview(imageView_);
        setNeedsLayout();
    }
    return imageView_;
}

namespace {

constexpr double kControlSide = 22;

// The platform's delete control: a red disc with a white bar.
class DeleteControl : public View {
public:
    DeleteControl() { setUserInteractionEnabled(false); }
    void draw(const Rect& rect) override {
        View::draw(rect);
        auto* context = gfx::GraphicsContext::current();
        if (!context) return;
        const Rect b = bounds();
        const Rect disc(b.midX() - kControlSide / 2, b.midY() - kControlSide / 2, kControlSide, kControlSide);
        context->setFillColor(Color::systemRed());
        context->fillEllipse(disc);
        context->setFillColor(Color::white());
        context->fill({disc.minX() + 5, disc.midY() - 1, kControlSide - 10, 2});
    }
};

// The platform's reorder handle: three grey bars.
class ReorderControl : public View {
public:
    ReorderControl() { setUserInteractionEnabled(false); }
    void draw(const Rect& rect) override {
        View::draw(rect);
        auto* context = gfx::GraphicsContext::current();
        if (!context) return;
        const Rect b = bounds();
        context->setFillColor(Color::systemGray());
        for (int bar = -1; bar <= 1; ++bar) context->fill({b.midX() - 9, b.midY() + bar * 5 - 1, 18, 2});
    }
};

// A control of edit mode shown at its edge, or taken away.
void placeEditingControl(View& cell, std::shared_ptr<View>& control, bool shown, const Rect& frame,
                         const std::function<std::shared_ptr<View>()>& make) {
    if (!shown) {
        if (control) control->setHidden(true);
        return;
    }
    if (!control) {
        control = make();
        cell.addSubview(control);
    }
    control->setHidden(false);
    control->setFrame(frame);
}

}  // namespace

std::vector<std::shared_ptr<View>> TableViewCell::editingControls() const {
    std::vector<std::shared_ptr<View>> controls;
    for (const auto& control : {deleteControl_, reorderControl_}) {
        if (control) controls.push_back(control);
    }
    return controls;
}

void TableViewCell::setSelected(bool selected, bool) { selected_ = selected; }
void TableViewCell::setHighlighted(bool highlighted, bool) { highlighted_ = highlighted; }

void TableViewCell::setEditing(bool editing, bool) {
    if (editing_ == editing) return;
    editing_ = editing;
    setNeedsLayout();
}

void TableViewCell::setEditingControls(bool deletes, bool moves) {
    if (deletes_ == deletes && moves_ == moves) return;
    deletes_ = deletes;
    moves_ = moves;
    setNeedsLayout();
}

void TableViewCell::layoutSubviews() {
    View::layoutSubviews();
    Rect b = bounds();
    const double leading = showsDeleteControl() ? editingControlWidth : 0;
    const double trailing = showsReorderControl() ? editingControlWidth : 0;
    contentView_->setFrame({leading, 0, std::max(0.0, b.width() - leading - trailing), b.height()});
    placeEditingControl(*this, deleteControl_, showsDeleteControl(), {0, 0, editingControlWidth, b.height()},
                        [] { return std::make_shared<DeleteControl>(); });
    placeEditingControl(*this, reorderControl_, showsReorderControl(),
                        {b.width() - editingControlWidth, 0, editingControlWidth, b.height()},
                        [] { return std::make_shared<ReorderControl>(); });
    b = contentView_->bounds();
    double x = 16;
    if (imageView_ && imageView_->image()) {
        Size s = imageView_->image()->size();
        imageView_->setFrame({x, (b.height() - s.height) / 2, s.width, s.height});
        x += s.width + 16;
    }
    double w = std::max(0.0, b.width() - x - 16);
    if (detailTextLabel_ && style_ == TableViewCellStyle::subtitle) {
        if (textLabel_) textLabel_->setFrame({x, 0, w, b.height() * 0.6});
        detailTextLabel_->setFrame({x, b.height() * 0.6, w, b.height() * 0.4});
    } else {
        if (textLabel_) textLabel_->setFrame({x, 0, detailTextLabel_ ? w / 2 : w, b.height()});
        if (detailTextLabel_) detailTextLabel_->setFrame({x + w / 2, 0, w / 2, b.height()});
    }
}

void TableViewCell::describe(std::vector<std::string>& notes) const {
    if (auto* table = dynamic_cast<TableView*>(superviewPointer())) {
        if (auto path = table->indexPathForCell(*this)) notes.push_back("row=" + ui::describe(*path));
    }
    if (!reuseIdentifier_.empty()) notes.push_back("reuse=" + reuseIdentifier_);
    if (selected_) notes.push_back("selected");
    if (editing_) notes.push_back("editing");
    View::describe(notes);
}

}  // namespace platform::ui
