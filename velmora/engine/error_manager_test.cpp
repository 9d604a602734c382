#include <doctest/doctest.h>

#include <memory>

#include "velmora/engine/analytics_sink.h"
#include "velmora/engine/console_line.h"
#include "velmora/engine/error_manager.h"

using namespace velmora;

namespace {

const std::string kSection = "\xC2\xA7";

std::shared_ptr<RecordingErrorField> field(const std::optional<std::string>& text, bool shown = true) {
    auto f = std::make_shared<RecordingErrorField>();
    f->fieldText = text;
    f->shown = shown;
    return f;
}

// A fresh manager state, recording sinks, restored afterwards.
struct Scope {
    Scope()
        : analyticsSink(std::make_shared<RecordingAnalytics>()),
          presenter(std::make_shared<RecordingErrorPresenter>()) {
        setAnalytics(analyticsSink);
        setConsoleSink([this](const std::string& line) { console.push_back(line); });
        auto& manager = ErrorManager::shared();
        savedPresenter = manager.presenter;
        manager.presenter = presenter;
        manager.allFields.clear();
        manager.requiredAmountOfFields = 0;
    }
    ~Scope() {
        setAnalytics(nullptr);
        setConsoleSink(nullptr);
        auto& manager = ErrorManager::shared();
        manager.presenter = savedPresenter;
        manager.allFields.clear();
        manager.requiredAmountOfFields = 0;
    }

    std::shared_ptr<RecordingAnalytics> analyticsSink;
    std::shared_ptr<RecordingErrorPresenter> presenter;
    std::shared_ptr<ErrorPresenter> savedPresenter;
    std::vector<std::string> console;
};

}  // namespace

TEST_CASE("error keys carry their arguments after section signs") {
    auto parsed = parseErrorKey("mustBeBiggerThanXAndLessThanY" + kSection + "0" + kSection + "1");
    REQUIRE(parsed);
    CHECK(parsed->key == "mustBeBiggerThanXAndLessThanY");
    CHECK(parsed->arguments == std::vector<std::string>{"0", "1"});
    CHECK_FALSE(parseErrorKey(kSection + kSection));
    CHECK_FALSE(parseErrorKey(""));
    CHECK(parseErrorKey(kSection + "key" + kSection)->key == "key");
    CHECK(makeErrorKey("mustBeLessThanX", {"200"}) == "mustBeLessThanX" + kSection + "200");
}

TEST_CASE("messages fill their placeholders from the English table") {
    auto message = [](const std::string& key) {
        auto p = presentationForErrorKey(key);
        return p ? p->message : std::string("<none>");
    };
    CHECK(message("mustBeLessThanX" + kSection + "200") == "The value must not be greater than 200.");
    CHECK(message("mustBeGreatherThanX" + kSection + "0") == "The value must be greater than 0.");
    CHECK(message("mustBeBiggerThanXAndLessThanY" + kSection + "0" + kSection + "1") ==
          "The value must lie between 0 and 1.");
    CHECK(message("mustBeGreatherThanX") == "<none>");
    CHECK(message("mustBeGreatherThanX" + kSection + "1" + kSection + "2") == "<none>");
    CHECK(message("mustBeBiggerThanXAndLessThanY" + kSection + "0") == "<none>");
    CHECK(message("inputParameterError" + kSection + "anything") == "This input is not a valid number.");
    CHECK(message("notEnoughInputValues") == "Please fill in all required values.");
    CHECK(message("mustBeWholeNumber") == "The value must be a whole number.");
    CHECK(message("mustNotBeNegative") == "The value must not be negative.");
    CHECK(message("someKeyWithoutText") == "someKeyWithoutText");
    auto alert = presentationForErrorKey("oppositionError");
    REQUIRE(alert);
    CHECK(alert->kind == ErrorPresentation::Kind::alert);
    CHECK(alert->title == "Error");
    CHECK(alert->message == "The inputs contradict each other.");
}

TEST_CASE("showInputError logs, marks the fields and shows the message") {
    Scope scope;
    auto& manager = ErrorManager::shared();
    SUBCASE("a limit marks red and toasts the filled message") {
        auto k = field("201");
        manager.showInputError("mustBeLessThanX" + kSection + "200", {k});
        CHECK(k->marking == FieldMarking::red);
        CHECK(scope.presenter->toasts == std::vector<std::string>{"The value must not be greater than 200."});
        const auto events = scope.analyticsSink->events();
        REQUIRE(events.size() == 1);
        const auto& event = events.front();
        CHECK(event.name == "kuvo_got_error");
        CHECK(event.parameters.at("error_case") == platform::Value("mustBeLessThanX" + kSection + "200"));
        CHECK(scope.console == std::vector<std::string>{"INPUT ERROR: mustBeLessThanX" + kSection + "200"});
    }
    SUBCASE("missing values mark orange") {
        auto a = field("");
        auto b = field("");
        manager.showInputError("notEnoughInputValues", {a, b});
        CHECK(a->marking == FieldMarking::orange);
        CHECK(b->marking == FieldMarking::orange);
        CHECK(scope.console == std::vector<std::string>{"INPUT: NOT ENOUGH INPUT VALUES"});
        CHECK(scope.presenter->toasts.size() == 1);
    }
    SUBCASE("a bound key without its argument shows nothing but is still logged and marked") {
        auto n = field("0");
        manager.showInputError("mustBeGreatherThanX", {n});
        CHECK(n->marking == FieldMarking::red);
        CHECK(scope.presenter->toasts.empty());
        CHECK(scope.analyticsSink->events().size() == 1);
        manager.showInputError(kSection + kSection, {});
        CHECK(scope.presenter->toasts.empty());
        CHECK(scope.presenter->alerts.empty());
    }
    SUBCASE("the opposition error is an alert") {
        manager.showInputError("oppositionError", {});
        CHECK(scope.presenter->toasts.empty());
        REQUIRE(scope.presenter->alerts.size() == 1);
        CHECK(scope.presenter->alerts.front().title == "Error");
    }
}

TEST_CASE("updateFieldStates greys out the empty fields once enough are filled") {
    Scope scope;
    auto& manager = ErrorManager::shared();
    auto a = field("1");
    auto b = field("2");
    auto c = field(std::nullopt);
    manager.allFields = {a, b, c};
    SUBCASE("nothing happens without a required count") {
        c->enabled = false;
        manager.updateFieldStates();
        CHECK_FALSE(c->enabled);
        CHECK_FALSE(a->background.has_value());
    }
    SUBCASE("two of three filled keeps every field enabled") {
        manager.requiredAmountOfFields = 3;
        manager.updateFieldStates();
        for (const auto& f : {a, b, c}) {
            CHECK(f->enabled);
            CHECK(f->background == FieldBackground::input);
        }
    }
    SUBCASE("enough filled disables the empty ones, and deleting enables them again") {
        manager.requiredAmountOfFields = 2;
        manager.updateFieldStates();
        CHECK(a->enabled);
        CHECK_FALSE(c->enabled);
        CHECK(c->background == FieldBackground::disabledInput);
        b->fieldText = "";
        manager.updateFieldStates();
        CHECK(c->enabled);
        CHECK(b->enabled);
        CHECK(c->background == FieldBackground::input);
    }
    SUBCASE("a field in a hidden container is neither counted nor changed") {
        manager.requiredAmountOfFields = 2;
        auto hidden = field("9", false);
        hidden->enabled = false;
        manager.allFields = {a, hidden, c};
        manager.updateFieldStates();
        CHECK_FALSE(hidden->enabled);
        CHECK_FALSE(hidden->background.has_value());
        CHECK(c->enabled);
    }
}
