#include "ev_common/config/config_parameter_provider.hpp"
#include "ev_common/config/parameter.hpp"

#include <gtest/gtest.h>

#include "config_test_support.hpp"
#include "log_capture.hpp"
#include "temp_dir.hpp"

using ev_common::ConfigParameterProvider;
using spdlog::level::err;

namespace {

struct Description {
    ev_test::TempDir dir;
    std::string path = (dir / "description.json").string();
    ConfigParameterProvider provider;

    bool load(const std::string& text) {
        ev_test::writeFile(path, text);
        return provider.loadDescriptionFile(path);
    }
};

using config_test::startsWith;

const char* kCyber = R"({"cyber": {"description": "trust store", "parameters": [
    {"name": "builtin_ca_certs_path", "type": "string", "default": "/etc/ssl/certs"},
    {"name": "user_ca_certs_path", "type": "string", "default": "/var/lib/ca"}]}})";

}  // namespace

TEST(ConfigurationDescription, RefusesAFileThatIsNotOneStrictJsonObject) {
    Description d;
    ev_test::LogCapture log;
    EXPECT_FALSE(d.provider.loadDescriptionFile((d.dir / "missing.json").string()));
    EXPECT_TRUE(log.has(spdlog::level::info, "Loading configuration description from " +
                                                 (d.dir / "missing.json").string()));
    EXPECT_TRUE(log.has(err, "Unable to open configuration description file : " +
                                 (d.dir / "missing.json").string()));

    EXPECT_FALSE(d.load(R"([{"cyber": {}}])"));
    EXPECT_TRUE(log.has(err, "Invalid JSON format in configuration description file : " + d.path));

    const std::string parseFailure =
        "Invalid JSON format in configuration description file : " + d.path + " - ";
    log.clear();
    EXPECT_FALSE(d.load("// comment\n" + std::string(kCyber)));
    EXPECT_TRUE(startsWith(log.texts(), parseFailure + "[json.exception.parse_error"))
        << log.dump();
    log.clear();
    EXPECT_FALSE(d.load(std::string(kCyber) + " trailing"));
    EXPECT_TRUE(startsWith(log.texts(), parseFailure)) << log.dump();
    EXPECT_EQ(d.provider.findParameter("cyber.user_ca_certs_path"), nullptr);
}

TEST(ConfigurationDescription, LeavesOutBadGroupsAndStillReadsTheOthers) {
    Description d;
    ev_test::LogCapture log;
    EXPECT_FALSE(d.load(R"({
        "a_string": "not a group",
        "b_empty": {"parameters": []},
        "c_none": {"description": "no parameters"},
        "d_refused": {"parameters": [{"name": "x", "type": "double", "default": 1}]},
        "e_good": {"parameters": [{"name": "x", "type": "int", "default": 3}]}})"));
    EXPECT_TRUE(log.has(err, "Invalid JSON format in parameter group : a_string"));
    EXPECT_TRUE(log.has(err, "Invalid JSON format for parameters in parameter group : b_empty"));
    EXPECT_TRUE(log.has(err, "Invalid JSON format for parameters in parameter group : c_none"));
    EXPECT_TRUE(log.has(err, "[NumericParameterLoader] Invalid json"));
    for (const char* gone : {"b_empty.x", "c_none.x", "d_refused.x"})
        EXPECT_EQ(d.provider.findParameter(gone), nullptr) << gone;
    EXPECT_EQ(config_test::valueOf<int>(d.provider, "e_good.x"), 3);
}

TEST(ConfigurationDescription, LeavesOutBadParameterEntriesAndKeepsTheRestOfTheGroup) {
    Description d;
    ev_test::LogCapture log;
    EXPECT_TRUE(d.load(R"({"g": {"parameters": [
        {"name": "first", "type": "bool", "default": true},
        42,
        {"type": "int"},
        {"name": "untyped"},
        {"name": "odd", "type": "integer"},
        {"name": "twice", "type": "int", "default": 1},
        {"name": "twice", "type": "int", "default": 2},
        {"name": "refused", "type": "uint", "default": 7, "value": 8}]}})"));
    EXPECT_TRUE(log.has(err, "Invalid JSON format for parameters in parameter group : g"));
    EXPECT_TRUE(log.has(err, "Missing name for parameter in parameter group : g"));
    EXPECT_TRUE(log.has(err, "Missing type for parameter untyped in parameter group : g"));
    EXPECT_TRUE(log.has(err, "Unknown type integer for parameter odd in parameter group : g"));
    EXPECT_TRUE(config_test::valueOf<bool>(d.provider, "g.first"));
    EXPECT_EQ(config_test::valueOf<int>(d.provider, "g.twice"), 2);
    EXPECT_EQ(d.provider.findParameter("g.refused"), nullptr);
}

