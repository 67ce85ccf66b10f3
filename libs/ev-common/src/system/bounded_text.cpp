#include "ev_common/system/bounded_text.hpp"

#include <algorithm>

namespace ev_common {

namespace {

bool continuation(unsigned char c) {
    return (c & 0xc0) == 0x80;
}

// The size of the valid UTF-8 sequence `text` starts with, 0 when there is
// none: no overlong forms, no surrogates, nothing above U+10FFFF.
std::size_t sequenceLength(std::string_view text) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(0);
    std::size_t size = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xbf;
    if (lead < 0x80) {
        return 1;
    } else if (lead >= 0xc2 && lead <= 0xdf) {
        size = 2;
    } else if (lead >= 0xe0 && lead <= 0xef) {
        size = 3;
        if (lead == 0xe0) low = 0xa0;
        if (lead == 0xed) high = 0x9f;
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        size = 4;
        if (lead == 0xf0) low = 0x90;
        if (lead == 0xf4) high = 0x8f;
    } else {
        return 0;
    }
    if (text.size() < size || byte(1) < low || byte(1) > high) return 0;
    for (std::size_t i = 2; i < size; ++i) {
        if (!continuation(byte(i))) return 0;
    }
    return size;
}

void appendEscaped(std::string& out, unsigned char c) {
    switch (c) {
        case '\n':
            out += "\\n";
            return;
        case '\r':
            out += "\\r";
            return;
        case '\t':
            out += "\\t";
            return;
        default:
            out += fmt::format("\\x{:02x}", c);
    }
}

}  // namespace

std::size_t printableLength(std::string_view text) {
    if (text.empty()) return 0;
    const auto lead = static_cast<unsigned char>(text[0]);
    if (lead < 0x20 || lead == 0x7f) return 0;
    const std::size_t size = sequenceLength(text);
    // U+0080..U+009F: terminals and some log readers act on them (NEL ends
    // a line).
    if (size == 2 && lead == 0xc2 && static_cast<unsigned char>(text[1]) < 0xa0) return 0;
    return size;
}

std::string_view shownPart(std::string_view text) {
    if (text.size() <= kBoundedTextLimit) return text;
    std::size_t at = 0;
    while (at < kBoundedTextLimit) {
        const std::size_t size = std::max<std::size_t>(printableLength(text.substr(at)), 1);
        if (at + size > kBoundedTextLimit) break;
        at += size;
    }
    return text.substr(0, at);
}

std::string cutNote(std::size_t size) {
    return fmt::format("… ({} bytes)", size);
}

std::string boundedText(std::string_view text) {
    const std::string_view shown = shownPart(text);
    std::string out;
    out.reserve(shown.size());
    for (std::size_t at = 0; at < shown.size();) {
        const std::string_view rest = shown.substr(at);
        const std::size_t size = printableLength(rest);
        if (size == 0) {
            appendEscaped(out, static_cast<unsigned char>(rest[0]));
            ++at;
        } else if (size == 1 && rest[0] == '\\') {
            out += "\\\\";
            ++at;
        } else {
            out.append(rest.substr(0, size));
            at += size;
        }
    }
    if (shown.size() < text.size()) out += cutNote(text.size());
    return out;
}

}  // namespace ev_common
