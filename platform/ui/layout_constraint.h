#pragma once

#include <memory>
#include <string>
#include <vector>

namespace platform::ui {

class View;

enum class LayoutAttribute {
    notAnAttribute = 0, left = 1, right = 2, top = 3, bottom = 4, leading = 5, trailing = 6, width = 7, height = 8,
    centerX = 9, centerY = 10
};
enum class LayoutRelation { lessThanOrEqual = -1, equal = 0, greaterThanOrEqual = 1 };

// One linear relation between attributes of two views (or of one view and a
// constant): first.attribute = multiplier · second.attribute + constant.
// Constraints hold their views weakly; the view that holds a constraint (its
// views' nearest common ancestor once activated) keeps it alive.
class LayoutConstraint : public std::enable_shared_from_this<LayoutConstraint> {
public:
    LayoutConstraint() = default;
    static std::shared_ptr<LayoutConstraint> make(View* first, LayoutAttribute firstAttribute, LayoutRelation relation,
                                                  View* second, LayoutAttribute secondAttribute,
                                                  double multiplier = 1, double constant = 0);

    std::shared_ptr<View> firstItem() const { return first_.lock(); }
    std::shared_ptr<View> secondItem() const { return second_.lock(); }
    LayoutAttribute firstAttribute() const { return firstAttribute_; }
    LayoutAttribute secondAttribute() const { return secondAttribute_; }
    LayoutRelation relation() const { return relation_; }
    double multiplier() const { return multiplier_; }
    double constant() const { return constant_; }
    void setConstant(double constant);
    double priority() const { return priority_; }
    void setPriority(double priority) { priority_ = priority; }
    const std::string& identifier() const { return identifier_; }
    void setIdentifier(std::string id) { identifier_ = std::move(id); }

    bool isActive() const { return active_; }
    void setActive(bool active);
    static void activate(const std::vector<std::shared_ptr<LayoutConstraint>>& constraints);
    static void deactivate(const std::vector<std::shared_ptr<LayoutConstraint>>& constraints);

    std::string description() const;

private:
    friend class View;
    std::weak_ptr<View> first_;
    std::weak_ptr<View> second_;
    View* holder_ = nullptr;
    LayoutAttribute firstAttribute_ = LayoutAttribute::notAnAttribute;
    LayoutAttribute secondAttribute_ = LayoutAttribute::notAnAttribute;
    LayoutRelation relation_ = LayoutRelation::equal;
    double multiplier_ = 1;
    double constant_ = 0;
    double priority_ = 1000;
    bool active_ = false;
    std::string identifier_;
};

// One attribute of a view, from which constraints are made.
struct LayoutAnchor {
    View* view = nullptr;
    LayoutAttribute attribute = LayoutAttribute::notAnAttribute;

    std::shared_ptr<LayoutConstraint> constraint(const LayoutAnchor& equalTo, double constant = 0) const;
    std::shared_ptr<LayoutConstraint> constraint(const LayoutAnchor& other, LayoutRelation relation,
                                                 double constant = 0) const;
    // Dimensions only.
    std::shared_ptr<LayoutConstraint> constraint(double equalToConstant) const;
    std::shared_ptr<LayoutConstraint> constraint(const LayoutAnchor& equalTo, double multiplier, double constant) const;
};

// Sets the frames of the subviews of a view (those that do not translate
// their autoresizing mask) from the active, required, equal constraints the
// view holds: edges, centres and sizes against the view itself or its other
// subviews, falling back to a subview's intrinsic size. Inequalities and
// lower priorities are recorded but not solved.
void solveConstraints(View& holder);

}  // namespace platform::ui
