// Tests of opening remotely supplied addresses: web pages by scheme only, applications through can-open.
#include <doctest/doctest.h>

#include "platform/ui/application.h"
#include "velmora/shell/address_opening.h"
#include "velmora/shell/shell_pages_test_support.h"

using namespace velmora;

TEST_CASE("remote addresses open only as web pages, applications only when they can") {
    testing::ShellStage stage;
    auto& app = platform::ui::Application::shared();
    app.setOpenableSchemes({"http", "https", "mailto", "tel", "kuvocalc"});

    SUBCASE("web and store pages") {
        struct Row {
            std::string text;
            bool opens;
        };
        const std::vector<Row> rows = {
            {"https://store.velmora.example/app/42", true},
            {"http://velmora.example/discount?code=10", true},
            {"HTTPS://velmora.example/", true},
            {"javascript:alert(1)", false},
            {"kuvocalc://open", false},  // an application address is no web page
            {"mailto:someone@velmora.example", false},
            {"tel:+4912345", false},
            {"https:///no-host", false},
            {"ftp://files.velmora.example/x", false},
            {"not an address", false},
            {"", false},
        };
        for (const auto& row : rows) {
            CAPTURE(row.text);
            app.clearOpenedURLs();
            CHECK(openRemoteAddress(row.text) == row.opens);
            CHECK(app.openedURLs().empty());  // queued, not opened yet
            stage.settle();
            CHECK(app.openedURLs().size() == (row.opens ? 1u : 0u));
            if (row.opens) CHECK(app.openedURLs()[0] == *platform::URL::parse(row.text));
        }
    }
    SUBCASE("application addresses") {
        struct Row {
            std::string text;
            bool opens;
        };
        const std::vector<Row> rows = {
            {"kuvocalc://open", true},
            {"otherapp://open", false},  // not installed: the platform cannot open it
            {"kuvo calc://open", false},
            {"", false},
        };
        for (const auto& row : rows) {
            CAPTURE(row.text);
            app.clearOpenedURLs();
            CHECK(openApplicationAddress(row.text) == row.opens);
            CHECK(app.openedURLs().size() == (row.opens ? 1u : 0u));
        }
    }
}
