// Linked into the test executables of the application: every test case
// starts from unset colour and text constants, so that the interface style
// and language of its own first use fix them, whatever ran before it.
#include <doctest/doctest.h>

#include "testsupport/test_hooks.h"

namespace {

struct FreshConstants : doctest::IReporter {
    explicit FreshConstants(const doctest::ContextOptions&) {}
    void report_query(const doctest::QueryData&) override {}
    void test_run_start() override {}
    void test_run_end(const doctest::TestRunStats&) override {}
    void test_case_start(const doctest::TestCaseData&) override { test_hooks::resetApplicationConstants(); }
    void test_case_reenter(const doctest::TestCaseData&) override { test_hooks::resetApplicationConstants(); }
    void test_case_end(const doctest::CurrentTestCaseStats&) override {}
    void test_case_exception(const doctest::TestCaseException&) override {}
    void subcase_start(const doctest::SubcaseSignature&) override {}
    void subcase_end() override {}
    void log_assert(const doctest::AssertData&) override {}
    void log_message(const doctest::MessageData&) override {}
    void test_case_skipped(const doctest::TestCaseData&) override {}
};

REGISTER_LISTENER("fresh application constants", 1, FreshConstants);

}  // namespace
