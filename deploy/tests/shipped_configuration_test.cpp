// The configuration description and file installed on a device, read by the
// same configuration code the daemon runs at start-up.
#include "ev_common/config/config_parameter_provider.hpp"
#include "ev_common/config/parameter.hpp"
#include "log_capture.hpp"
#include "temp_dir.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <sstream>
#include <string>
#include <typeinfo>
#include <vector>

namespace {

const char* const kBuiltinPath = "cyber.builtin_ca_certs_path";
const char* const kUserPath = "cyber.user_ca_certs_path";

// The value the daemon reads: only a parameter of type std::string counts.
std::optional<std::string> stringValue(ev_common::ConfigParameterProvider& provider,
                                       const std::string& name) {
    auto parameter = provider.getParameter(name);
    if (!parameter || parameter->getType() != typeid(std::string)) return std::nullopt;
    auto typed = std::dynamic_pointer_cast<ev_common::Parameter<std::string>>(parameter);
    if (!typed) return std::nullopt;
    return typed->getValue();
}

bool anyWarningOrError(const ev_test::LogCapture& capture) {
    for (const auto& line : capture.lines())
        if (line.level >= spdlog::level::warn) return true;
    return false;
}

std::string written(ev_common::ConfigParameterProvider& provider) {
    std::ostringstream out;
    EXPECT_TRUE(provider.writeConfiguration(out));
    return out.str();
}

TEST(ShippedConfiguration, LoadsWithoutComplaintAndNamesTheDebianTrustDirectories) {
    ev_test::LogCapture capture;
    ev_common::ConfigParameterProvider provider;
    ASSERT_TRUE(provider.loadDescriptionFile(EV_SHIPPED_DESCRIPTION)) << capture.dump();
    EXPECT_EQ(stringValue(provider, kBuiltinPath), "/etc/ssl/certs");
    EXPECT_EQ(stringValue(provider, kUserPath), "/usr/local/share/ca-certificates");

    // The start-up read is strict; a misspelt member would only warn and
    // leave a default behind, so warnings count as failures here too.
    ASSERT_TRUE(provider.loadConfigurationFile(EV_SHIPPED_CONFIGURATION, true)) << capture.dump();
    EXPECT_EQ(stringValue(provider, kBuiltinPath), "/etc/ssl/certs");
    EXPECT_EQ(stringValue(provider, kUserPath), "/usr/local/share/ca-certificates");
    EXPECT_FALSE(anyWarningOrError(capture)) << capture.dump();

    // The update tool stays the fixed one: the device description does not
    // open it to configuration. Its time limit is the daemon's default.
    EXPECT_EQ(provider.findParameter("cyber.update_command"), nullptr);
    EXPECT_EQ(provider.findParameter("cyber.update_arguments"), nullptr);
    auto timeout = std::dynamic_pointer_cast<ev_common::Parameter<ev_common::ConfigSeconds>>(
        provider.findParameter("cyber.update_timeout"));
    ASSERT_NE(timeout, nullptr);
    EXPECT_EQ(timeout->getValue(), std::chrono::seconds(120));

    // The groups the package creates: clients, and those who may change.
    EXPECT_EQ(provider.findValue<std::string>("cyber.client_group"), "cybersecurity");
    EXPECT_EQ(provider.findValue<std::vector<std::string>>("cyber.admin_groups"),
              std::vector<std::string>{"cybersecurity-admin"});

    // The expiry watch at the daemon's defaults: 30 days ahead, once a day.
    EXPECT_EQ(provider.findValue<unsigned int>("cyber.expiry_warning_days"), 30u);
    EXPECT_EQ(provider.findValue<std::chrono::hours>("cyber.expiry_check_period"),
              std::chrono::hours(24));

    // No trust domain until the device names them; their folder is below the
    // unit's state directory, which the daemon may write.
    EXPECT_EQ(provider.findValue<std::vector<std::string>>("cyber.domains"),
              std::vector<std::string>{});
    EXPECT_EQ(stringValue(provider, "cyber.domains_path"),
              "/var/lib/cybersecurity_service/domains");
    EXPECT_EQ(provider.findValue<unsigned int>("cyber.domain_max_certificates"), 20u);

    // Events where the socket unit creates their socket.
    EXPECT_EQ(stringValue(provider, "cyber.events_endpoint"),
              "ipc:///run/cybersecurity_service/events.api");

    // A reader holds at most this many connections; admins are not bound.
    EXPECT_EQ(provider.findValue<unsigned int>("cyber.max_connections_per_uid"), 32u);
}

TEST(ShippedConfiguration, IsByteForByteWhatTheDaemonWritesSoTheFirstStartKeepsIt) {
    const std::string shipped = ev_test::readFile(EV_SHIPPED_CONFIGURATION);
    ASSERT_FALSE(shipped.empty());

    ev_common::ConfigParameterProvider defaults;
    ASSERT_TRUE(defaults.loadDescriptionFile(EV_SHIPPED_DESCRIPTION));
    EXPECT_EQ(written(defaults), shipped);

    // What a rewrite at start-up would leave on disk is the same file again.
    ev_test::TempDir dir;
    ASSERT_TRUE(defaults.saveConfigurationFile((dir / "rewritten.json").string()));
    EXPECT_EQ(ev_test::readFile(dir / "rewritten.json"), shipped);

    ev_common::ConfigParameterProvider loaded;
    ASSERT_TRUE(loaded.loadDescriptionFile(EV_SHIPPED_DESCRIPTION));
    ASSERT_TRUE(loaded.loadConfigurationFile(EV_SHIPPED_CONFIGURATION, true));
    EXPECT_EQ(written(loaded), shipped);
}

TEST(ShippedConfiguration, RefusesDirectoriesThatAreNotAbsolutePathsAndKeepsTheDefault) {
    // The daemon runs in its state folder, so a relative path would land
    // there, outside the folders the unit lets it write.
    ev_test::TempDir dir;
    for (const std::string refused : {"", "certs", "./certs", "/"}) {
        ev_test::LogCapture capture;
        ev_common::ConfigParameterProvider provider;
        ASSERT_TRUE(provider.loadDescriptionFile(EV_SHIPPED_DESCRIPTION));
        const auto file = dir / "refused.json";
        ev_test::writeFile(file,
                           "{\"cyber\": {\"builtin_ca_certs_path\": \"/etc/ssl/certs\", "
                           "\"user_ca_certs_path\": \"" +
                               refused + "\"}}");
        EXPECT_FALSE(provider.loadConfigurationFile(file.string(), true)) << "'" << refused << "'";
        EXPECT_EQ(stringValue(provider, kUserPath), "/usr/local/share/ca-certificates");
        EXPECT_TRUE(capture.has(spdlog::level::warn,
                                "[cyber] Error reading value of parameter user_ca_certs_path"))
            << capture.dump();
    }

    ev_common::ConfigParameterProvider provider;
    ASSERT_TRUE(provider.loadDescriptionFile(EV_SHIPPED_DESCRIPTION));
    const auto file = dir / "moved.json";
    ev_test::writeFile(file,
                       "{\"cyber\": {\"builtin_ca_certs_path\": \"/data/ssl/certs\", "
                       "\"user_ca_certs_path\": \"/data/ca-certificates\"}}");
    EXPECT_TRUE(provider.loadConfigurationFile(file.string(), true));
    EXPECT_EQ(stringValue(provider, kBuiltinPath), "/data/ssl/certs");
    EXPECT_EQ(stringValue(provider, kUserPath), "/data/ca-certificates");
}

}  // namespace
