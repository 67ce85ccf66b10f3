#include "ev_common/config/parameter_loader.hpp"
#include "ev_common/config/config_parameter_provider.hpp"
#include "ev_common/config/parameter.hpp"

#include <gtest/gtest.h>

#include "config_test_support.hpp"
#include "log_capture.hpp"
#include "temp_dir.hpp"

#include <limits>
#include <stdexcept>

using namespace ev_common;
using nlohmann::json;
using spdlog::level::err;

namespace {

template <typename P, typename L>
std::shared_ptr<P> load(L& loader, const std::string& definition) {
    auto parameter = loader.createParameter("p", "about p", json::parse(definition));
    return std::dynamic_pointer_cast<P>(parameter);
}

}  // namespace

TEST(ParameterLoaders, FillAbsentKeysWithTheBuiltInDefaults) {
    NumericParameterLoader<unsigned int, unsigned int> uintLoader;
    auto port =
        load<NumericParameter<unsigned int, unsigned int>>(uintLoader, R"({"default": 10})");
    ASSERT_NE(port, nullptr);
    EXPECT_EQ(port->getValue(), 10u);
    EXPECT_EQ(port->getMin(), 0u);
    EXPECT_EQ(port->getMax(), 4294967295u);
    EXPECT_FALSE(port->isReadOnly());
    EXPECT_EQ(port->getDescription(), "about p");

    NumericParameterLoader<double, double> doubleLoader;
    auto ratio = load<NumericParameter<double, double>>(doubleLoader, "{}");
    ASSERT_NE(ratio, nullptr);
    EXPECT_EQ(ratio->getMin(), std::numeric_limits<double>::lowest());
    EXPECT_EQ(ratio->getValue(), 0.0);

    DurationParameterLoader<ConfigMinutes> minutesLoader;
    auto period = load<DurationParameter<ConfigMinutes>>(minutesLoader, "{}");
    ASSERT_NE(period, nullptr);
    EXPECT_EQ(period->getMax().count(), std::numeric_limits<long long>::max());
    EXPECT_EQ(period->getMin().count(), 0);

    ListParameterLoader<std::string> listLoader;
    auto names = load<ListParameter<std::string>>(listLoader, R"({"default": ["a"]})");
    ASSERT_NE(names, nullptr);
    EXPECT_EQ(names->getMaxSize(), 4294967295u);
    EXPECT_EQ(names->getValue(), std::vector<std::string>{"a"});

    // A definition that is not an object carries no keys at all.
    NumericParameterLoader<int, int> intLoader;
    auto plain = load<NumericParameter<int, int>>(intLoader, "[1, 2]");
    ASSERT_NE(plain, nullptr);
    EXPECT_EQ(plain->getMin(), std::numeric_limits<int>::min());
    EXPECT_EQ(plain->getValue(), 0);
}

TEST(ParameterLoaders, AForcedValueMakesTheParameterReadOnlyAndMustAgreeWithTheDefault) {
    ev_test::LogCapture log;
    NumericParameterLoader<unsigned int, unsigned int> uintLoader;
    auto forced = load<NumericParameter<unsigned int, unsigned int>>(uintLoader, R"({"value": 7})");
    ASSERT_NE(forced, nullptr);
    EXPECT_TRUE(forced->isReadOnly());
    EXPECT_EQ(forced->getValue(), 7u);
    EXPECT_EQ(forced->getDefaultValue(), 7u);
    EXPECT_NE(uintLoader.createParameter("p", "", json::parse(R"({"default": 7, "value": 7})")),
              nullptr);

    // Each family words the disagreement its own way.
    EXPECT_EQ(uintLoader.createParameter("u", "", json::parse(R"({"default": 7, "value": 8})")),
              nullptr);
    EXPECT_EQ(log.texts(),
              (std::vector<std::string>{
                  "NumericParameterLoader [u] forced value is different from default value",
                  "[NumericParameterLoader] Invalid json"}));
    DurationParameterLoader<ConfigHours> hourLoader;
    EXPECT_EQ(hourLoader.createParameter("h", "", json::parse(R"({"default": 1, "value": 2})")),
              nullptr);
    EXPECT_TRUE(
        log.has(err, "DurationParameterLoader [h] : forced value is different from default value"));
    ListParameterLoader<int> listLoader;
    EXPECT_EQ(
        listLoader.createParameter("l", "", json::parse(R"({"default": [1], "value": [1, 2]})")),
        nullptr);
    EXPECT_TRUE(
        log.has(err, "ListParameterLoader [l] : forced value is different from default value"));
    EXPECT_TRUE(log.has(err, "ListParameter l : Invalid json"));
    StringParameterLoader stringLoader;
    EXPECT_EQ(
        stringLoader.createParameter("s", "", json::parse(R"({"default": "a", "value": "b"})")),
        nullptr);
    EXPECT_TRUE(
        log.has(err, "StringParameterLoader [s] forced value is different from default value"));
    EXPECT_TRUE(log.has(err, "[StringParameterLoader] Invalid json"));
}

