// Quotes text that came from outside the process (a client's name, identity
// or PEM text) in a log line without letting its size through: at most
// kBoundedTextLimit bytes are written, then "… (N bytes)" with the whole size.
// Formatting happens only when the line is emitted.
//
//     spdlog::error("[ca-store] Invalid certificate name: {}", bounded(name));
#pragma once

#include <fmt/format.h>

#include <algorithm>
#include <cstddef>
#include <string_view>

namespace ev_common {

inline constexpr std::size_t kBoundedTextLimit = 256;

struct BoundedText {
    std::string_view text;
};

inline BoundedText bounded(std::string_view text) {
    return BoundedText{text};
}

}  // namespace ev_common

template <>
struct fmt::formatter<ev_common::BoundedText> : fmt::formatter<std::string_view> {
    template <typename FormatContext>
    auto format(const ev_common::BoundedText& quoted, FormatContext& ctx) const {
        const std::string_view text = quoted.text;
        if (text.size() <= ev_common::kBoundedTextLimit) {
            return fmt::formatter<std::string_view>::format(text, ctx);
        }
        auto out = std::copy_n(text.data(), ev_common::kBoundedTextLimit, ctx.out());
        return fmt::format_to(out, "… ({} bytes)", text.size());
    }
};
