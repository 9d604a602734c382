#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "velmora/engine/error_key.h"

// The error display of a calculator page's input fields. The fields and
// the toast and alert display are the screens' to implement; the engine
// holds only the logic and a recording implementation of each seam.
namespace velmora {

enum class FieldBackground { input, disabledInput };  // KuvoColor.inputFieldBackground / disabled...
enum class FieldMarking { red, orange };

// One input field as the error bookkeeping sees it.
class ErrorField {
public:
    virtual ~ErrorField() = default;
    // The field has a superview and that superview is not hidden.
    virtual bool isShown() const = 0;
    virtual std::optional<std::string> text() const = 0;
    virtual void setEnabled(bool enabled) = 0;
    virtual void setBackground(FieldBackground background) = 0;
    virtual void setMarking(FieldMarking marking) = 0;
};

// Toasts and alerts. An alert is presented over the key window's root
// view controller; without one the implementation shows nothing.
class ErrorPresenter {
public:
    virtual ~ErrorPresenter() = default;
    virtual void showToast(const std::string& message) = 0;
    virtual void showAlert(const std::string& title, const std::string& message) = 0;
};

class RecordingErrorField : public ErrorField {
public:
    bool shown = true;
    std::optional<std::string> fieldText;
    bool enabled = true;
    std::optional<FieldBackground> background;
    std::optional<FieldMarking> marking;

    bool isShown() const override { return shown; }
    std::optional<std::string> text() const override { return fieldText; }
    void setEnabled(bool value) override { enabled = value; }
    void setBackground(FieldBackground value) override { background = value; }
    void setMarking(FieldMarking value) override { marking = value; }
};

class RecordingErrorPresenter : public ErrorPresenter {
public:
    struct Alert {
        std::string title;
        std::string message;
    };

    std::vector<std::string> toasts;
    std::vector<Alert> alerts;

    void showToast(const std::string& message) override { toasts.push_back(message); }
    void showAlert(const std::string& title, const std::string& message) override { alerts.push_back({title, message}); }
};

class ErrorManager {
public:
    static ErrorManager& shared();

    std::vector<std::shared_ptr<ErrorField>> allFields;
    int requiredAmountOfFields = 0;

    // A RecordingErrorPresenter until the screens set theirs.
    std::shared_ptr<ErrorPresenter> presenter = std::make_shared<RecordingErrorPresenter>();

    // Enables the shown fields; once enough of them are filled, greys out
    // the empty ones.
    void updateFieldStates();

    // Logs "kuvo_got_error", marks the fields (orange for missing values,
    // red otherwise) and shows the message.
    void showInputError(const std::string& errorKey, const std::vector<std::shared_ptr<ErrorField>>& fields);

    void showErrorMessage(const std::string& errorKey);
};

}  // namespace velmora
