#include "ev_common/config/parameter.hpp"

#include <gtest/gtest.h>

#include "log_capture.hpp"

#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

using ev_common::ConfigMilliseconds;
using ev_common::ConfigSeconds;
using ev_common::DurationParameter;
using ev_common::ListParameter;
using ev_common::NumericParameter;
using ev_common::StringParameter;
using nlohmann::json;
using spdlog::level::err;
using spdlog::level::warn;

namespace {

template <typename T>
NumericParameter<T, T> numeric(T defaultValue, bool readOnly = false,
                               T min = std::numeric_limits<T>::lowest(),
                               T max = std::numeric_limits<T>::max()) {
    return NumericParameter<T, T>("p", "", defaultValue, readOnly, min, max);
}

ListParameter<int> intList(std::vector<int> defaultValue, bool readOnly = false,
                           std::uint32_t minSize = 0, std::uint32_t maxSize = 100) {
    return ListParameter<int>("l", "", std::move(defaultValue), readOnly, minSize, maxSize);
}

}  // namespace

TEST(ParameterValues, RefuseTheWrongJsonKindAndKeepTheirValue) {
    ev_test::LogCapture log;
    auto flag = numeric<bool>(true);
    EXPECT_FALSE(flag.fromJson(1));
    EXPECT_TRUE(log.has(err, "Parameter : Expected JSON boolean"));

    auto count = numeric<int>(3);
    EXPECT_FALSE(count.fromJson(1.5));
    EXPECT_FALSE(count.fromJson("4"));
    EXPECT_EQ(log.count("Parameter : Expected JSON integer"), 2u);
    EXPECT_EQ(count.getValue(), 3);

    // An integer literal is not a float, even when its value is exact.
    auto ratio = numeric<double>(0.5);
    EXPECT_FALSE(ratio.fromJson(1));
    EXPECT_TRUE(log.has(err, "Parameter : Expected JSON float"));
    EXPECT_DOUBLE_EQ(ratio.getValue(), 0.5);
    EXPECT_TRUE(ratio.fromJson(1.0));
    EXPECT_DOUBLE_EQ(ratio.getValue(), 1.0);

    // A negative literal is a signed integer, never a duration.
    DurationParameter<ConfigMilliseconds> delay("d", "", ConfigMilliseconds(7), false,
                                                ConfigMilliseconds(-10), ConfigMilliseconds(10));
    EXPECT_FALSE(delay.fromJson(-5));
    EXPECT_TRUE(log.has(err, "Parameter : Expected JSON unsigned integer"));
    EXPECT_EQ(delay.getValue().count(), 7);

    StringParameter text("s", "", "x", false, 0, 10, "");
    EXPECT_FALSE(text.fromJson(5));
    EXPECT_TRUE(log.has(err, "Parameter : Expected JSON string"));
    auto list = intList({1});
    EXPECT_FALSE(list.fromJson(json::object()));
    EXPECT_TRUE(log.has(err, "Parameter : Expected JSON array"));
    EXPECT_EQ(list.getValue(), std::vector<int>{1});
}

TEST(ParameterValues, ApplyInclusiveLimitsToTheConvertedValue) {
    ev_test::LogCapture log;
    auto level = numeric<int>(1, false, 0, 10);
    EXPECT_TRUE(level.fromJson(0));
    EXPECT_TRUE(level.fromJson(10));
    EXPECT_FALSE(level.fromJson(-1));
    EXPECT_TRUE(log.has(warn, "Parameter [p] : value to low (min = 0) => -1"));
    EXPECT_FALSE(level.fromJson(11));
    EXPECT_TRUE(log.has(warn, "Parameter [p] : value to high (max = 10) => 11"));
    EXPECT_EQ(level.getValue(), 10);

    // -1 wraps before the limits see it.
    auto port = numeric<unsigned int>(80u, false, 1u, 65535u);
    EXPECT_FALSE(port.fromJson(-1));
    EXPECT_TRUE(log.has(warn, "Parameter [p] : value to high (max = 65535) => 4294967295"));
    auto any = numeric<unsigned int>(0u);
    EXPECT_TRUE(any.fromJson(-1));
    EXPECT_EQ(any.getValue(), 4294967295u);

    DurationParameter<ConfigSeconds> timeout("t", "", ConfigSeconds(5), false, ConfigSeconds(1),
                                             ConfigSeconds(60));
    EXPECT_FALSE(timeout.fromJson(61u));  // parsed text gives unsigned literals
    EXPECT_TRUE(log.has(warn, "Parameter [t] : value to high (max = 60) => 61"));
    EXPECT_FALSE(timeout.fromJson(0u));
    EXPECT_TRUE(log.has(warn, "Parameter [t] : value to low (min = 1) => 0"));
    EXPECT_EQ(timeout.getValue().count(), 5);
}

