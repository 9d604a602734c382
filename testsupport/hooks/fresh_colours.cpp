// Linked into the test executables of the application's screens: every test
// case starts from unset colour constants, so that the interface style of
// its own first use fixes them, whatever ran before it.
#include <doctest/doctest.h>

#include "testsupport/test_hooks.h"

namespace {

struct FreshColours : doctest::IReporter {
    explicit FreshColours(const doctest::ContextOptions&) {}
    void report_query(const doctest::QueryData&) override {}
    void test_run_start() override {}
    void test_run_end(const doctest::TestRunStats&) override {}
    void test_case_start(const doctest::TestCaseData&) override { test_hooks::resetColourConstants(); }
    void test_case_reenter(const doctest::TestCaseData&) override { test_hooks::resetColourConstants(); }
    void test_case_end(const doctest::CurrentTestCaseStats&) override {}
    void test_case_exception(const doctest::TestCaseException&) override {}
    void subcase_start(const doctest::SubcaseSignature&) override {}
    void subcase_end() override {}
    void log_assert(const doctest::AssertData&) override {}
    void log_message(const doctest::MessageData&) override {}
    void test_case_skipped(const doctest::TestCaseData&) override {}
};

REGISTER_LISTENER("fresh colour constants", 1, FreshColours);

}  // namespace
