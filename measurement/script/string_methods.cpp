// String methods of the script runtime.
#include <unicode/uregex.h>
#include <unicode/ustring.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>

#include "measurement/script/command_support.h"
#include "measurement/script/script_string.h"

namespace measurement {

namespace {

using namespace commands;

double lengthOf(const std::u16string& string) { return static_cast<double>(string.size()); }

// A string argument's text, or the text "undefined" when it is absent.
std::u16string textArgument(const APMPValueList& arguments, std::size_t i, ScriptError& error) {
    if (i >= arguments.size()) return u"undefined";
    return arguments[i]->stringValueOrError(error);
}

std::u16string substring(const std::u16string& string, double from, double to) {
    const std::size_t begin = APMPClampToSize(from, string.size());
    const std::size_t end = APMPClampToSize(to, string.size());
    return end > begin ? string.substr(begin, end - begin) : std::u16string();
}

// ---- Regular expressions --------------------------------------------------

struct RegexDeleter {
    void operator()(URegularExpression* regex) const { uregex_close(regex); }
};

struct MatchClock {
    std::int32_t steps = 0;
};

UBool recordSteps(const void* context, int32_t steps) {
    auto* clock = static_cast<MatchClock*>(const_cast<void*>(context));
    clock->steps = std::max(clock->steps, steps);
    return true;
}

// The first match of the pattern in the text: its start and end, or -1.
// The matcher runs under the run's regular-expression time and a stack
// limit; running out of either fails with 18, a pattern the compiler
// rejects with the compiler's own error.
bool firstMatch(const std::u16string& pattern, const std::u16string& text, APMPScope& scope,
                std::int32_t& start, std::int32_t& end, ScriptError& error) {
    APMPBudget* budget = APMPBudgetOf(scope);
    const auto& limits = APMPLimitsOf(budget);
    const std::int32_t timeLeft = budget ? budget->regexTimeLeft() : limits.maxRegexTimeUnits;
    if (timeLeft <= 0 || pattern.size() > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max()) ||
        text.size() > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
        error.fail(kAPMPErrorBudgetExhausted);
        return false;
    }
    UErrorCode status = U_ZERO_ERROR;
    UParseError parseError{};
    std::unique_ptr<URegularExpression, RegexDeleter> regex(
        uregex_open(pattern.data(), static_cast<std::int32_t>(pattern.size()), 0, &parseError, &status));
    if (U_FAILURE(status)) {
        error.failIn(kAPMPRegexErrorDomain, status);
        return false;
    }
    MatchClock clock;
    uregex_setTimeLimit(regex.get(), timeLeft, &status);
    uregex_setStackLimit(regex.get(), limits.maxRegexStackBytes, &status);
    uregex_setMatchCallback(regex.get(), recordSteps, &clock, &status);
    uregex_setText(regex.get(), text.data(), static_cast<std::int32_t>(text.size()), &status);
    const bool found = U_SUCCESS(status) && uregex_find(regex.get(), 0, &status);
    if (budget) budget->spendRegexTime(std::max(clock.steps, 1));
    if (status == U_REGEX_TIME_OUT || status == U_REGEX_STACK_OVERFLOW) {
        error.fail(kAPMPErrorBudgetExhausted);
        return false;
    }
    if (U_FAILURE(status)) {
        error.failIn(kAPMPRegexErrorDomain, status);
        return false;
    }
    start = end = -1;
    if (found) {
        start = uregex_start(regex.get(), 0, &status);
        end = uregex_end(regex.get(), 0, &status);
    }
    return true;
}

APMPValueRef match(const std::u16string& string, const APMPValueList& arguments, APMPScope& scope,
                   ScriptError& error) {
    if (!APMPCheckMaximumArgumentCount(arguments, 1, error)) return APMPUndefined();
    const auto pattern = arguments.empty() ? std::u16string() : arguments[0]->stringValueOrError(error);
    if (error) return APMPUndefined();
    if (pattern.empty()) return APMPObjectManager::arrayValueWithArray({APMPString(u"")}, scope);
    std::int32_t start = -1, end = -1;
    if (!firstMatch(pattern, string, scope, start, end, error)) return APMPUndefined();
    if (start < 0) return APMPNull();
    APMPValueRef matched = APMPNewString(string.substr(std::size_t(start), std::size_t(end - start)), scope, error);
    if (error) return APMPUndefined();
    return APMPObjectManager::arrayValueWithArray({matched}, scope);
}

APMPValueRef search(const std::u16string& string, const APMPValueList& arguments, APMPScope& scope,
                    ScriptError& error) {
    if (!APMPCheckMaximumArgumentCount(arguments, 1, error)) return APMPUndefined();
    const auto pattern = textArgument(arguments, 0, error);
    if (error) return APMPUndefined();
    if (pattern.empty()) return APMPNumber(0);
    std::int32_t start = -1, end = -1;
    if (!firstMatch(pattern, string, scope, start, end, error)) return APMPUndefined();
    return APMPNumber(start);
}

// ---- Searching and slicing -------------------------------------------------

APMPValueRef charAt(const std::u16string& string, const APMPValueList& arguments, APMPScope&, ScriptError& error) {
    if (!APMPCheckMaximumArgumentCount(arguments, 1, error)) return APMPUndefined();
    const double index = integerArgument(arguments, 0, 0, error);
    if (error) return APMPUndefined();
    if (index < 0 || index >= lengthOf(string)) return APMPString(u"");
    return APMPString(std::u16string(1, string[static_cast<std::size_t>(index)]));
}

APMPValueRef concat(const std::u16string& string, const APMPValueList& arguments, APMPScope& scope,
                    ScriptError& error) {
    std::u16string joined = string;
    for (const auto& argument : arguments) {
        joined += argument->stringValueOrError(error);
        if (error) return APMPUndefined();
    }
    return APMPNewString(std::move(joined), scope, error);
}

APMPValueRef hasOwnProperty(const std::u16string& string, const APMPValueList& arguments, APMPScope&,
                            ScriptError& error) {
    if (!APMPCheckArgumentCount(arguments, 1, error)) return APMPUndefined();
    const auto name = arguments[0]->stringValueOrError(error);
    if (error) return APMPUndefined();
    if (name == u"length") return APMPBoolean(true);
    const double index = arguments[0]->doubleValueOrError(error);
    if (error) return APMPUndefined();
    return APMPBoolean(index >= 0 && std::trunc(index) == index && index < lengthOf(string));
}

APMPValueRef indexOf(const std::u16string& string, const APMPValueList& arguments, APMPScope&, ScriptError& error) {
    if (!APMPCheckMaximumArgumentCount(arguments, 2, error)) return APMPUndefined();
    const auto needle = textArgument(arguments, 0, error);
    if (error) return APMPUndefined();
    const double start = integerArgument(arguments, 1, 0, error);
    if (error) return APMPUndefined();
    if (needle.empty()) return APMPNumber(-1);
    const auto found = string.find(needle, APMPClampToSize(start, string.size()));
    return APMPNumber(found == std::u16string::npos ? -1 : static_cast<double>(found));
}

APMPValueRef lastIndexOf(const std::u16string& string, const APMPValueList& arguments, APMPScope&,
                         ScriptError& error) {
    if (!APMPCheckMaximumArgumentCount(arguments, 2, error)) return APMPUndefined();
    const auto needle = textArgument(arguments, 0, error);
    if (error) return APMPUndefined();
    double position = std::numeric_limits<double>::infinity();
    if (arguments.size() > 1) {
        const double given = arguments[1]->doubleValueOrError(error);
        if (error) return APMPUndefined();
        if (!std::isnan(given)) position = APMPToInteger(given);
    }
    if (needle.empty()) return APMPNumber(-1);
    const std::size_t clamped = APMPClampToSize(position, string.size());
    const std::size_t limit = std::min(clamped + needle.size(), string.size());
    if (limit < needle.size()) return APMPNumber(-1);
    const auto found = string.rfind(needle, limit - needle.size());
    return APMPNumber(found == std::u16string::npos ? -1 : static_cast<double>(found));
}

APMPValueRef replace(const std::u16string& string, const APMPValueList& arguments, APMPScope& scope,
                     ScriptError& error) {
    if (!APMPCheckMaximumArgumentCount(arguments, 2, error)) return APMPUndefined();
    const auto pattern = textArgument(arguments, 0, error);
    if (error) return APMPUndefined();
    const std::size_t position = pattern.empty() ? 0 : string.find(pattern);
    if (position == std::u16string::npos) return APMPNewString(string, scope, error);
    std::u16string replacement = u"undefined";
    if (arguments.size() > 1 && arguments[1]->isFunction()) {
        APMPValueList callArguments{APMPString(pattern), APMPNumber(static_cast<double>(position)), APMPString(string)};
        APMPValueRef result = asFunction(arguments[1]).invokeWithArguments(callArguments, scope, error);
        if (error) return APMPUndefined();
        replacement = result->stringValueOrError(error);
    } else if (arguments.size() > 1) {
        replacement = arguments[1]->stringValueOrError(error);
    }
    if (error) return APMPUndefined();
    std::u16string replaced = string;
    replaced.replace(position, pattern.size(), replacement);
    return APMPNewString(std::move(replaced), scope, error);
}

APMPValueRef slice(const std::u16string& string, const APMPValueList& arguments, APMPScope& scope,
                   ScriptError& error) {
    if (!APMPCheckMaximumArgumentCount(arguments, 2, error)) return APMPUndefined();
    const double length = lengthOf(string);
    const auto bound = [length](double x) { return x < 0 ? std::max(x + length, 0.0) : std::min(x, length); };
    const double start = bound(integerArgument(arguments, 0, 0, error));
    if (error) return APMPUndefined();
    const double end = bound(integerArgument(arguments, 1, length, error));
    if (error) return APMPUndefined();
    return APMPNewString(substring(string, start, end), scope, error);
}

APMPValueRef substringMethod(const std::u16string& string, const APMPValueList& arguments, APMPScope& scope,
                             ScriptError& error) {
    if (!APMPCheckMaximumArgumentCount(arguments, 2, error)) return APMPUndefined();
    const double length = lengthOf(string);
    const double start = std::clamp(integerArgument(arguments, 0, 0, error), 0.0, length);
    if (error) return APMPUndefined();
    const double end = std::clamp(integerArgument(arguments, 1, length, error), 0.0, length);
    if (error) return APMPUndefined();
    return APMPNewString(substring(string, std::min(start, end), std::max(start, end)), scope, error);
}

APMPValueRef split(const std::u16string& string, const APMPValueList& arguments, APMPScope& scope,
                   ScriptError& error) {
    if (!APMPCheckMaximumArgumentCount(arguments, 2, error)) return APMPUndefined();
    if (string.empty() || arguments.empty()) return APMPObjectManager::arrayValueWithArray({APMPString(string)}, scope);
    const auto separator = arguments[0]->stringValueOrError(error);
    if (error) return APMPUndefined();
    std::size_t limit = std::numeric_limits<std::size_t>::max();
    if (arguments.size() > 1) {
        const double given = arguments[1]->doubleValueOrError(error);
        if (error) return APMPUndefined();
        limit = APMPToUint32(given);
    }
    // Each piece is paid for before it is made: splitting a long text into
    // units would otherwise hold many times its size before any check.
    APMPValueList pieces;
    const auto add = [&](std::u16string piece) {
        if (!APMPChargeAllocation(scope, kNewStringCost + piece.size() * sizeof(char16_t), error)) return false;
        pieces.push_back(APMPString(std::move(piece)));
        return true;
    };
    if (separator.empty()) {
        for (std::size_t i = 0; i < string.size() && pieces.size() < limit; ++i) {
            if (!add(std::u16string(1, string[i]))) return APMPUndefined();
        }
    } else {
        std::size_t from = 0;
        while (pieces.size() < limit) {
            const std::size_t at = string.find(separator, from);
            if (!add(string.substr(from, at == std::u16string::npos ? at : at - from))) return APMPUndefined();
            if (at == std::u16string::npos) break;
            from = at + separator.size();
        }
    }
    return APMPObjectManager::arrayValueWithArray(std::move(pieces), scope);
}

// ---- Case mapping and trimming ---------------------------------------------

using CaseMapping = int32_t (*)(UChar*, int32_t, const UChar*, int32_t, const char*, UErrorCode*);

// locale: "" maps without regard to a locale, nullptr in the current one.
APMPValueRef mapCase(const std::u16string& string, const APMPValueList& arguments, APMPScope& scope,
                     ScriptError& error, CaseMapping mapping, const char* locale) {
    if (!APMPCheckArgumentCount(arguments, 0, error)) return APMPUndefined();
    if (string.size() > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max() / 4)) {
        return fail(error, kAPMPErrorBudgetExhausted);
    }
    const auto length = static_cast<std::int32_t>(string.size());
    std::u16string mapped(string.size(), u'\0');
    UErrorCode status = U_ZERO_ERROR;
    std::int32_t needed = mapping(mapped.data(), length, string.data(), length, locale, &status);
    if (status == U_BUFFER_OVERFLOW_ERROR) {
        mapped.assign(static_cast<std::size_t>(needed), u'\0');
        status = U_ZERO_ERROR;
        needed = mapping(mapped.data(), needed, string.data(), length, locale, &status);
    }
    if (U_FAILURE(status)) {
        error.failIn(kAPMPICUErrorDomain, status);
        return APMPUndefined();
    }
    mapped.resize(static_cast<std::size_t>(needed));
    return APMPNewString(std::move(mapped), scope, error);
}

