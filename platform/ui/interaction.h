#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/ui/view.h"

namespace platform::ui {

class Button;
class Window;

// What a user does, for tests and the headless runner. A tap reaches a view
// only when it is on screen (in a window, itself and its ancestors shown and
// interactive) and nothing covers it (coveringView); windows are laid out
// first, as a frame would be.
//
// A tap on: a control sends touchDown and touchUpInside (when enabled); a
// text field makes it the first responder; a table or collection cell
// selects its row. Answers whether the tap reached anything.
bool tap(View& view);
// The same, the finger landing at a point of the window rather than on the
// view's centre.
bool tap(View& view, Point at);
// What takes the touches meant for a view: the view of a presented
// controller it is not part of (a presentation takes every touch outside
// itself), else a shown, interactive view the window holds above the
// view's own that lies under the view's centre (an overlay); none when the
// view itself takes them.
std::shared_ptr<View> coveringView(View& view);
// The same for a touch at a point of the window.
std::shared_ptr<View> coveringView(View& view, Point at);
// Types into the window's first responder (a text field), one character at a time.
bool typeText(Window& window, const std::string& text);
// Lays out every window of the application.
void layoutWindows();

// Searches, depth first, from a view (the view included).
std::shared_ptr<View> findView(View& root, const std::string& accessibilityIdentifier);
std::vector<std::shared_ptr<View>> findViews(View& root, const std::function<bool(const View&)>& match);
std::shared_ptr<Button> findButton(View& root, const std::string& title);
template <class T>
std::shared_ptr<T> findFirst(View& root) {
    auto found = findViews(root, [](const View& v) { return dynamic_cast<const T*>(&v) != nullptr; });
    return found.empty() ? nullptr : std::dynamic_pointer_cast<T>(found.front());
}

}  // namespace platform::ui
