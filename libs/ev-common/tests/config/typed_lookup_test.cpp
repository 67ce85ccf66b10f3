#include "config_test_support.hpp"
#include "log_capture.hpp"
#include "temp_dir.hpp"

#include <chrono>
#include <string>
#include <vector>

namespace {

const char* const kDescription = R"({
    "svc": { "parameters": [
        { "name": "path", "type": "string", "default": "/x" },
        { "name": "timeout", "type": "sec", "default": 120 },
        { "name": "period", "type": "hour", "default": 24 },
        { "name": "groups", "type": "string[]", "default": ["a", "b"] }
    ] }
})";

TEST(TypedParameterLookup, ReadsEachTypeAndRefusesAnotherTypeOrAMissingName) {
    ev_test::TempDir dir;
    auto provider = config_test::providerFor(dir, kDescription);
    ev_common::IConfigParameterProvider& configuration = *provider;

    EXPECT_EQ(configuration.getValue<std::string>("svc.path"), std::optional<std::string>("/x"));
    // std::chrono::seconds counts in a long on 64-bit targets and a long long
    // on 32-bit ones; both read the same "sec" parameter.
    EXPECT_EQ(configuration.getValue<std::chrono::seconds>("svc.timeout"),
              std::optional<std::chrono::seconds>(120));
    EXPECT_EQ(configuration.getValue<std::chrono::hours>("svc.period"),
              std::optional<std::chrono::hours>(24));
    EXPECT_EQ(configuration.getValue<std::vector<std::string>>("svc.groups"),
              (std::optional<std::vector<std::string>>({"a", "b"})));

    EXPECT_FALSE(configuration.getValue<unsigned int>("svc.path"));
    EXPECT_FALSE(configuration.getValue<std::chrono::minutes>("svc.timeout"));

    ev_test::LogCapture log;
    EXPECT_FALSE(configuration.getValue<std::string>("svc.absent"));
    EXPECT_TRUE(log.has(spdlog::level::err, "Unknown parameter : absent"));
    log.clear();
    EXPECT_FALSE(configuration.findValue<std::string>("svc.absent"));
    EXPECT_TRUE(log.lines().empty());
}

}  // namespace
