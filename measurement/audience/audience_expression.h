#pragma once

// Regular expressions of string filters. They come from the server and run
// on the measurement worker queue, so each search is bounded in time and
// memory, and compiled patterns are kept in a process-wide cache.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace measurement {

class APMAudienceExpression {
public:
    // The compiled expression (ICU syntax), case-insensitive unless asked
    // otherwise, from the cache when it was compiled before. None, with the
    // reason in *error, when it does not compile.
    static std::shared_ptr<const APMAudienceExpression> compile(const std::string& expression, bool caseSensitive,
                                                                std::string* error = nullptr);

    // Whether the expression matches anywhere in the text; none when the
    // search ran past its limits (its reason in *error).
    std::optional<bool> findIn(const std::string& text, std::string* error = nullptr) const;
    static std::size_t cachedCount();
    static void clearCache();

    struct Pattern;
    explicit APMAudienceExpression(std::unique_ptr<Pattern> pattern);
    ~APMAudienceExpression();

private:
    std::unique_ptr<Pattern> pattern_;
};

}  // namespace measurement