TEST(ParameterLoaders, RefuseDefinitionsWithValuesOfTheWrongKind) {
    ev_test::LogCapture log;
    NumericParameterLoader<double, double> doubleLoader;
    EXPECT_EQ(doubleLoader.createParameter("d", "", json::parse(R"({"default": 1})")), nullptr);
    EXPECT_EQ(log.texts(), (std::vector<std::string>{
                               "Parameter : Expected JSON float",
                               "NumericParameterLoader [d] : invalid default value in json",
                               "[NumericParameterLoader] Invalid json"}));
    log.clear();
    NumericParameterLoader<int, int> intLoader;
    EXPECT_EQ(intLoader.createParameter("i", "", json::parse(R"({"value": "x", "min": 1.5})")),
              nullptr);
    EXPECT_EQ(log.texts(),
              (std::vector<std::string>{"Parameter : Expected JSON integer",
                                        "NumericParameterLoader [i] : invalid forced value in json",
                                        "Parameter : Expected JSON integer",
                                        "[NumericParameterLoader] Invalid json"}));
    log.clear();
    DurationParameterLoader<ConfigSeconds> secLoader;
    EXPECT_EQ(secLoader.createParameter("t", "", json::parse(R"({"max": -1})")), nullptr);
    EXPECT_EQ(log.texts(),
              (std::vector<std::string>{"Parameter : Expected JSON unsigned integer",
                                        "[DurationParameterLoader] Invalid value in json"}));
    log.clear();
    ListParameterLoader<int> listLoader;
    EXPECT_EQ(listLoader.createParameter("l", "", json::parse(R"({"default": 1, "min_size": -1})")),
              nullptr);
    EXPECT_EQ(log.texts(),
              (std::vector<std::string>{"Parameter : Expected JSON array",
                                        "ListParameterLoader [l] : invalid default value in json",
                                        "ListParameter l : min size must be an unsigned integer",
                                        "ListParameter l : Invalid json"}));
    log.clear();
    StringParameterLoader stringLoader;
    EXPECT_EQ(
        stringLoader.createParameter("s", "", json::parse(R"({"max_size": "3", "pattern": 5})")),
        nullptr);
    EXPECT_EQ(log.texts(),
              (std::vector<std::string>{"StringParameter s : max size must be an unsigned integer",
                                        "StringParameter s : pattern must be a string",
                                        "[StringParameterLoader] Invalid json"}));
    // A list element of the wrong kind is the JSON library's to report.
    EXPECT_THROW(listLoader.createParameter("l", "", json::parse(R"({"default": ["x"]})")),
                 json::type_error);
}

TEST(ParameterLoaders, AcceptADefaultOutsideTheLimitsAndLetAPatternReplaceTheSizes) {
    NumericParameterLoader<int, int> intLoader;
    auto level = load<NumericParameter<int, int>>(intLoader, R"({"default": 500, "max": 100})");
    ASSERT_NE(level, nullptr);
    EXPECT_EQ(level->getValue(), 500);
    EXPECT_EQ(level->getMax(), 100);

    StringParameterLoader stringLoader;
    auto word = load<StringParameter>(stringLoader,
                                      R"({"default": "abc", "pattern": "[a-z]+", "max_size": 2})");
    ASSERT_NE(word, nullptr);
    EXPECT_EQ(word->getMaxSize(), 0u);
    EXPECT_EQ(word->getMinSize(), 0u);
    EXPECT_TRUE(word->fromJson("abcdef"));
    auto sized = load<StringParameter>(stringLoader, R"({"pattern": "", "max_size": 2})");
    ASSERT_NE(sized, nullptr);
    EXPECT_EQ(sized->getMaxSize(), 2u);
}

