// Change events as subscribers meet them: a socket another user put at the
// event path never keeps a subscriber from the real daemon, the default path
// is one only root may create, and the warnings of the start-up expiry check
// reach subscribers that connect after it.
#include "cybersecurity/cybersecurity_events.hpp"
#include "daemon_harness.hpp"

#include <sys/stat.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <regex>

using namespace ev_e2e;
namespace fs = std::filesystem;
using json = nlohmann::json;
namespace cyber = ev_charging_platform::cybersecurity;

namespace {

const bool g_privateTmp = enterPrivateTmp();
constexpr uid_t kNobody = 65534;

#define REQUIRE_PRIVATE_TMP() \
    if (!g_privateTmp) GTEST_SKIP() << "needs a private mount namespace (root)"

void addParameters(Sandbox& sandbox, const json& extra) {
    auto parameters = json::parse(sandbox.defaultParameters());
    for (const auto& parameter : extra) parameters.push_back(parameter);
    sandbox.writeDescription(parameters.dump());
}

// Anyone may bind a path in /tmp: what a subscriber on the event endpoint of
// before, or on any path another user can reach, met after a restart.
TEST(Events, ASocketOfAnotherUserAtThePathNeverKeepsSubscribersFromTheDaemon) {
    REQUIRE_PRIVATE_TMP();
    if (!fs::exists("/usr/bin/setpriv") || !fs::exists("/usr/bin/python3"))
        GTEST_SKIP() << "needs setpriv and python3";
    const std::string path = "/tmp/cybersecurity_service.events.api";
    Sandbox sandbox;
    addParameters(
        sandbox,
        json::array(
            {{{"name", "events_endpoint"}, {"type", "string"}, {"default", "ipc://" + path}}}));
    const std::string script =
        "import zmq, time\n"
        "s = zmq.Context().socket(zmq.PUB)\n"
        "s.bind('ipc://" +
        path +
        "')\n"
        "print('bound', flush=True)\n"
        "time.sleep(600)\n";
    ev_test::ChildProcess impostor(
        "/usr/bin/setpriv",
        {"--reuid=65534", "--regid=65534", "--clear-groups", "/usr/bin/python3", "-c", script});
    ASSERT_TRUE(impostor.waitForStdout("bound")) << impostor.stderrText();
    cyber::cybersecurity_events events("ipc://" + path);
    EXPECT_EQ(events.next(std::chrono::milliseconds(300)), std::nullopt);

    // The daemon takes the path back; the subscriber must find it there.
    Daemon daemon(sandbox);
    ASSERT_TRUE(daemon.waitReady()) << daemon.output();
    RawClient client;
    const std::string pem = ev_test::readFile(sandbox.spareCertificate(0));
    std::optional<std::string> event;
    for (int attempt = 0; attempt < 8 && !event; ++attempt) {
        const auto reply =
            client.exchange(str("e2e") + u32(0) + str(pem) + str("probe"), std::chrono::minutes(3));
        ASSERT_TRUE(reply && reply->size() == 8) << daemon.output();
        event = events.next(std::chrono::seconds(3));
    }
    ASSERT_TRUE(event.has_value()) << "the subscriber stayed with the impostor";
    EXPECT_EQ(json::parse(*event)["name"], "probe");
    EXPECT_TRUE(events.is_connected());
    impostor.signal(SIGKILL);
    EXPECT_EQ(daemon.stop(), 0);
}

TEST(Events, TheDefaultEndpointIsInAFolderOnlyRootMayWrite) {
    REQUIRE_PRIVATE_TMP();
    EXPECT_STREQ(cyber::events_endpoint, "ipc:///run/cybersecurity_service/events.api");
    Sandbox sandbox;
    Daemon daemon(sandbox);
    ASSERT_TRUE(daemon.waitReady()) << daemon.output();
    struct stat folder {};
    ASSERT_EQ(::lstat("/run/cybersecurity_service", &folder), 0);
    EXPECT_EQ(folder.st_uid, 0u);
    EXPECT_EQ(folder.st_mode & 07777, 0755u);
    struct stat socket {};
    ASSERT_EQ(::lstat("/run/cybersecurity_service/events.api", &socket), 0);
    EXPECT_TRUE(S_ISSOCK(socket.st_mode));
    EXPECT_EQ(daemon.stop(), 0);
}

TEST(Events, SubscribersThatComeAfterTheStartUpCheckGetItsWarnings) {
    REQUIRE_PRIVATE_TMP();
    SandboxOptions options;
    options.domains = {"csms"};
    Sandbox sandbox(options);
    // A window of a century: every certificate is warned about.
    addParameters(
        sandbox,
        json::array({{{"name", "expiry_warning_days"}, {"type", "uint"}, {"default", 36500}}}));
    fs::create_directories(sandbox.domainsDir() / "csms");
    fs::copy_file(sandbox.spareCertificate(0), sandbox.domainsDir() / "csms" / "csms_root.crt");
    Daemon daemon(sandbox);
    ASSERT_TRUE(daemon.waitReady()) << daemon.output();
    // The check runs on the server's thread once it serves.
    ASSERT_TRUE(daemon.waitForLine(" in trust domain csms")) << daemon.output();
    const std::string output = daemon.output();
    EXPECT_TRUE(std::regex_search(
        output, std::regex(R"(\[ca-store\] Certificate csms_root \(id \d+\) expires on )"
                           R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ in trust domain csms\n)")))
        << output;

    // Connected after the check: its warnings come as the subscriber
    // arrives, one per certificate (three built-ins and the domain's root).
    // A subscriber that came before the check had ended gets them with the
    // next arrival.
    std::vector<json> warnings;
    for (int arrival = 0; arrival < 3 && warnings.size() < 4; ++arrival) {
        warnings.clear();
        cyber::cybersecurity_events events;
        while (warnings.size() < 4) {
            const auto event = events.next(std::chrono::seconds(10));
            if (!event) break;
            warnings.push_back(json::parse(*event));
        }
    }
    ASSERT_EQ(warnings.size(), 4u) << daemon.output();
    EXPECT_EQ(std::count_if(warnings.begin(), warnings.end(),
                            [](const json& w) {
                                return w["event"] == "expiring" && w["domain"] == "csms" &&
                                       w["name"] == "csms_root";
                            }),
              1);
    EXPECT_EQ(daemon.stop(), 0);
}

}  // namespace
