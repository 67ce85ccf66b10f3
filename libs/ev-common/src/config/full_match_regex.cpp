#include "ev_common/config/full_match_regex.hpp"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <cstdint>

namespace ev_common {
namespace {

// Bytes, not UTF-8, as the values were always compared; anchored at both ends
// (a full match, still free to backtrack into other alternatives to reach the
// end); and the ECMAScript readings of what PCRE2 would otherwise read the
// Perl way: "$" only at the very end, "\u" with four hex digits, a
// backreference to a group that did not take part matches the empty string,
// "[]" matches nothing and "[^]" any byte; and (set in the compile context)
// "." stops at a carriage return as well as at a line feed.
constexpr std::uint32_t kCompileOptions = PCRE2_ANCHORED | PCRE2_ENDANCHORED |
                                          PCRE2_DOLLAR_ENDONLY | PCRE2_ALT_BSUX |
                                          PCRE2_MATCH_UNSET_BACKREF | PCRE2_ALLOW_EMPTY_CLASS;

// A value made of a million repetitions of a group still passes; a pattern
// that backtracks exponentially gives up within milliseconds. The heap bound
// (in KiB) is what a start-up check may take on a small board.
constexpr std::uint32_t kMatchLimit = 1000000;
constexpr std::uint32_t kHeapLimitKiB = 32 * 1024;

struct CompileContextFree {
    void operator()(pcre2_compile_context* context) const { pcre2_compile_context_free(context); }
};
struct CodeFree {
    void operator()(pcre2_code* code) const { pcre2_code_free(code); }
};
struct MatchContextFree {
    void operator()(pcre2_match_context* context) const { pcre2_match_context_free(context); }
};
struct MatchDataFree {
    void operator()(pcre2_match_data* data) const { pcre2_match_data_free(data); }
};

}  // namespace

struct FullMatchRegex::Compiled {
    std::unique_ptr<pcre2_code, CodeFree> code;
    std::unique_ptr<pcre2_match_context, MatchContextFree> context;
};

FullMatchRegex::FullMatchRegex(std::shared_ptr<const Compiled> compiled)
    : compiled_(std::move(compiled)) {}

std::optional<FullMatchRegex> FullMatchRegex::compile(const std::string& pattern,
                                                      std::string& error) {
    std::unique_ptr<pcre2_compile_context, CompileContextFree> context(
        pcre2_compile_context_create(nullptr));
    if (!context) {
        error = "out of memory";
        return std::nullopt;
    }
    pcre2_set_newline(context.get(), PCRE2_NEWLINE_ANYCRLF);
    int code = 0;
    PCRE2_SIZE offset = 0;
    auto compiled = std::make_shared<Compiled>();
    compiled->code.reset(pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern.data()), pattern.size(),
                                       kCompileOptions, &code, &offset, context.get()));
    if (!compiled->code) {
        PCRE2_UCHAR message[256];
        if (pcre2_get_error_message(code, message, sizeof message) < 0) message[0] = 0;
        error = std::string(reinterpret_cast<const char*>(message)) + " at offset " +
                std::to_string(offset);
        return std::nullopt;
    }
    compiled->context.reset(pcre2_match_context_create(nullptr));
    if (!compiled->context) {
        error = "out of memory";
        return std::nullopt;
    }
    pcre2_set_match_limit(compiled->context.get(), kMatchLimit);
    pcre2_set_heap_limit(compiled->context.get(), kHeapLimitKiB);
    return FullMatchRegex(std::move(compiled));
}

FullMatchRegex::Match FullMatchRegex::match(std::string_view value) const {
    std::unique_ptr<pcre2_match_data, MatchDataFree> data(
        pcre2_match_data_create_from_pattern(compiled_->code.get(), nullptr));
    if (!data) return Match::undecided;
    const int result =
        pcre2_match(compiled_->code.get(), reinterpret_cast<PCRE2_SPTR>(value.data()), value.size(),
                    0, 0, data.get(), compiled_->context.get());
    if (result >= 0) return Match::yes;
    if (result == PCRE2_ERROR_NOMATCH) return Match::no;
    // A limit was reached (match, heap or depth) or memory ran out: the value
    // was neither shown to match nor shown not to.
    return Match::undecided;
}

}  // namespace ev_common
