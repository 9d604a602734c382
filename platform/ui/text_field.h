#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/ui/control.h"

namespace platform::ui {

// A place in the text, counted in characters (Unicode code points).
struct TextPosition {
    int offset = 0;
    bool operator==(const TextPosition&) const = default;
};

struct TextRange {
    TextPosition start;
    TextPosition end;
    bool isEmpty() const { return start.offset == end.offset; }
    bool operator==(const TextRange&) const = default;
};

// The shortcut bar above the keyboard: groups of named bar buttons.
struct BarButtonItemGroup {
    std::vector<std::string> items;
};
struct InputAssistantItem {
    std::vector<BarButtonItemGroup> leadingBarButtonGroups{{{"undo", "redo"}}};
    std::vector<BarButtonItemGroup> trailingBarButtonGroups{{{"paste"}}};
};

enum class AutocorrectionType { defaultType = 0, no = 1, yes = 2 };
enum class TextBorderStyle { none = 0, line = 1, bezel = 2, roundedRect = 3 };
enum class KeyboardType { defaultType = 0, asciiCapable = 1, numbersAndPunctuation = 2, url = 3, numberPad = 4,
                          phonePad = 5, namePhonePad = 6, emailAddress = 7, decimalPad = 8 };

class TextField;

// What a text field asks and tells its delegate; every question defaults to yes.
class TextFieldDelegate {
public:
    virtual ~TextFieldDelegate() = default;
    virtual bool textFieldShouldBeginEditing(TextField&) { return true; }
    virtual void textFieldDidBeginEditing(TextField&) {}
    virtual bool textFieldShouldEndEditing(TextField&) { return true; }
    virtual void textFieldDidEndEditing(TextField&) {}
    // A typed change: replace `length` characters at `location` with the text.
    virtual bool textFieldShouldChangeCharacters(TextField&, int /*location*/, int /*length*/,
                                                 const std::string& /*replacement*/) {
        return true;
    }
    virtual bool textFieldShouldReturn(TextField&) { return true; }
};

// A one-line editable text. It edits while it is the first responder; then
// it has a selection (an empty one is the cursor). An input view replaces
// the system keyboard: with one set, focusing the field shows no keyboard,
// and the application's own keys edit the text through the selection.
class TextField : public Control {
public:
    TextField();
    explicit TextField(const Rect& frame);

    const std::string& text() const { return text_; }
    // Sets the text; while editing the cursor goes to its end.
    void setText(std::string text);
    bool hasText() const { return !text_.empty(); }
    int length() const;
    const std::string& placeholder() const { return placeholder_; }
    void setPlaceholder(std::string placeholder);
    const Font& font() const { return font_; }
    void setFont(const Font& font) { font_ = font; }
    const Color& textColor() const { return textColor_; }
    void setTextColor(const Color& color) { textColor_ = color; }
    TextAlignment textAlignment() const { return alignment_; }
    void setTextAlignment(TextAlignment alignment) { alignment_ = alignment; }
    TextBorderStyle borderStyle() const { return borderStyle_; }
    void setBorderStyle(TextBorderStyle style) { borderStyle_ = style; }
    KeyboardType keyboardType() const { return keyboardType_; }
    void setKeyboardType(KeyboardType type) { keyboardType_ = type; }
    AutocorrectionType autocorrectionType() const { return autocorrection_; }
    void setAutocorrectionType(AutocorrectionType type) { autocorrection_ = type; }
    bool isSecureTextEntry() const { return secure_; }
    void setSecureTextEntry(bool secure) { secure_ = secure; }

    std::shared_ptr<TextFieldDelegate> delegate() const { return delegate_.lock(); }
    void setDelegate(const std::shared_ptr<TextFieldDelegate>& delegate) { delegate_ = delegate; }
    const std::shared_ptr<View>& inputView() const { return inputView_; }
    void setInputView(std::shared_ptr<View> view) { inputView_ = std::move(view); }
    InputAssistantItem& inputAssistantItem() { return assistant_; }
    const InputAssistantItem& inputAssistantItem() const { return assistant_; }
    bool isEditing() const { return editing_; }

    // Text positions and ranges; none when out of the text.
    TextPosition beginningOfDocument() const { return {0}; }
    TextPosition endOfDocument() const { return {length()}; }
    std::optional<TextPosition> position(TextPosition from, int offset) const;
    int offset(TextPosition from, TextPosition to) const { return to.offset - from.offset; }
    std::optional<TextRange> textRange(TextPosition from, TextPosition to) const;
    std::string textIn(const TextRange& range) const;
    // The selection, while editing; none otherwise.
    std::optional<TextRange> selectedTextRange() const;
    void setSelectedTextRange(std::optional<TextRange> range);
    // Replaces a range (without asking the delegate) and puts the cursor
    // after the new text; sends editingChanged.
    void replace(const TextRange& range, const std::string& text);

    // Keyboard typing at the selection, while editing: asks the delegate,
    // then edits and sends editingChanged. False when nothing changed.
    bool insertText(const std::string& text);
    bool deleteBackward();
    // The return key: asks the delegate.
    bool pressReturn();

    bool canBecomeFirstResponder() const override;
    bool becomeFirstResponder() override;
    bool resignFirstResponder() override;

    Size intrinsicContentSize() const override;
    void draw(const Rect& rect) override;
    void describe(std::vector<std::string>& notes) const override;

protected:
    // Called after the text, the placeholder or the editing state changed,
    // however it changed (typing, code, focus), so that subclasses showing
    // any of them follow at once.
    virtual void contentDidChange() {}
    // The text (or the placeholder when there is none) in the area, as the
    // field shows it; draw() uses it over the whole bounds.
    void drawContent(gfx::GraphicsContext& context, const Rect& area) const;

private:
    void edit(int start, int end, const std::string& replacement);

    std::string text_;
    std::string placeholder_;
    Font font_ = Font::system(17);
    Color textColor_ = Color::label();
    TextAlignment alignment_ = TextAlignment::natural;
    TextBorderStyle borderStyle_ = TextBorderStyle::none;
    KeyboardType keyboardType_ = KeyboardType::defaultType;
    AutocorrectionType autocorrection_ = AutocorrectionType::defaultType;
    bool secure_ = false;
    std::weak_ptr<TextFieldDelegate> delegate_;
    std::shared_ptr<View> inputView_;
    InputAssistantItem assistant_;
    bool editing_ = false;
    TextRange selection_;
};

}  // namespace platform::ui