TEST(ParameterValues, FloatingValuesMustBeFiniteInTheirOwnType) {
    ev_test::LogCapture log;
    // Beyond the float range even limits that would let an infinity through
    // do not: JSON cannot hold it, so the file could not be written back.
    const float inf = std::numeric_limits<float>::infinity();
    auto gain = numeric<float>(1.0f, false, -inf, inf);
    EXPECT_FALSE(gain.fromJson(1e300));
    EXPECT_FALSE(gain.fromJson(-1e39));
    EXPECT_EQ(log.count("Parameter : JSON float out of range"), 2u);
    EXPECT_TRUE(gain.fromJson(3.4028234663852886e+38));
    EXPECT_FALSE(gain.isValid(std::nanf("")));
    EXPECT_TRUE(log.has(warn, "Parameter [p] : value is not a finite number => nan"));
    auto ratio = numeric<double>(0.5);
    EXPECT_FALSE(ratio.isValid(std::numeric_limits<double>::quiet_NaN()));
    EXPECT_FLOAT_EQ(gain.getValue(), 3.4028234663852886e+38f);
    EXPECT_DOUBLE_EQ(ratio.getValue(), 0.5);

    // A list element is refused like one of the wrong kind; the list stays.
    ListParameter<float> gains("g", "", {1.0f}, false, 0, 10);
    EXPECT_THROW(gains.fromJson(json::array({2.5, 1e39})), std::out_of_range);
    EXPECT_THROW(gains.fromJson(json::array({-1e39})), std::out_of_range);
    EXPECT_EQ(gains.getValue(), std::vector<float>{1.0f});
    EXPECT_EQ(gains.toJson().dump(), "[1.0]");
}

TEST(ParameterValues, TheDefaultIsAlwaysAcceptedSoAWrittenFileReadsBack) {
    ev_test::LogCapture log;
    // Defaults outside the description's own limits are allowed; reading
    // them back from the file written at start-up must be too.
    auto level = numeric<int>(500, false, 0, 100);
    EXPECT_TRUE(level.fromJson(500));
    EXPECT_FALSE(level.fromJson(501));
    StringParameter path("s", "", "", false, 0, 0, "/.+");
    EXPECT_TRUE(path.fromJson(""));
    EXPECT_FALSE(path.fromJson("relative"));
    auto list = intList({}, false, 1, 2);
    EXPECT_TRUE(list.fromJson(json::array()));
    DurationParameter<ConfigSeconds> wait("t", "", ConfigSeconds(0), false, ConfigSeconds(1),
                                          ConfigSeconds(60));
    EXPECT_TRUE(wait.fromJson(0u));
    EXPECT_EQ(log.count("Parameter : JSON unsigned integer out of range"), 0u);
    // A count beyond the signed 64-bit range would come back negative.
    EXPECT_FALSE(wait.fromJson(9223372036854775808ull));
    EXPECT_TRUE(log.has(err, "Parameter : JSON unsigned integer out of range"));
}

