// What a log line shows of outside text: printable UTF-8 as it is, every
// other byte escaped so that no text ends the line or starts another, and
// never more than the limit.
#include "ev_common/system/bounded_text.hpp"

#include <gtest/gtest.h>

#include <string>

using ev_common::bounded;

namespace {

std::string shown(const std::string& text) {
    return fmt::format("[{}]", bounded(text));
}

}  // namespace

TEST(BoundedText, EscapesEveryByteThatCouldEndOrForgeALine) {
    struct Case {
        const char* what;
        std::string text;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"plain", "my_ca-1 (root)", "[my_ca-1 (root)]"},
        {"line feed", "x\n[audit] uid=0", "[x\\n[audit] uid=0]"},
        {"carriage return and tab", "a\rb\tc", "[a\\rb\\tc]"},
        {"backslash stays distinguishable", "a\\nb", "[a\\\\nb]"},
        {"NUL", std::string("a\0b", 3), "[a\\x00b]"},
        {"escape", "\x1b[2Jcleared", "[\\x1b[2Jcleared]"},
        {"DEL", "a\x7f", "[a\\x7f]"},
        {"C1 next line",
         "a\xc2\x85"
         "b",
         "[a\\xc2\\x85b]"},
        {"C1 CSI",
         "\xc2\x9b"
         "2J",
         "[\\xc2\\x9b2J]"},
        {"lone continuation byte", "a\x85z", "[a\\x85z]"},
        {"cut sequence at the end", "a\xe2\x82", "[a\\xe2\\x82]"},
        {"overlong slash", "\xc0\xaf", "[\\xc0\\xaf]"},
        {"surrogate", "\xed\xa0\x80", "[\\xed\\xa0\\x80]"},
        {"above U+10FFFF", "\xf4\x90\x80\x80", "[\\xf4\\x90\\x80\\x80]"},
        {"printable UTF-8 stays", "Zürich \xc2\xa0€ \xf0\x9f\x94\x92",
         "[Zürich \xc2\xa0€ \xf0\x9f\x94\x92]"},
    };
    for (const auto& c : cases) EXPECT_EQ(shown(c.text), c.expected) << c.what;
}

TEST(BoundedText, ShowsAtMostTheLimitThenTheWholeSize) {
    EXPECT_EQ(shown(std::string(256, 'n')), "[" + std::string(256, 'n') + "]");
    EXPECT_EQ(shown(std::string(300, 'n')), "[" + std::string(256, 'n') + "… (300 bytes)]");
    // Escaping does not let more of the text through, and a character is
    // never cut in two.
    EXPECT_EQ(
        shown(std::string(300, '\n')), "[" + [] {
            std::string out;
            for (int i = 0; i < 256; ++i) out += "\\n";
            return out;
        }() + "… (300 bytes)]");
    const std::string euros = std::string(254, 'e') + "€€";
    EXPECT_EQ(shown(euros), "[" + std::string(254, 'e') + "… (260 bytes)]");
    // Format options still apply to the shown text.
    EXPECT_EQ(fmt::format("{:>4}", bounded("\n")), "  \\n");
}
