#include "platform/ui/layout_constraint.h"

#include <algorithm>
#include <map>
#include <optional>

#include "platform/gfx/geometry.h"
#include "platform/ui/scroll_view.h"
#include "platform/ui/view.h"

namespace platform::ui {

std::shared_ptr<LayoutConstraint> LayoutConstraint::make(View* first, LayoutAttribute firstAttribute,
                                                         LayoutRelation relation, View* second,
                                                         LayoutAttribute secondAttribute, double multiplier,
                                                         double constant) {
    auto c = std::make_shared<LayoutConstraint>();
    if (first) c->first_ = first->sharedAs<View>();
    if (second) c->second_ = second->sharedAs<View>();
    c->firstAttribute_ = firstAttribute;
    c->secondAttribute_ = second ? secondAttribute : LayoutAttribute::notAnAttribute;
    c->relation_ = relation;
    c->multiplier_ = multiplier;
    c->constant_ = constant;
    return c;
}

void LayoutConstraint::setConstant(double constant) {
    constant_ = constant;
    if (holder_) holder_->setNeedsLayout();
}

namespace {

// The nearest view that contains both (a view contains itself).
View* commonAncestor(View* a, View* b) {
    if (!a) return b;
    if (!b) return a;
    for (View* v = a; v; v = v->superviewPointer()) {
        if (b->isDescendantOf(v)) return v;
    }
    return nullptr;
}

}  // namespace

void LayoutConstraint::setActive(bool active) {
    if (active == active_) return;
    if (!active) {
        if (holder_) holder_->removeConstraint(this);
        return;
    }
    auto first = firstItem();
    auto second = secondItem();
    View* holder = first && !second && (firstAttribute_ == LayoutAttribute::width ||
                                         firstAttribute_ == LayoutAttribute::height)
                       ? first.get()
                       : commonAncestor(first.get(), second.get());
    if (!holder) return;  // views of separate trees cannot be related
    holder->addConstraint(shared_from_this());
}

void LayoutConstraint::activate(const std::vector<std::shared_ptr<LayoutConstraint>>& constraints) {
    for (const auto& c : constraints) {
        if (c) c->setActive(true);
    }
}

void LayoutConstraint::deactivate(const std::vector<std::shared_ptr<LayoutConstraint>>& constraints) {
    for (const auto& c : constraints) {
        if (c) c->setActive(false);
    }
}

namespace {

std::string attributeName(LayoutAttribute a) {
    switch (a) {
        case LayoutAttribute::notAnAttribute: return "none";
        case LayoutAttribute::left: return "left";
        case LayoutAttribute::right: return "right";
        case LayoutAttribute::top: return "top";
        case LayoutAttribute::bottom: return "bottom";
        case LayoutAttribute::leading: return "leading";
        case LayoutAttribute::trailing: return "trailing";
        case LayoutAttribute::width: return "width";
        case LayoutAttribute::height: return "height";
        case LayoutAttribute::centerX: return "centerX";
        case LayoutAttribute::centerY: return "centerY";
    }
    return "?";
}

}  // namespace

std::string LayoutConstraint::description() const {
    auto first = firstItem();
    auto second = secondItem();
    std::string text = (first ? first->className() : std::string("nil")) + "." + attributeName(firstAttribute_);
    text += relation_ == LayoutRelation::equal ? " == " : relation_ == LayoutRelation::lessThanOrEqual ? " <= " : " >= ";
    if (second) {
        if (multiplier_ != 1) text += gfx::formatNumber(multiplier_) + "*";
        text += second->className() + "." + attributeName(secondAttribute_);
        if (constant_ != 0) text += (constant_ > 0 ? " + " : " - ") + gfx::formatNumber(std::abs(constant_));
    } else {
        text += gfx::formatNumber(constant_);
    }
    return text;
}

std::shared_ptr<LayoutConstraint> LayoutAnchor::constraint(const LayoutAnchor& equalTo, double constant) const {
    return LayoutConstraint::make(view, attribute, LayoutRelation::equal, equalTo.view, equalTo.attribute, 1, constant);
}

std::shared_ptr<LayoutConstraint> LayoutAnchor::constraint(const LayoutAnchor& other, LayoutRelation relation,
                                                           double constant) const {
    return LayoutConstraint::make(view, attribute, relation, other.view, other.attribute, 1, constant);
}

std::shared_ptr<LayoutConstraint> LayoutAnchor::constraint(double equalToConstant) const {
    return LayoutConstraint::make(view, attribute, LayoutRelation::equal, nullptr, LayoutAttribute::notAnAttribute, 1,
                                  equalToConstant);
}

std::shared_ptr<LayoutConstraint> LayoutAnchor::constraint(const LayoutAnchor& equalTo, double multiplier,
                                                           double constant) const {
    return LayoutConstraint::make(view, attribute, LayoutRelation::equal, equalTo.view, equalTo.attribute, multiplier,
                                  constant);
}

// ---- the solver ----

namespace {

// Reading left to right: leading is left, trailing is right.
LayoutAttribute canonical(LayoutAttribute a) {
    if (a == LayoutAttribute::leading) return LayoutAttribute::left;
    if (a == LayoutAttribute::trailing) return LayoutAttribute::right;
    return a;
}

double attributeValue(const Rect& r, LayoutAttribute a) {
    switch (canonical(a)) {
        case LayoutAttribute::left: return r.minX();
        case LayoutAttribute::right: return r.maxX();
        case LayoutAttribute::top: return r.minY();
        case LayoutAttribute::bottom: return r.maxY();
        case LayoutAttribute::width: return r.width();
        case LayoutAttribute::height: return r.height();
        case LayoutAttribute::centerX: return r.midX();
        case LayoutAttribute::centerY: return r.midY();
        default: return 0;
    }
}

struct Solver {
    View& holder;
    bool scrolling = false;
    // A scroll view's trailing and bottom edges are those of its content:
    // constraints to them size the content, not the subview.
    bool contentEdge(const View* v, LayoutAttribute a) const {
        return scrolling && v == &holder && (a == LayoutAttribute::right || a == LayoutAttribute::bottom);
    }