TEST(ParameterValues, ReadOnlyAcceptsOnlyTheForcedValueWhateverTheLimits) {
    ev_test::LogCapture log;
    auto forced = numeric<int>(5, true, 0, 1);
    EXPECT_TRUE(forced.fromJson(5));
    EXPECT_FALSE(forced.fromJson(6));
    EXPECT_TRUE(log.has(warn, "Parameter [p] : cannot modify value to 6, parameter is read only"));
    EXPECT_FALSE(forced.fromJson(1));
    EXPECT_EQ(forced.getValue(), 5);

    auto flag = numeric<bool>(true, true);
    EXPECT_FALSE(flag.fromJson(false));
    EXPECT_TRUE(
        log.has(warn, "Parameter [p] : cannot modify value to false, parameter is read only"));

    StringParameter path("s", "", "/etc", true, 0, 1, "");
    EXPECT_TRUE(path.fromJson("/etc"));
    EXPECT_FALSE(path.fromJson("/tmp"));
    EXPECT_TRUE(
        log.has(warn, "Parameter [s] : cannot modify value to '/tmp', parameter is read only"));

    auto list = intList({1, 2}, true);
    EXPECT_TRUE(list.fromJson(json::array({1, 2})));
    EXPECT_FALSE(list.fromJson(json::array({1, 2, 3})));
    EXPECT_FALSE(list.fromJson(json::array({2, 1})));
    EXPECT_EQ(log.count("Parameter [l] : cannot modify value, parameter is read only"), 2u);
    EXPECT_EQ(list.getValue(), (std::vector<int>{1, 2}));
}

TEST(ParameterValues, APatternMustMatchTheWholeStringAndReplacesTheLengthLimits) {
    ev_test::LogCapture log;
    StringParameter word("w", "", "abc", false, 0, 0, "[a-z]+");
    EXPECT_TRUE(word.fromJson("abcdefgh"));
    EXPECT_FALSE(word.fromJson("abc1"));
    EXPECT_TRUE(log.has(warn,
                        "Parameter [w] : value doesn't match the regex (regex = [a-z]+) "
                        "=> abc1"));
    EXPECT_EQ(word.getValue(), "abcdefgh");

    StringParameter code("c", "", "xy", false, 2, 3, "");
    EXPECT_TRUE(code.fromJson("abc"));
    EXPECT_FALSE(code.fromJson("abcd"));
    EXPECT_TRUE(log.has(warn, "Parameter [c] : value to long (max = 3) => 4"));
    EXPECT_FALSE(code.fromJson("a"));
    EXPECT_TRUE(log.has(warn, "Parameter [c] : value to short (min = 2) => 1"));
    EXPECT_EQ(code.getValue(), "abc");
}

TEST(ParameterValues, PatternsKeepTheirEcmaScriptMeaningOnValuesOfAnyLength) {
    enum Outcome { match, mismatch, tooComplex };
    struct Case {
        std::string pattern;
        std::string value;
        Outcome outcome;
    };
    const std::string tenMegabytes = "/" + std::string(10 * 1024 * 1024, 'x');
    const std::string thirtyMillion = "/" + std::string(30000000 - 1, 'x');
    const std::vector<Case> cases = {
        {"[a-z]+", "abc", match},
        {"[a-z]+", "abc1", mismatch},
        {"a|ab", "ab", match},  // the full match backtracks into the other alternative
        {"\\d{3}-\\w+", "123-x_y", match},
        {".+", "a\nb", mismatch},
        {".+", "a\rb", mismatch},
        {"abc$", "abc\n", mismatch},  // "$" is the very end
        {"(a)\\1", "aa", match},
        {"(a)?b\\1", "b", match},  // a group that took no part matches nothing
        {"\\u0041", "A", match},
        {"[^]+", "x\ny", match},
        {"/.+", tenMegabytes, match},
        {"/.+", thirtyMillion, match},
        {"/.+", thirtyMillion + "\n", mismatch},
        {"(a+)+$", std::string(30, 'a') + "!", tooComplex},
        {"(x|y)*", std::string(10 * 1024 * 1024, 'x'), tooComplex},
    };
    for (const Case& c : cases) {
        ev_test::LogCapture log;
        StringParameter text("p", "", "", false, 0, 0, c.pattern);
        EXPECT_EQ(text.fromJson(c.value), c.outcome == match) << c.pattern;
        // Line breaks of the value are shown escaped.
        std::string shown;
        for (const char ch : c.value.substr(0, 256)) {
            shown += ch == '\n' ? "\\n" : ch == '\r' ? "\\r" : std::string(1, ch);
        }
        if (c.value.size() > 256) shown += "… (" + std::to_string(c.value.size()) + " bytes)";
        const std::string mismatchLine =
            "Parameter [p] : value doesn't match the regex (regex = " + c.pattern + ") => " + shown;
        const std::string complexLine =
            "Parameter [p] : value too complex to check against the regex, matching limit "
            "reached (regex = " +
            c.pattern + ") => " + shown;
        EXPECT_EQ(log.has(warn, mismatchLine), c.outcome == mismatch) << c.pattern;
        EXPECT_EQ(log.has(warn, complexLine), c.outcome == tooComplex) << c.pattern;
    }
}

