// Plain expressions and plain loops against statement-by-statement evaluation.

#include <doctest/doctest.h>

#include <random>
#include <string>
#include <thread>
#include <vector>

#include "measurement/script/program_decoder.h"
#include "measurement/script/runtime.h"
#include "measurement/script/script_test_support.h"
#include "measurement/script/text/program_text.h"

using namespace measurement;
using namespace measurement::testing;

namespace {

// Runs program text in a fresh runtime with these limits; answers the
// outcome, the evaluations used and the described values of some globals.
struct Run {
    std::string outcome;
    std::int64_t evaluations = 0;
    std::vector<std::string> globals;
};

Run run(const std::string& program, const std::vector<const char16_t*>& globals, APMPRuntimeLimits limits = {}) {
    APMPRuntime runtime(limits);
    const auto result = runProgramBytes(runtime, encodeProgram(assemble(program).program));
    Run out{outcome(result), result.evaluations, {}};
    for (const char16_t* name : globals) out.globals.push_back(describeValue(runtime.globalScope().valueForName(name)));
    return out;
}

APMPRuntimeLimits budget(std::int64_t instructions) {
    APMPRuntimeLimits limits;
    limits.maxInstructions = instructions;
    return limits;
}

// The counting loop of the budget tests: 8 evaluations before the first
// test, then 4 per test of the condition and 6 per step.
std::string counting(int limit) {
    return "(var \"i\") (set \"i\" 0) (while (lt $i " + std::to_string(limit) +
           ") (set \"i\" (add $i 1)) false (code))";
}
const std::string kCounting = counting(1000);

}  // namespace

TEST_CASE("a loop stopped by the budget stops where counting one evaluation at a time would") {
    struct Case {
        std::int64_t budget;
        std::int64_t evaluations;
        const char* i;
    };
    // After k whole iterations 8 + 10k evaluations have run and i is k.
    const Case cases[] = {
        {98, 98, "9"},     // nine iterations, then the condition's first evaluation
        {100, 100, "9"},   // inside the condition
        {102, 102, "9"},   // the condition whole, the step not begun
        {107, 107, "9"},   // the step's last literal is refused
        {108, 108, "10"},  // the step whole
        {1'000'000, 1'000'000, "99999"},
    };
    for (const auto& c : cases) {
        CAPTURE(c.budget);
        const Run r = run(counting(1'000'000), {u"i"}, budget(c.budget));
        CHECK(r.outcome == "error 18");
        CHECK(r.evaluations == c.evaluations);
        CHECK(r.globals[0] == c.i);
    }
    // Within the budget the loop ends by its condition.
    const Run whole = run(kCounting, {u"i"});
    CHECK(whole.outcome == "undefined");
    CHECK(whole.evaluations == 8 + 10 * 1000 + 4);
    CHECK(whole.globals[0] == "1000");
}

TEST_CASE("a plain statement refused by the nesting bound is refused where its inner statement enters") {
    // With two levels, the while statement is the first, the condition the
    // second, and its variable read the third: refused after ten
    // evaluations (declaration 2, assignment 3, while, flag, body list,
    // condition, read).
    APMPRuntimeLimits limits;
    limits.maxNestingDepth = 2;
    const Run r = run(kCounting, {u"i"}, limits);
    CHECK(r.outcome == "error 18");
    CHECK(r.evaluations == 10);
    CHECK(r.globals[0] == "0");
    // Outside a loop: (add (mul 2 3) 1) at one level reaches the second.
    limits.maxNestingDepth = 1;
    const Run expression = run("(add (mul 2 3) 1)", {}, limits);
    CHECK(expression.outcome == "error 18");
    CHECK(expression.evaluations == 2);
    limits.maxNestingDepth = 2;
    CHECK(run("(add (mul 2 3) 1)", {}, limits).outcome == "7");
}

