// Compiled, cached and time-limited regular expressions of string filters.
#include "measurement/audience/audience_expression.h"

#include <unicode/regex.h>
#include <unicode/utypes.h>

#include <atomic>
#include <map>
#include <mutex>
#include <utility>

#include "measurement/audience/audience_expression_shared_state.h"

namespace measurement {

std::atomic<std::int32_t>& detail::expressionTimeLimit() {
    static std::atomic<std::int32_t> limit{kDefaultExpressionTimeLimit};
    return limit;
}

struct APMAudienceExpression::Pattern {
    std::unique_ptr<icu::RegexPattern> compiled;
};

namespace {

// The matcher's backtracking memory.
constexpr std::int32_t kStackLimitBytes = 1 << 20;
// Definitions are replaced as a whole; a cache this large holds every
// expression of any configuration the server may send.
constexpr std::size_t kMaxCachedExpressions = 512;


struct Entry {
    std::shared_ptr<const APMAudienceExpression> expression;
    std::string error;
};

struct Cache {
    std::mutex mutex;
    std::map<std::pair<std::string, bool>, Entry> entries;
};

Cache& cache() {
    static Cache* instance = new Cache;  // outlives every static that may search
    return *instance;
}

Entry compileEntry(const std::string& expression, bool caseSensitive) {
    UErrorCode status = U_ZERO_ERROR;
    UParseError parseError{};
    const std::uint32_t flags = caseSensitive ? 0 : UREGEX_CASE_INSENSITIVE;
    std::unique_ptr<icu::RegexPattern> compiled(
        icu::RegexPattern::compile(icu::UnicodeString::fromUTF8(expression), flags, parseError, status));
    if (U_FAILURE(status) || !compiled) {
        return {nullptr, std::string(u_errorName(status)) + " at offset " + std::to_string(parseError.offset)};
    }
    auto pattern = std::make_unique<APMAudienceExpression::Pattern>();
    pattern->compiled = std::move(compiled);
    return {std::make_shared<const APMAudienceExpression>(std::move(pattern)), {}};
}

}  // namespace

APMAudienceExpression::APMAudienceExpression(std::unique_ptr<Pattern> pattern) : pattern_(std::move(pattern)) {}
APMAudienceExpression::~APMAudienceExpression() = default;

std::shared_ptr<const APMAudienceExpression> APMAudienceExpression::compile(const std::string& expression,
                                                                            bool caseSensitive, std::string* error) {
    auto& shared = cache();
    const auto key = std::make_pair(expression, caseSensitive);
    {
        std::lock_guard lock(shared.mutex);
        if (auto found = shared.entries.find(key); found != shared.entries.end()) {
            if (error) *error = found->second.error;
            return found->second.expression;
        }
    }
    Entry entry = compileEntry(expression, caseSensitive);
    if (error) *error = entry.error;
    auto compiled = entry.expression;
    std::lock_guard lock(shared.mutex);
    if (shared.entries.size() >= kMaxCachedExpressions) shared.entries.clear();
    shared.entries.emplace(key, std::move(entry));
    return compiled;
}

std::optional<bool> APMAudienceExpression::findIn(const std::string& text, std::string* error) const {
    const icu::UnicodeString input = icu::UnicodeString::fromUTF8(text);
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::RegexMatcher> matcher(pattern_->compiled->matcher(input, status));
    if (matcher && U_SUCCESS(status)) matcher->setTimeLimit(detail::expressionTimeLimit().load(), status);
    if (matcher && U_SUCCESS(status)) matcher->setStackLimit(kStackLimitBytes, status);
    const bool found = matcher && U_SUCCESS(status) && matcher->find(status);
    if (U_FAILURE(status) || !matcher) {
        if (error) *error = u_errorName(status);
        return std::nullopt;
    }
    return found;
}

std::size_t APMAudienceExpression::cachedCount() {
    std::lock_guard lock(cache().mutex);
    return cache().entries.size();
}

void APMAudienceExpression::clearCache() {
    std::lock_guard lock(cache().mutex);
    cache().entries.clear();
}

}  // namespace measurement