TEST(ParameterValues, ListElementsConvertLikeTheJsonLibraryWithinTheSizeLimits) {
    ev_test::LogCapture log;
    auto list = intList({0}, false, 1, 2);
    EXPECT_TRUE(list.fromJson(json::array({true, 2.7})));
    EXPECT_EQ(list.getValue(), (std::vector<int>{1, 2}));
    EXPECT_FALSE(list.fromJson(json::array({1, 2, 3})));
    EXPECT_TRUE(log.has(warn, "Parameter [l] : too much values (max = 2) => 3"));
    EXPECT_FALSE(list.fromJson(json::array()));
    EXPECT_TRUE(log.has(warn, "Parameter [l] : not enough values (min = 1) => 0"));

    EXPECT_THROW(list.fromJson(json::array({1, "two"})), json::type_error);
    ListParameter<bool> flags("f", "", {}, false, 0, 10);
    EXPECT_THROW(flags.fromJson(json::array({1})), json::type_error);
    ListParameter<std::string> names("n", "", {}, false, 0, 10);
    EXPECT_THROW(names.fromJson(json::array({1})), json::type_error);
    // A floating element the element type cannot hold is refused, not cast.
    EXPECT_THROW(list.fromJson(json::array({1e300})), std::out_of_range);
    ListParameter<unsigned int> counts("u", "", {}, false, 0, 10);
    EXPECT_THROW(counts.fromJson(json::array({4294967296.0})), std::out_of_range);
    EXPECT_TRUE(counts.fromJson(json::array({4294967295.5, -0.5})));
    EXPECT_EQ(counts.getValue(), (std::vector<unsigned int>{4294967295u, 0u}));
    EXPECT_EQ(list.getValue(), (std::vector<int>{1, 2}));
}

TEST(ParameterValues, WriteTheJsonKindOfTheirTypeAndResetToTheDefault) {
    auto gain = numeric<float>(0.1f);
    EXPECT_TRUE(gain.toJson().is_number_float());
    EXPECT_EQ(gain.toJson().dump(), "0.10000000149011612");
    EXPECT_EQ(numeric<int>(-3).toJson().type(), json::value_t::number_integer);
    EXPECT_EQ(numeric<unsigned long long>(3).toJson().type(), json::value_t::number_unsigned);
    EXPECT_EQ(numeric<long long>(3).toJson().type(), json::value_t::number_integer);
    EXPECT_EQ(numeric<double>(5.0).toJson().dump(), "5.0");

    DurationParameter<ConfigSeconds> timeout("t", "", ConfigSeconds(30), false, ConfigSeconds(0),
                                             ConfigSeconds(100));
    EXPECT_EQ(timeout.toJson().type(), json::value_t::number_unsigned);
    EXPECT_TRUE(typeid(ConfigSeconds) == timeout.getType());

    ListParameter<float> gains("g", "", {0.1f, 2.0f}, false, 0, 10);
    EXPECT_EQ(gains.toJson().dump(), "[0.10000000149011612,2.0]");
    ListParameter<bool> flags("f", "", {true, false}, false, 0, 10);
    EXPECT_EQ(flags.toJson().dump(), "[true,false]");

    EXPECT_TRUE(timeout.fromJson(40u));
    timeout.reset();
    EXPECT_EQ(timeout.getValue().count(), 30);
}
