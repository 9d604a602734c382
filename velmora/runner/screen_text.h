// The screen as a person reads it: titles, texts, fields, LaTeX, table rows, what is presented.
#pragma once

#include <optional>
#include <string>

namespace platform::ui {
class Button;
class View;
class Window;
}  // namespace platform::ui

namespace velmora::runner {

// One line for each thing shown, indented under the page that shows it:
// the toolbar's title and buttons, the tab bar, labels, text fields with
// their text, LaTeX, buttons in brackets, table rows by section and row
// ("1.0 Community"), collection items, charts, videos, the stars of a
// rating and where a scroll view larger inside than outside stands. What is hidden is
// left out, and so are rows scrolled out of sight (counted instead). A
// presented page (an alert, the introduction) follows what it covers.
std::string describeScreen(const platform::ui::Window& window);
// The same for one view and what it holds.
std::string describeView(const platform::ui::View& view);

// The names the listing shows in brackets, which `tap` takes back: a
// button's title, else its identifier, else its image's name; a star of a
// rating "star 1" to "star 5".
std::string buttonName(const platform::ui::Button& button);
std::string starName(int number);
// The number of a star named so; none for any other text.
std::optional<int> starNumber(const std::string& name);
// What follows "star " in a name that asks for a star ("2.5" of
// "star 2.5"), whether a star goes by it or not; none for other names.
std::optional<std::string> starAsked(const std::string& name);

}  // namespace velmora::runner
