// Validity of string filters and the match types.
#include "measurement/audience/string_match.h"

#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include <vector>

#include "measurement/audience/audience_codes.h"
#include "measurement/audience/audience_fields.h"
#include "measurement/audience/filter_description.h"
#include "measurement/foundation/monitor.h"

namespace measurement {

namespace {

using namespace audience_field;

platform::Value filterContext(const APMPBStringFilter& filter) {
    return platform::Value(APMDescriptionOfStringFilter(filter));
}

void logInvalid(long code, const std::string& message, const APMPBStringFilter& filter) {
    APMMonitor::shared().logWithLevel(kAPMMonitorLevelError, code, message, filterContext(filter));
}

std::uint32_t matchType(const APMPBStringFilter& filter) {
    return static_cast<std::uint32_t>(NANOGetInt32(filter, kStringMatchType));
}

bool isCaseSensitive(const APMPBStringFilter& filter) { return NANOGetBool(filter, kStringCaseSensitive); }

icu::UnicodeString folded(icu::UnicodeString text) {
    text.foldCase(U_FOLD_CASE_DEFAULT);
    return text;
}

// Whether the text, from the given position, starts with characters whose
// folding is exactly the folded expression: the match ends on a character
// boundary of the text, as a case-insensitive anchored search would find it.
bool foldedPrefixAt(const icu::UnicodeString& text, std::int32_t start, const icu::UnicodeString& foldedExpression) {
    icu::UnicodeString accumulated;
    std::int32_t position = start;
    while (accumulated.length() < foldedExpression.length() && position < text.length()) {
        const UChar32 character = text.char32At(position);
        accumulated.append(folded(icu::UnicodeString(character)));
        position = text.moveIndex32(position, 1);
    }
    return accumulated == foldedExpression;
}

bool insensitiveBeginsWith(const icu::UnicodeString& text, const icu::UnicodeString& expression) {
    return !expression.isEmpty() && foldedPrefixAt(text, 0, folded(expression));
}

bool insensitiveEndsWith(const icu::UnicodeString& text, const icu::UnicodeString& expression) {
    if (expression.isEmpty() || text.length() < expression.length()) return false;
    return folded(text.tempSubString(text.length() - expression.length())) == folded(expression);
}

bool insensitiveContains(const icu::UnicodeString& text, const icu::UnicodeString& expression) {
    if (expression.isEmpty()) return false;
    const icu::UnicodeString foldedExpression = folded(expression);
    for (std::int32_t start = 0; start < text.length(); start = text.moveIndex32(start, 1)) {
        if (foldedPrefixAt(text, start, foldedExpression)) return true;
    }
    return false;
}

icu::UnicodeString utf16(const std::string& text) { return icu::UnicodeString::fromUTF8(text); }

APMFilterOutcome matchExpression(const APMPBStringFilter& filter, const APMAudienceExpression& expression,
                                 const std::string& value) {
    std::string reason;
    const auto found = expression.findIn(value, &reason);
    if (!found) {
        APMMonitor::shared().logWithLevel(
            kAPMMonitorLevelWarning, kAPMStringFilterRegexTooCostlyCode,
            "Regular expression ran past its limits. Audience filter will not be evaluated. Filter, error",
            filterContext(filter), platform::Value(reason));
    }
    return found;
}

bool matchesListEntry(const APMPBStringFilter& filter, const std::string& value) {
    const bool caseSensitive = isCaseSensitive(filter);
    for (const auto& entry : NANOGetArray<std::string>(filter, kStringExpressionList)) {
        if (APMStringEquals(value, entry, caseSensitive)) return true;
    }
    return false;
}

}  // namespace

bool APMStringBeginsWith(const std::string& text, const std::string& expression, bool caseSensitive) {
    if (expression.empty()) return false;
    if (caseSensitive) return text.compare(0, expression.size(), expression) == 0;
    return insensitiveBeginsWith(utf16(text), utf16(expression));
}

bool APMStringEndsWith(const std::string& text, const std::string& expression, bool caseSensitive) {
    if (expression.empty()) return false;
    if (caseSensitive) {
        return text.size() >= expression.size() &&
               text.compare(text.size() - expression.size(), expression.size(), expression) == 0;
    }
    return insensitiveEndsWith(utf16(text), utf16(expression));
}

bool APMStringContains(const std::string& text, const std::string& expression, bool caseSensitive) {
    if (expression.empty()) return false;
    if (caseSensitive) return text.find(expression) != std::string::npos;
    return insensitiveContains(utf16(text), utf16(expression));
}

bool APMStringEquals(const std::string& text, const std::string& expression, bool caseSensitive) {
    // The empty expression is the empty text in both cases: an anchored
    // search for it would find nothing without case.
    if (expression.empty()) return text.empty();
    if (caseSensitive) return text == expression;
    const icu::UnicodeString unicodeText = utf16(text);
    const icu::UnicodeString unicodeExpression = utf16(expression);
    return unicodeText.length() == unicodeExpression.length() && insensitiveBeginsWith(unicodeText, unicodeExpression);
}

bool APMIsValidStringFilter(const APMPBStringFilter& filter, std::shared_ptr<const APMAudienceExpression>* compiled) {
    if (compiled) compiled->reset();
    if (!NANOHasField(filter, kStringMatchType)) {
        logInvalid(kAPMStringFilterNoMatchTypeCode, "String filter has no match type", filter);
        return false;
    }
    const std::uint32_t type = matchType(filter);
    if (type == kAPMMatchInList) {
        if (!NANOGetArray<std::string>(filter, kStringExpressionList).empty()) return true;
        logInvalid(kAPMStringFilterNoExpressionListCode, "String filter has no expression list", filter);
        return false;
    }
    if (type == kAPMMatchUnknown) {
        logInvalid(kAPMStringFilterUnknownMatchTypeCode, "String filter has unknown match type", filter);
        return false;
    }
    const auto expression = NANOGetString(filter, kStringExpression);
    if (!expression) {
        logInvalid(kAPMStringFilterNoExpressionCode, "String filter has no expression", filter);
        return false;
    }
    if (type != kAPMMatchRegularExpression) return true;
    std::string reason;
    auto pattern = APMAudienceExpression::compile(*expression, isCaseSensitive(filter), &reason);
    if (!pattern) {
        APMMonitor::shared().logWithLevel(kAPMMonitorLevelError, kAPMStringFilterRegexInvalidCode,
                                          "Unable to parse regular expression", filterContext(filter),
                                          platform::Value(reason));
        return false;
    }
    if (compiled) *compiled = std::move(pattern);
    return true;
}

APMFilterOutcome APMMatchString(const APMPBStringFilter& filter, const std::optional<std::string>& value) {
    if (!value) {
        logInvalid(kAPMStringFilterNoStringCode, "Evaluation string is nil. Audience filter will not be evaluated",
                   filter);
        return std::nullopt;
    }
    std::shared_ptr<const APMAudienceExpression> compiled;
    if (!APMIsValidStringFilter(filter, &compiled)) {
        logInvalid(kAPMStringFilterInvalidCode, "String filter is invalid. Audience filter will not be evaluated",
                   filter);
        return std::nullopt;
    }
    const std::string expression = NANOGetString(filter, kStringExpression).value_or("");
    const bool caseSensitive = isCaseSensitive(filter);
    switch (matchType(filter)) {
        case kAPMMatchRegularExpression: return matchExpression(filter, *compiled, *value);
        case kAPMMatchBeginsWith: return APMStringBeginsWith(*value, expression, caseSensitive);
        case kAPMMatchEndsWith: return APMStringEndsWith(*value, expression, caseSensitive);
        case kAPMMatchContains: return APMStringContains(*value, expression, caseSensitive);
        case kAPMMatchExact: return APMStringEquals(*value, expression, caseSensitive);
        case kAPMMatchInList: return matchesListEntry(filter, *value);
        default: return false;  // a type this engine does not know
    }
}

}  // namespace measurement