TEST_CASE("an iteration that ends early counts only what ran") {
    // z holds a statement value: its number form fails with 4.
    const std::string failing =
        "(var \"i\" \"k\" \"z\") (set \"i\" 0) (set \"k\" 0) (set \"z\" (prop (code (add 1 2)) 0)) "
        "(while (lt $i 10) (set \"i\" (add $i 1)) false (code (set \"k\" (add $k 1)) (set \"k\" (mul $z 1)) "
        "(set \"i\" 100)))";
    const Run error = run(failing, {u"i", u"k"});
    CHECK(error.outcome == "error 4");
    // 15 before the loop, 3 to start it, 4 for the condition, 6 and 6.
    CHECK(error.evaluations == 34);
    CHECK(error.globals == std::vector<std::string>{"0", "1"});

    // Control values held in variables end the pass as statements would.
    const std::string declarations =
        "(var \"i\" \"n\" \"b\" \"c\") (set \"i\" 0) (set \"n\" 0) (set \"b\" (break)) (set \"c\" (continue)) ";
    const Run broken = run(declarations + "(while (lt $i 10) (set \"i\" (add $i 1)) false "
                                          "(code (set \"n\" (add $n 1)) $b (set \"n\" 100)))",
                           {u"i", u"n"});
    CHECK(broken.outcome == "undefined");
    // 5 + 3 + 3 + 3 + 3 before, 3 to start, 4, 6 and 2 for the pass.
    CHECK(broken.evaluations == 17 + 3 + 4 + 6 + 2);
    CHECK(broken.globals == std::vector<std::string>{"0", "1"});

    const Run continued = run(declarations + "(while (lt $i 3) (set \"i\" (add $i 1)) false "
                                             "(code (set \"n\" (add $n 1)) $c (set \"n\" 100)))",
                              {u"i", u"n"});
    CHECK(continued.outcome == "undefined");
    // Each pass: condition 4, 6, 2 and the step 6; then the last test.
    CHECK(continued.evaluations == 17 + 3 + 3 * 18 + 4);
    CHECK(continued.globals == std::vector<std::string>{"3", "3"});

    // A return held in a variable ends the loop with it.
    const Run returned = run("(var \"r\" \"h\") (set \"h\" (array (return 42))) (forof \"r\" $h (code)) "
                             "(while true undefined false (code $r))",
                             {});
    CHECK(returned.outcome == "<return 42>");
}

TEST_CASE("plain loops keep the rules of names") {
    checkCases({
        // An immutable name ignores the assignment without an error.
        {"(const \"c\" 1) (var \"i\") (set \"i\" 0) (while (lt $i 3) (set \"i\" (add $i 1)) false "
         "(code (set \"c\" (add $c 10)))) (array $c $i)",
         "[1,3]"},
        // A name no scope holds reads as undefined in every iteration.
        {"(var \"i\" \"t\") (set \"i\" 0) (set \"t\" \"\") (while (lt $i 2) (set \"i\" (add $i 1)) false "
         "(code (set \"t\" (add $t $nowhere)))) $t",
         "\"undefinedundefined\""},
        // Writes go to the enclosing scope that holds the name.
        {"(var \"s\") (set \"s\" 0) (function \"f\" (array \"n\") (while (gt $n 0) (set \"n\" (sub $n 1)) false "
         "(code (set \"s\" (add $s $n))))) (\"f\" 4) $s",
         "10"},
        // A do-while pass before the first test, then the loop.
        {"(var \"i\" \"s\") (set \"i\" 5) (set \"s\" \"\") (while (lt $i 3) (set \"i\" (add $i 1)) true "
         "(code (set \"s\" (add $s $i)))) $s",
         "\"5\""},
        // Strings and numbers mix as the operators say.
        {"(var \"i\" \"s\") (set \"i\" 0) (set \"s\" \"\") (while (le $i 3) (set \"i\" (add $i 1)) false "
         "(code (set \"s\" (add $s (mul $i 2))))) $s",
         "\"0246\""},
        // Literals in the body are values that yield themselves.
        {"(var \"i\") (set \"i\" 0) (while (lt $i 2) (set \"i\" (add $i 1)) false (code 1 \"x\" true)) $i", "2"},
    });
}

TEST_CASE("loop scopes that a closure captured are not reused") {
    checkCases({
        {"(var \"fs\" \"g0\" \"g1\" \"g2\") (set \"fs\" (array)) "
         "(forofconst \"v\" (array 1 2 3) (code (call $fs \"push\" (array (lambda \"\" (array) (return $v)))))) "
         "(set \"g0\" (prop $fs 0)) (set \"g1\" (prop $fs 1)) (set \"g2\" (prop $fs 2)) "
         "(array (\"g0\") (\"g1\") (\"g2\"))",
         "[1,2,3]"},
        // Only the even iterations capture; the others leave nothing behind.
        {"(var \"fs\" \"g0\" \"g1\") (set \"fs\" (array)) "
         "(forinlet \"k\" (array 10 11 12 13) (code (if (eq (mod $k 2) 0) "
         "(code (call $fs \"push\" (array (lambda \"\" (array) (return $k)))))))) "
         "(set \"g0\" (prop $fs 0)) (set \"g1\" (prop $fs 1)) (array (\"g0\") (\"g1\") (prop $fs \"length\"))",
         "[\"0\",\"2\",2]"},
        // Names declared in one iteration are gone in the next.
        {"(var \"r\") (set \"r\" \"\") (forofconst \"v\" (array 1 2) (code (set \"r\" (add $r (typeof $seen))) "
         "(var \"seen\"))) $r",
         "\"undefinedundefined\""},
        {"(var \"r\" \"i\") (set \"r\" \"\") (set \"i\" 0) (for (array \"i\") (lt $i 2) (set \"i\" (add $i 1)) "
         "(code (set \"r\" (add $r (typeof $seen))) (var \"seen\") (set \"seen\" 1))) $r",
         "\"undefinedundefined\""},
    });
}

