#include "platform/ui/interaction.h"

#include <algorithm>

#include "platform/gfx/utf8_text.h"
#include "platform/ui/application.h"
#include "platform/ui/collection_view.h"
#include "platform/ui/control.h"
#include "platform/ui/table_view.h"
#include "platform/ui/text_field.h"
#include "platform/ui/view_controller.h"
#include "platform/ui/window.h"

namespace platform::ui {

namespace {

Point centreInWindow(View& view) {
    const Rect b = view.bounds();
    return view.convertPoint({b.midX(), b.midY()}, nullptr);
}

bool reachable(View& view, Point at) {
    auto window = view.window();
    if (!window || !window->isVisible()) return false;
    for (View* v = &view; v; v = v->superviewPointer()) {
        if (v->isHidden() || v->alpha() <= 0.01 || !v->isUserInteractionEnabled()) return false;
    }
    auto top = window->topViewController();
    if (top && top != window->rootViewController() && !top->viewIfLoaded()) return false;
    return coveringView(view, at) == nullptr;
}

}  // namespace

std::shared_ptr<View> coveringView(View& view) { return coveringView(view, centreInWindow(view)); }

std::shared_ptr<View> coveringView(View& view, Point at) {
    auto window = view.window();
    if (!window) return nullptr;
    // modal presentations take every touch outside themselves
    auto top = window->topViewController();
    if (top && top != window->rootViewController()) {
        auto shown = top->viewIfLoaded();
        if (shown && !view.isDescendantOf(shown.get())) return shown;
    }
    // what the window holds above the view's own branch, where the finger lands
    View* branch = &view;
    while (branch->superviewPointer() && branch->superviewPointer() != window.get()) branch = branch->superviewPointer();
    if (branch->superviewPointer() != window.get()) return nullptr;
    const auto layers = window->subviews();
    auto above = std::find_if(layers.begin(), layers.end(), [&](const auto& v) { return v.get() == branch; });
    for (++above; above < layers.end(); ++above) {
        const View& layer = **above;
        if (layer.isHidden() || layer.alpha() <= 0.01 || !layer.isUserInteractionEnabled()) continue;
        if (layer.frame().contains(at)) return *above;
    }
    return nullptr;
}

bool tap(View& view) {
    if (auto window = view.window()) window->layoutIfNeeded();
    return tap(view, centreInWindow(view));
}

bool tap(View& view, Point at) {
    if (auto window = view.window()) window->layoutIfNeeded();
    if (!reachable(view, at)) return false;
    auto keep = view.sharedAs<View>();
    if (auto* field = dynamic_cast<TextField*>(&view)) {
        if (!field->isEnabled()) return false;
        return field->becomeFirstResponder();
    }
    if (auto* control = dynamic_cast<Control*>(&view)) {
        if (!control->isEnabled()) return false;
        control->setHighlighted(true);
        control->sendActions(controlEvent::touchDown);
        control->setHighlighted(false);
        control->sendActions(controlEvent::touchUpInside | controlEvent::primaryActionTriggered);
        return true;
    }
    if (auto* cell = dynamic_cast<TableViewCell*>(&view)) {
        if (auto* table = dynamic_cast<TableView*>(cell->superviewPointer())) {
            if (auto path = table->indexPathForCell(*cell)) return table->tapRow(*path);
        }
        return false;
    }
    if (auto* item = dynamic_cast<CollectionViewCell*>(&view)) {
        if (auto* collection = dynamic_cast<CollectionView*>(item->superviewPointer())) {
            if (auto path = collection->indexPathForCell(*item)) return collection->tapItem(*path);
        }
        return false;
    }
    return false;
}

bool typeText(Window& window, const std::string& text) {
    auto* field = dynamic_cast<TextField*>(window.firstResponder());
    if (!field) return false;
    bool any = false;
    for (char32_t c : gfx::decodeUTF8(text)) any = field->insertText(gfx::encodeUTF8(std::u32string(1, c))) || any;
    return any;
}

void layoutWindows() {
    for (auto& window : Application::shared().windows()) window->layoutIfNeeded();
}

std::vector<std::shared_ptr<View>> findViews(View& root, const std::function<bool(const View&)>& match) {
    std::vector<std::shared_ptr<View>> found;
    if (match(root)) found.push_back(root.sharedAs<View>());
    for (auto& v : root.allDescendants()) {
        if (match(*v)) found.push_back(v);
    }
    return found;
}

std::shared_ptr<View> findView(View& root, const std::string& accessibilityIdentifier) {
    auto found = findViews(root, [&](const View& v) { return v.accessibilityIdentifier() == accessibilityIdentifier; });
    return found.empty() ? nullptr : found.front();
}

std::shared_ptr<Button> findButton(View& root, const std::string& title) {
    auto found = findViews(root, [&](const View& v) {
        auto* b = dynamic_cast<const Button*>(&v);
        return b && b->currentTitle() == title;
    });
    return found.empty() ? nullptr : std::dynamic_pointer_cast<Button>(found.front());
}

}  // namespace platform::ui