APMPValueRef toLowerCase(const std::u16string& s, const APMPValueList& a, APMPScope& scope, ScriptError& error) {
    return mapCase(s, a, scope, error, u_strToLower, "");
}
APMPValueRef toLocaleLowerCase(const std::u16string& s, const APMPValueList& a, APMPScope& scope, ScriptError& error) {
    return mapCase(s, a, scope, error, u_strToLower, nullptr);
}
APMPValueRef toUpperCase(const std::u16string& s, const APMPValueList& a, APMPScope& scope, ScriptError& error) {
    return mapCase(s, a, scope, error, u_strToUpper, "");
}
APMPValueRef toLocaleUpperCase(const std::u16string& s, const APMPValueList& a, APMPScope& scope, ScriptError& error) {
    return mapCase(s, a, scope, error, u_strToUpper, nullptr);
}

APMPValueRef toString(const std::u16string& string, const APMPValueList& arguments, APMPScope&, ScriptError& error) {
    if (!APMPCheckArgumentCount(arguments, 0, error)) return APMPUndefined();
    return APMPString(string);
}

APMPValueRef trim(const std::u16string& string, const APMPValueList& arguments, APMPScope&, ScriptError& error) {
    if (!APMPCheckArgumentCount(arguments, 0, error)) return APMPUndefined();
    return APMPString(std::u16string(trimWhitespaceAndNewlines(string)));
}

}  // namespace