TEST_CASE("values freed on another thread leave the live count where it was") {
    const auto baseline = APMPLiveObjectCount();
    std::vector<Ref<APMPArrayValue>> made;
    for (int i = 0; i < 100; ++i) made.push_back(makeRef<APMPArrayValue>(APMPValueList{APMPNumber(i)}));
    CHECK(APMPLiveObjectCount() == baseline + 100);
    std::thread freeing([&made] { made.clear(); });
    freeing.join();
    CHECK(APMPLiveObjectCount() == baseline);
    // A thread that ended took its recycled blocks with it; new values
    // here are unaffected.
    auto again = makeRef<APMPMapValue>();
    again->setValue(APMPString(u"kept"), u"k");
    CHECK(describeValue(again) == "{\"k\":\"kept\"}");
}

namespace {

// Random loops of plain statements over a few variables: arithmetic,
// comparisons, strings, the occasional control value or failing operand.
class PlainLoopGenerator {
public:
    explicit PlainLoopGenerator(std::uint32_t seed) : random_(seed) {}

    // The same loop, plain, and with a statement first in its body that
    // makes the loop go statement by statement without changing anything.
    std::pair<std::string, std::string> programs() {
        std::string body;
        const int statements = 1 + pick(4);
        for (int i = 0; i < statements; ++i) body += statement() + " ";
        const std::string head =
            "(var \"a\" \"b\" \"c\" \"i\" \"z\" \"br\" \"co\") (const \"k\" 5) (set \"a\" 1) (set \"b\" 2) "
            "(set \"c\" \"s\") (set \"i\" 0) (set \"z\" (prop (code (add 1 2)) 0)) (set \"br\" (break)) "
            "(set \"co\" (continue)) ";
        const std::string loop = "(while (lt $i " + std::to_string(1 + pick(6)) + ") (set \"i\" (add $i 1)) " +
                                 (pick(4) == 0 ? "true" : "false") + " (code ";
        const std::string tail = ")) (array $a $b $c $i $k)";
        return {head + loop + body + tail, head + loop + "(typeof 1) " + body + tail};
    }

private:
    int pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(random_); }

    std::string expression(int depth) {
        static const char* const kLeaves[] = {"$a", "$b", "$c", "$i", "$k", "3", "-1.5", "\"x\"", "true", "null"};
        static const char* const kOperators[] = {"add", "sub", "mul", "div", "mod", "lt", "le", "gt",
                                                 "ge",  "eq",  "ne",  "is",  "isnt"};
        if (depth > 2 || pick(3) == 0) return kLeaves[pick(std::size(kLeaves))];
        return std::string("(") + kOperators[pick(std::size(kOperators))] + " " + expression(depth + 1) + " " +
               expression(depth + 1) + ")";
    }

    std::string statement() {
        switch (pick(20)) {
            case 0:
                return "$br";
            case 1:
                return "$co";
            case 2:
                return "(set \"b\" (mul $z 1))";
            case 3:
                return "(set \"undeclared\" 1)";
            case 4:
                return "(set \"k\" " + expression(0) + ")";
            default: {
                static const char* const kTargets[] = {"\"a\"", "\"b\"", "\"c\""};
                return std::string("(set ") + kTargets[pick(3)] + " " + expression(0) + ")";
            }
        }
    }

    std::mt19937 random_;
};

}  // namespace

TEST_CASE("random plain loops end as the statement-by-statement loop does, and count exactly") {
    for (std::uint32_t seed = 1; seed <= 300; ++seed) {
        PlainLoopGenerator generator(seed);
        const auto programs = generator.programs();
        const auto& plain = programs.first;
        const auto& general = programs.second;
        CAPTURE(plain);
        const Run fast = run(plain, {u"a", u"b", u"c", u"i"});
        const Run slow = run(general, {u"a", u"b", u"c", u"i"});
        CHECK(fast.outcome == slow.outcome);
        CHECK(fast.globals == slow.globals);
        // Any smaller budget is spent exactly, whatever path ran.
        for (const std::int64_t less : {std::int64_t{1}, std::int64_t{2}, std::int64_t{7}, fast.evaluations / 2}) {
            if (less >= fast.evaluations || fast.evaluations - less < 20) continue;
            const Run cut = run(plain, {}, budget(fast.evaluations - less));
            CHECK(cut.outcome == "error 18");
            CHECK(cut.evaluations == fast.evaluations - less);
        }
        CHECK(run(plain, {}, budget(fast.evaluations)).outcome == fast.outcome);
    }
}
