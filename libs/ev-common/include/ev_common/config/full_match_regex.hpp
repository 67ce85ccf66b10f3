// A regular expression in ECMAScript syntax that a value must match as a
// whole, compiled once. Matching keeps its backtracking state on the heap and
// stops at fixed limits, so no pattern or value, however long or crafted, can
// exhaust the stack or run for ever: past a limit the answer is `undecided`.
// String parameters check their values with it.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace ev_common {

class FullMatchRegex {
public:
    enum class Match { yes, no, undecided };

    // Nothing when the pattern does not compile; `error` then says why and at
    // which byte of the pattern.
    static std::optional<FullMatchRegex> compile(const std::string& pattern, std::string& error);

    Match match(std::string_view value) const;

private:
    struct Compiled;
    explicit FullMatchRegex(std::shared_ptr<const Compiled> compiled);

    // Shared and never changed after compiling: matching from several threads
    // at once is safe.
    std::shared_ptr<const Compiled> compiled_;
};

}  // namespace ev_common
