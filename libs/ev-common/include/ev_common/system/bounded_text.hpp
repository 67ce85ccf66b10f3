// Quotes text that came from outside the process (a client's name, identity
// or PEM text, a certificate's name) in a log line so that it can neither
// grow the line without limit nor write a line of its own: at most
// kBoundedTextLimit bytes of it are shown, then "… (N bytes)" with the whole
// size, and every byte that is not part of a printable UTF-8 character is
// escaped (\n, \r, \t, \\, else \xHH). Formatting happens only when the line
// is emitted.
//
//     spdlog::error("[ca-store] Invalid certificate name: {}", bounded(name));
#pragma once

#include <fmt/format.h>

#include <cstddef>
#include <string>
#include <string_view>

namespace ev_common {

inline constexpr std::size_t kBoundedTextLimit = 256;

struct BoundedText {
    std::string_view text;
};

inline BoundedText bounded(std::string_view text) {
    return BoundedText{text};
}

// `text` as bounded() shows it.
std::string boundedText(std::string_view text);

// For lines that quote in a form of their own (the audit trail):
// The size of the printable UTF-8 character `text` starts with; 0 when its
// first byte is a control byte (NUL to 0x1f, DEL), starts a C1 control
// (U+0080 to U+009F) or is not the start of a valid, complete sequence.
std::size_t printableLength(std::string_view text);
// The part of `text` that is shown: at most kBoundedTextLimit bytes, never
// ending inside a printable character.
std::string_view shownPart(std::string_view text);
// What follows a shown part shorter than the text: "… (N bytes)".
std::string cutNote(std::size_t size);

}  // namespace ev_common

template <>
struct fmt::formatter<ev_common::BoundedText> : fmt::formatter<std::string_view> {
    template <typename FormatContext>
    auto format(const ev_common::BoundedText& quoted, FormatContext& ctx) const {
        const std::string shown = ev_common::boundedText(quoted.text);
        return fmt::formatter<std::string_view>::format(shown, ctx);
    }
};