const APMPStringCommandEvaluator& APMPStringCommandEvaluator::sharedInstance() {
    static const APMPStringCommandEvaluator instance;
    return instance;
}

APMPStringCommandEvaluator::APMPStringCommandEvaluator()
    : _handlers{
          {u"charAt", charAt},
          {u"concat", concat},
          {u"hasOwnProperty", hasOwnProperty},
          {u"indexOf", indexOf},
          {u"lastIndexOf", lastIndexOf},
          {u"match", match},
          {u"replace", replace},
          {u"search", search},
          {u"slice", slice},
          {u"split", split},
          {u"substring", substringMethod},
          {u"toLowerCase", toLowerCase},
          {u"toLocaleLowerCase", toLocaleLowerCase},
          {u"toUpperCase", toUpperCase},
          {u"toLocaleUpperCase", toLocaleUpperCase},
          {u"toString", toString},
          {u"trim", trim},
      } {}

APMPValueRef APMPStringCommandEvaluator::evaluateCommand(const std::u16string& name, const std::u16string& string,
                                                         const APMPValueList& arguments, APMPScope& scope,
                                                         ScriptError& error) const {
    return dispatchMethod(handlerFor(name), string, arguments, scope, error);
}

APMPStringCommandEvaluator::Handler APMPStringCommandEvaluator::handlerFor(const std::u16string& name) const {
    const auto it = _handlers.find(name);
    return it == _handlers.end() ? nullptr : it->second;
}

}  // namespace measurement
