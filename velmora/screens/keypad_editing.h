#pragma once

#include <optional>
#include <string>

// What the calculator page's own keys do to a field's text: the text rules
// alone, counted in characters (code points), apart from the field.
namespace velmora {

// A field's text and its cursor after a key.
struct KeypadEdit {
    std::string text;
    int cursor = 0;
    bool operator==(const KeypadEdit&) const = default;
};

// A key at the selection [start, end): the selection is deleted first. "-"
// toggles the sign: with any minus in the text every minus goes and the
// cursor moves back by those that stood ahead of it; otherwise a minus goes
// in front and the cursor moves on by one. Any other key is inserted at
// the cursor, which moves past it. Offsets outside the text are held to it.
KeypadEdit keypadInsertion(const std::string& text, int selectionStart, int selectionEnd, const std::string& key);

// The delete key: without a selection the character left of the cursor
// goes, with one the selection goes. None when there is nothing to delete
// (an empty text, or the cursor at the very start).
std::optional<KeypadEdit> keypadDeletion(const std::string& text, int selectionStart, int selectionEnd);

}  // namespace velmora