TEST(ConfigurationDescription, StopsAtALibraryErrorButKeepsTheGroupsAlreadyStored) {
    Description d;
    ev_test::LogCapture log;
    EXPECT_FALSE(d.load(R"({
        "a": {"parameters": [{"name": "x", "type": "int"}]},
        "b": {"parameters": [{"name": 5, "type": "int"}]},
        "c": {"parameters": [{"name": "x", "type": "int"}]}})"));
    EXPECT_TRUE(startsWith(log.texts(), "Invalid JSON format in configuration description file : " +
                                            d.path + " - [json.exception.type_error"))
        << log.dump();
    EXPECT_NE(d.provider.findParameter("a.x"), nullptr);
    EXPECT_EQ(d.provider.findParameter("c.x"), nullptr);

    // The same holds for a list element of the wrong kind and an invalid pattern.
    EXPECT_FALSE(
        d.load(R"({"l": {"parameters": [{"name": "x", "type": "int[]", "default": ["a"]}]}})"));
    EXPECT_FALSE(
        d.load(R"({"s": {"parameters": [{"name": "x", "type": "string", "pattern": "("}]}})"));
    EXPECT_EQ(log.count("Invalid JSON format in parameter group : l"), 0u);
    EXPECT_NE(d.provider.findParameter("a.x"), nullptr);
}

TEST(ParameterLookup, FindsTheLiveParameterByGroupAndName) {
    ev_test::TempDir dir;
    auto provider = config_test::providerFor(dir, kCyber);
    ev_test::LogCapture log;
    auto first = provider->getParameter("cyber.user_ca_certs_path");
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(provider->getParameter("cyber.user_ca_certs_path"), first);
    EXPECT_EQ(provider->findParameter("cyber.user_ca_certs_path"), first);
    ASSERT_TRUE(first->getType() == typeid(std::string));
    auto typed = std::dynamic_pointer_cast<ev_common::Parameter<std::string>>(first);
    ASSERT_NE(typed, nullptr);
    EXPECT_EQ(typed->getValue(), "/var/lib/ca");
    // A later configuration read shows through the pointer already handed out.
    EXPECT_TRUE(config_test::readText(*provider, R"({"cyber": {"user_ca_certs_path": "/data"}})"));
    EXPECT_EQ(typed->getValue(), "/data");
    EXPECT_TRUE(log.texts().empty()) << log.dump();
}

TEST(ParameterLookup, ReportsEachKindOfBadNameButFindParameterStaysQuiet) {
    ev_test::TempDir dir;
    auto provider = config_test::providerFor(dir, kCyber);
    ev_test::LogCapture log;
    for (const char* name : {"user_ca_certs_path", "cyber.user.ca", "cyber..x", ".cyber",
                             "other.user_ca_certs_path", "cyber.nothing", "cyber."})
        EXPECT_EQ(provider->findParameter(name), nullptr) << name;
    EXPECT_TRUE(log.texts().empty()) << log.dump();

    EXPECT_EQ(provider->getParameter("user_ca_certs_path"), nullptr);
    EXPECT_EQ(provider->getParameter("cyber.user.ca"), nullptr);
    EXPECT_EQ(provider->getParameter(".user_ca_certs_path"), nullptr);
    EXPECT_EQ(provider->getParameter("other.user_ca_certs_path"), nullptr);
    EXPECT_EQ(provider->getParameter("cyber.nothing"), nullptr);
    EXPECT_EQ(log.texts(), (std::vector<std::string>{
                               "Invalid parameter name : user_ca_certs_path",
                               "Invalid parameter name : cyber.user.ca",
                               "Unknown parameter group : ", "Unknown parameter group : other",
                               "Unknown parameter : nothing"}));

    ConfigParameterProvider empty;
    log.clear();
    EXPECT_EQ(empty.getParameter("cyber.user_ca_certs_path"), nullptr);
    EXPECT_TRUE(log.has(err, "Unknown parameter group : cyber"));
}