    bool solvable(const View* v) const {
        return v && v != &holder && !v->translatesAutoresizingMaskIntoConstraints() && v->isDescendantOf(&holder);
    }

    // A view's rectangle in the holder's bounds space; the holder itself is
    // its bounds at the origin.
    Rect rectOf(const View& v) const {
        if (&v == &holder) return {0, 0, holder.bounds().width(), holder.bounds().height()};
        View* parent = v.superviewPointer();
        if (!parent) return v.frame();
        return parent->convertRect(v.frame(), &holder);
    }

    void place(View& v, const Rect& inHolder) const {
        View* parent = v.superviewPointer();
        Rect r = inHolder;
        if (parent && parent != &holder) r = holder.convertRect(inHolder, parent);
        if (!(r == v.frame())) v.setFrame(r);
    }

    bool pass(const std::vector<std::shared_ptr<LayoutConstraint>>& list) {
        // attribute values per view, the first (highest priority) winning
        std::map<View*, std::map<LayoutAttribute, double>> values;
        for (const auto& c : list) {
            auto first = c->firstItem();
            auto second = c->secondItem();
            LayoutAttribute fa = canonical(c->firstAttribute());
            LayoutAttribute sa = canonical(c->secondAttribute());
            if (contentEdge(second.get(), sa) || contentEdge(first.get(), fa)) continue;
            if (solvable(first.get())) {
                double value = c->constant();
                if (second) value += c->multiplier() * attributeValue(rectOf(*second), sa);
                values[first.get()].try_emplace(fa, value);
            } else if (second && solvable(second.get()) && c->multiplier() != 0 && first) {
                double value = (attributeValue(rectOf(*first), fa) - c->constant()) / c->multiplier();
                values[second.get()].try_emplace(sa, value);
            }
        }
        bool changed = false;
        for (auto& entry : values) {
            const auto& view = entry.first;
            const auto& attrs = entry.second;
            Rect current = rectOf(*view);
            Size intrinsic = view->intrinsicContentSize();
            auto get = [&](LayoutAttribute a) -> std::optional<double> {
                auto it = attrs.find(a);
                if (it == attrs.end()) return std::nullopt;
                return it->second;
            };
            auto axis = [&](LayoutAttribute lo, LayoutAttribute hi, LayoutAttribute mid, LayoutAttribute size,
                            double currentPos, double currentSize, double intrinsicSize) {
                auto l = get(lo), h = get(hi), m = get(mid), s = get(size);
                double length = s                 ? *s
                                : (l && h)        ? *h - *l
                                : (l && m)        ? 2 * (*m - *l)
                                : (h && m)        ? 2 * (*h - *m)
                                : intrinsicSize >= 0 ? intrinsicSize
                                                  : currentSize;
                length = std::max(0.0, length);
                double pos = l ? *l : h ? *h - length : m ? *m - length / 2 : currentPos;
                return std::pair{pos, length};
            };
            auto [x, w] = axis(LayoutAttribute::left, LayoutAttribute::right, LayoutAttribute::centerX,
                               LayoutAttribute::width, current.minX(), current.width(), intrinsic.width);
            auto [y, h] = axis(LayoutAttribute::top, LayoutAttribute::bottom, LayoutAttribute::centerY,
                               LayoutAttribute::height, current.minY(), current.height(), intrinsic.height);
            Rect next(x, y, w, h);
            if (!(next == current)) {
                place(*view, next);
                changed = true;
            }
        }
        return changed;
    }
};

}  // namespace

void solveConstraints(View& holder) {
    std::vector<std::shared_ptr<LayoutConstraint>> list;
    auto take = [&](const std::shared_ptr<LayoutConstraint>& c) {
        if (c->isActive() && c->relation() == LayoutRelation::equal && c->priority() >= 750) list.push_back(c);
    };
    for (const auto& c : holder.constraints()) take(c);
    // a subview's own size constraints are held by the subview itself
    for (const auto& sub : holder.subviews()) {
        for (const auto& c : sub->constraints()) {
            if (c->firstItem() == sub && !c->secondItem()) take(c);
        }
    }
    if (list.empty()) return;
    std::stable_sort(list.begin(), list.end(), [](const auto& a, const auto& b) { return a->priority() > b->priority(); });
    auto* scroll = dynamic_cast<ScrollView*>(&holder);
    Solver solver{holder, scroll != nullptr};
    // Chains of dependent views settle within a few passes.
    for (int i = 0; i < 8 && solver.pass(list); ++i) {
    }
    if (!scroll) return;
    std::optional<double> width, height;
    for (const auto& c : list) {
        auto first = c->firstItem();
        auto second = c->secondItem();
        LayoutAttribute fa = canonical(c->firstAttribute());
        LayoutAttribute sa = canonical(c->secondAttribute());
        double extent = 0;
        LayoutAttribute edge;
        if (second.get() == &holder && solver.contentEdge(second.get(), sa) && first) {
            extent = attributeValue(solver.rectOf(*first), fa) - c->constant();  // child = content + c
            edge = sa;
        } else if (first.get() == &holder && solver.contentEdge(first.get(), fa) && second) {
            extent = attributeValue(solver.rectOf(*second), sa) + c->constant();  // content = child + c
            edge = fa;
        } else {
            continue;
        }
        auto& slot = edge == LayoutAttribute::right ? width : height;
        slot = std::max(slot.value_or(0.0), extent);
    }
    if (width || height) {
        Size current = scroll->contentSize();
        scroll->setContentSize({width.value_or(current.width), height.value_or(current.height)});
    }
}

}  // namespace platform::ui