TEST(ParameterLoaders, RefuseAPatternThatDoesNotCompileAndValuesNoFileCouldHoldBack) {
    ev_test::LogCapture log;
    StringParameterLoader stringLoader;
    EXPECT_EQ(stringLoader.createParameter("s", "", json::parse(R"({"pattern": "[a-"})")), nullptr);
    EXPECT_EQ(log.texts(),
              (std::vector<std::string>{"StringParameter s : pattern does not compile (missing "
                                        "terminating ] for character class at offset 3) => [a-",
                                        "[StringParameterLoader] Invalid json"}));
    // Nesting deep enough to exhaust a recursive compiler's stack.
    const std::string nested = std::string(100000, '(') + "a" + std::string(100000, ')');
    EXPECT_EQ(stringLoader.createParameter("s", "", json{{"pattern", nested}}), nullptr);
    EXPECT_TRUE(log.has(err,
                        "StringParameter s : pattern does not compile (parentheses are too "
                        "deeply nested at offset 251) => " +
                            nested.substr(0, 256) + "… (200001 bytes)"))
        << log.dump();

    log.clear();
    NumericParameterLoader<float, float> floatLoader;
    EXPECT_EQ(floatLoader.createParameter("f", "", json::parse(R"({"default": 1e39})")), nullptr);
    EXPECT_EQ(floatLoader.createParameter("f", "", json::parse(R"({"max": 1e39})")), nullptr);
    EXPECT_EQ(log.count("Parameter : JSON float out of range"), 2u);
    EXPECT_TRUE(log.has(err, "NumericParameterLoader [f] : invalid default value in json"));
    DurationParameterLoader<ConfigMilliseconds> msecLoader;
    EXPECT_EQ(
        msecLoader.createParameter("m", "", json::parse(R"({"default": 9223372036854775808})")),
        nullptr);
    EXPECT_TRUE(log.has(err, "Parameter : JSON unsigned integer out of range"));
    ListParameterLoader<float> floatsLoader;
    EXPECT_THROW(floatsLoader.createParameter("l", "", json::parse(R"({"default": [2.5, 1e39]})")),
                 std::out_of_range);
}

TEST(LoaderRegistry, RefusesASecondRegistrationAndServesNewTypeNames) {
    ev_test::TempDir dir;
    ConfigParameterProvider provider;
    ev_test::LogCapture log;
    StringParameterLoader other;
    EXPECT_FALSE(provider.addLoader("int", &other));
    EXPECT_TRUE(log.has(err, "A loader is already registered for this parameter type => int"));
    EXPECT_FALSE(provider.addLoader("hostname", nullptr));
    EXPECT_TRUE(provider.addLoader("hostname", &other));
    EXPECT_TRUE(log.has(spdlog::level::debug, "Parameter loader added for type hostname"));

    ev_test::writeFile(dir / "d.json", R"({"net": {"parameters": [
        {"name": "host", "type": "hostname", "default": "box"},
        {"name": "port", "type": "int", "default": 5}]}})");
    ASSERT_TRUE(provider.loadDescriptionFile((dir / "d.json").string()));
    EXPECT_EQ(config_test::valueOf<std::string>(provider, "net.host"), "box");
    EXPECT_EQ(config_test::valueOf<int>(provider, "net.port"), 5);
}

TEST(LoaderRegistry, RegistersTheStandardTypeNamesInOrder) {
    ev_test::LogCapture log;
    ConfigParameterProvider provider;
    std::vector<std::string> expected;
    for (const char* type :
         {"bool",   "int",     "uint",     "int64",   "uint64",   "float",   "double",
          "string", "msec",    "sec",      "min",     "hour",     "bool[]",  "int[]",
          "uint[]", "int64[]", "uint64[]", "float[]", "double[]", "string[]"})
        expected.push_back(std::string("Parameter loader added for type ") + type);
    EXPECT_EQ(log.texts(), expected);
}
