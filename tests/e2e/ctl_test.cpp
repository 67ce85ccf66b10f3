// cybersecurity_ctl end to end: the built tool against the real daemon on a
// sandbox, each subcommand with its output and exit code, and the tool's
// answer when no daemon runs.
#include "daemon_harness.hpp"

#include "ev_common/cyber/certificate.hpp"

#include <gtest/gtest.h>
#include <zmq.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <climits>
#include <csignal>
#include <fstream>
#include <sstream>
#include <thread>

using namespace ev_e2e;
namespace fs = std::filesystem;

namespace {

const bool g_privateTmp = enterPrivateTmp();
const std::string kEndpoint = "ipc:///tmp/cybersecurity_service.reqresp.api";

#define REQUIRE_PRIVATE_TMP() \
    if (!g_privateTmp) GTEST_SKIP() << "needs a private mount namespace (root)"

struct ctl_result {
    int code = -1;
    std::string out;
    std::string err;
};

std::string shellQuote(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'')
            quoted += "'\\''";
        else
            quoted += c;
    }
    return quoted + "'";
}

// Runs the tool; with `input`, standard input is read from that file.
ctl_result ctl(const std::vector<std::string>& args, const fs::path& input = {}) {
    const std::string program =
        ev_test::builtProgram("cybersecurity_service/client/cybersecurity_ctl");
    std::unique_ptr<ev_test::ChildProcess> child;
    if (input.empty()) {
        child = std::make_unique<ev_test::ChildProcess>(program, args);
    } else {
        std::string command = "exec " + shellQuote(program);
        for (const auto& arg : args) command += " " + shellQuote(arg);
        command += " < " + shellQuote(input.string());
        child = std::make_unique<ev_test::ChildProcess>("/bin/sh",
                                                        std::vector<std::string>{"-c", command});
    }
    ctl_result result;
    result.code = child->wait(std::chrono::seconds(120)).value_or(-1);
    result.out = child->stdoutText();
    result.err = child->stderrText();
    return result;
}

std::string readText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

// Errors are one line on standard error, nothing on standard output.
void expectOneErrorLine(const ctl_result& r, int code, const std::string& line) {
    EXPECT_EQ(r.code, code) << r.err;
    EXPECT_EQ(r.err, "cybersecurity_ctl: " + line + "\n");
    EXPECT_EQ(r.out, "");
}

}  // namespace

TEST(Ctl, RefusesBadCommandLinesWithExitCode2AndShowsItsHelp) {
    const auto help = ctl({"-h"});
    EXPECT_EQ(help.code, 0);
    EXPECT_EQ(help.out.rfind(
                  "Usage: cybersecurity_ctl [--endpoint E] [--endpoint-owner UID] [--timeout MS] "
                  "[-h] COMMAND\n",
                  0),
              0u);
    EXPECT_NE(help.out.find("get --name NAME"), std::string::npos);
    EXPECT_NE(help.out.find("  list [--domain D] [--json] [--expiring DAYS]\n"), std::string::npos);
    EXPECT_NE(help.out.find("  add [--domain D] NAME FILE|-\n"), std::string::npos);
    EXPECT_NE(help.out.find("  confirm ID        tell the service that the csms root"),
              std::string::npos);
    EXPECT_EQ(help.err, "");

    const std::string see = " (see cybersecurity_ctl -h)";
    expectOneErrorLine(ctl({}), 2, "no command given" + see);
    expectOneErrorLine(ctl({"frobnicate"}), 2, "unknown command 'frobnicate'" + see);
    expectOneErrorLine(ctl({"--verbose", "ping"}), 2, "unknown option '--verbose'" + see);
    expectOneErrorLine(ctl({"--timeout", "soon", "ping"}), 2,
                       "--timeout needs milliseconds from 1 to 3600000" + see);
    expectOneErrorLine(ctl({"--endpoint"}), 2, "--endpoint needs a value" + see);
    expectOneErrorLine(ctl({"--endpoint-owner", "alice", "ping"}), 2,
                       "--endpoint-owner needs a numeric user id" + see);
    expectOneErrorLine(ctl({"--endpoint-owner=4294967295", "ping"}), 2,
                       "--endpoint-owner needs a numeric user id" + see);
    expectOneErrorLine(ctl({"remove", "-1"}), 2, "'-1' is not a certificate identifier" + see);
    expectOneErrorLine(ctl({"get", "4294967296"}), 2,
                       "'4294967296' is not a certificate identifier" + see);
    expectOneErrorLine(ctl({"add", "only_a_name"}), 2,
                       "usage: cybersecurity_ctl add [--domain D] NAME FILE|-" + see);
    expectOneErrorLine(
        ctl({"list", "--yaml"}), 2,
        "usage: cybersecurity_ctl list [--domain D] [--json] [--expiring DAYS]" + see);
    expectOneErrorLine(ctl({"list", "--expiring", "soon"}), 2,
                       "--expiring needs a number of days from 0 to 100000" + see);
    expectOneErrorLine(ctl({"remove", "--hash", "SHA256", "aa", "bb"}), 2,
                       "usage: cybersecurity_ctl remove ID | remove --hash ALG NAME_HASH KEY_HASH "
                       "SERIAL" +
                           see);
    expectOneErrorLine(ctl({"watch", "now"}), 2, "usage: cybersecurity_ctl watch" + see);
    expectOneErrorLine(ctl({"add", "n", "/no/such/file.pem"}), 2,
                       "cannot read /no/such/file.pem: No such file or directory" + see);
}

TEST(Ctl, SaysInOneLineThatNoDaemonAnswers) {
    REQUIRE_PRIVATE_TMP();
    const std::string line =
        "no answer from " + kEndpoint + " within 300 ms (is the service running?)";
    expectOneErrorLine(ctl({"--timeout", "300", "ping"}), 3, line);
    expectOneErrorLine(ctl({"--timeout=300", "list"}), 3, line);
    expectOneErrorLine(ctl({"--timeout", "300", "remove", "7"}), 3, line);
    expectOneErrorLine(
        ctl({"--endpoint", "ipc:///tmp/elsewhere.api", "--timeout", "300", "get", "1"}), 3,
        "no answer from ipc:///tmp/elsewhere.api within 300 ms (is the service running?)");
}

// Each change runs the update tool, which takes seconds on a loaded or slow
// device: without any option the tool waits for the answer of a change far
// longer than for a read, and succeeds.
TEST(Ctl, AddsWithoutOptionsWhileTheUpdateToolTakesEightSeconds) {
    REQUIRE_PRIVATE_TMP();
    ev_test::TempDir scripts;
    const fs::path slow = scripts / "slow-update.sh";
    ev_test::writeFile(slow,
                       "#!/bin/sh\n"
                       "case \" $* \" in *\" --fresh \"*|*\" --fresh\") ;; *) sleep 8 ;; esac\n"
                       "exec /usr/sbin/update-ca-certificates \"$@\"\n");
    fs::permissions(slow, fs::perms::owner_all);
    SandboxOptions options;
    options.updateCommand = slow.string();
    Sandbox sandbox(options);
    Daemon daemon(sandbox);
    ASSERT_TRUE(daemon.waitReady()) << daemon.output();

    const auto added = ctl({"add", "slow_ca", sandbox.spareCertificate().string()});
    EXPECT_EQ(added.code, 0) << added.err;
    EXPECT_EQ(added.err, "");
    EXPECT_EQ(added.out.rfind("Added slow_ca as id ", 0), 0u) << added.out;
}

TEST(Ctl, RunsEverySubcommandAgainstTheDaemon) {
    REQUIRE_PRIVATE_TMP();
    Sandbox sandbox;
    Daemon daemon(sandbox);
    ASSERT_TRUE(daemon.waitReady()) << daemon.output();

    const auto pong = ctl({"ping"});
    EXPECT_EQ(pong.code, 0) << pong.err;
    EXPECT_EQ(pong.out, "pong from " + kEndpoint + "\n");

    auto listed = ctl({"list"});
    ASSERT_EQ(listed.code, 0) << listed.err;
    auto rows = lines(listed.out);
    ASSERT_EQ(rows.size(), sandbox.builtinNames().size() + 1) << listed.out;
    EXPECT_EQ(rows[0].rfind("ID  NAME  ", 0), 0u) << rows[0];
    // Built-ins in the system directory's order: every name once, marked built-in.
    std::vector<std::string> names;
    for (std::size_t i = 1; i < rows.size(); ++i) {
        std::istringstream row(rows[i]);
        std::string id, name, source;
        row >> id >> name >> source;
        EXPECT_EQ(id, std::to_string(i)) << rows[i];
        EXPECT_EQ(source, "built-in") << rows[i];
        names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    auto expectedNames = sandbox.builtinNames();
    std::sort(expectedNames.begin(), expectedNames.end());
    EXPECT_EQ(names, expectedNames);

    // A user certificate valid past January 2038, from a file and from standard input.
    fs::path farFuture;
    for (std::size_t i = 0; farFuture.empty(); ++i) {
        const ev_common::Certificate candidate(sandbox.spareCertificate(i));
        if (candidate.notAfter() > INT32_MAX) farFuture = sandbox.spareCertificate(i);
    }
    const ev_common::Certificate far(farFuture);
    const std::string first = std::to_string(sandbox.builtinNames().size() + 1);
    const std::string second = std::to_string(sandbox.builtinNames().size() + 2);
    const auto added = ctl({"add", "far_ca", farFuture.string()});
    EXPECT_EQ(added.code, 0) << added.err << daemon.output();
    EXPECT_EQ(added.out, "Added far_ca as id " + first + "\n");
    const fs::path other = farFuture == sandbox.spareCertificate(0) ? sandbox.spareCertificate(1)
                                                                    : sandbox.spareCertificate(0);
    const auto piped = ctl({"add", "piped-1", "-"}, other);
    EXPECT_EQ(piped.code, 0) << piped.err;
    EXPECT_EQ(piped.out, "Added piped-1 as id " + second + "\n");
    EXPECT_EQ(readText(sandbox.userDir() / "piped-1.crt"), readText(other));

    expectOneErrorLine(ctl({"add", "../evil", farFuture.string()}), 1, "add refused: invalid_name");
    const fs::path junk = sandbox.root() / "junk.pem";
    std::ofstream(junk) << "not a certificate\n";
    expectOneErrorLine(ctl({"add", "junk", junk.string()}), 1, "add refused: invalid_cert");

    // PEM text on standard output, exactly as stored.
    const auto byId = ctl({"get", first});
    EXPECT_EQ(byId.code, 0) << byId.err;
    EXPECT_EQ(byId.out, readText(farFuture));
    const auto byName = ctl({"get", "--name", "piped-1"});
    EXPECT_EQ(byName.code, 0) << byName.err;
    EXPECT_EQ(byName.out, readText(other));
    expectOneErrorLine(ctl({"get", "999"}), 1, "no certificate with id 999");
    expectOneErrorLine(ctl({"get", "--name", "nobody"}), 1, "no certificate named nobody");

    // The list shows the true date of the far certificate, not the 32-bit one.
    listed = ctl({"list"});
    ASSERT_EQ(listed.code, 0) << listed.err;
    rows = lines(listed.out);
    ASSERT_EQ(rows.size(), sandbox.builtinNames().size() + 3) << listed.out;
    const std::string farRow = rows[rows.size() - 2];
    EXPECT_NE(farRow.find(" far_ca "), std::string::npos) << farRow;
    EXPECT_NE(farRow.find("  user  "), std::string::npos) << farRow;
    EXPECT_NE(farRow.find(far.subjectText()), std::string::npos) << farRow;
    const auto json = ctl({"list", "--json"});
    ASSERT_EQ(json.code, 0) << json.err;
    const auto entries = nlohmann::json::parse(json.out);
    ASSERT_EQ(entries.size(), sandbox.builtinNames().size() + 2);
    const auto& farEntry = entries[entries.size() - 2];
    EXPECT_EQ(farEntry["name"], "far_ca");
    EXPECT_EQ(farEntry["built_in"], false);
    EXPECT_EQ(farEntry["not_after_epoch"].get<std::int64_t>(), far.notAfter());
    EXPECT_EQ(farEntry["expired"], false);
    const std::string year = farEntry["not_after"].get<std::string>().substr(0, 4);
    EXPECT_GE(std::stoi(year), 2038);
    EXPECT_NE(farRow.find(farEntry["not_after"].get<std::string>()), std::string::npos) << farRow;
    EXPECT_EQ(entries[0]["built_in"], true);

    // Removal: a user certificate once, then refusals with the status name.
    const auto removed = ctl({"remove", first});
    EXPECT_EQ(removed.code, 0) << removed.err;
    EXPECT_EQ(removed.out, "Removed id " + first + "\n");
    EXPECT_FALSE(fs::exists(sandbox.userDir() / "far_ca.crt"));
    expectOneErrorLine(ctl({"remove", first}), 1, "remove refused: unknown_id");
    expectOneErrorLine(ctl({"remove", "1"}), 1, "remove refused: built_in");

    EXPECT_EQ(daemon.stop(), 0);
    expectOneErrorLine(ctl({"--timeout", "300", "ping"}), 3,
                       "no answer from " + kEndpoint + " within 300 ms (is the service running?)");
}

TEST(Ctl, ListsTheMachinesWholeSetWithTrueDatesPast2038) {
    REQUIRE_PRIVATE_TMP();
    SandboxOptions options;
    options.builtins = 0;
    Sandbox sandbox(options);
    Daemon daemon(sandbox);
    ASSERT_TRUE(daemon.waitReady()) << daemon.output();

    const auto json = ctl({"list", "--json"});
    ASSERT_EQ(json.code, 0) << json.err;
    const auto entries = nlohmann::json::parse(json.out);
    ASSERT_EQ(entries.size(), sandbox.builtinNames().size());
    std::size_t past2038 = 0;
    for (const auto& entry : entries) {
        const ev_common::Certificate certificate(sandbox.systemDir() /
                                                 (entry["name"].get<std::string>() + ".pem"));
        ASSERT_TRUE(certificate.valid()) << entry.dump();
        EXPECT_EQ(entry["not_after_epoch"].get<std::int64_t>(), certificate.notAfter())
            << entry.dump();
        if (certificate.notAfter() > INT32_MAX) ++past2038;
    }
    EXPECT_GT(past2038, 0u) << "the machine's set should hold certificates valid past 2038";

    const auto table = ctl({"list"});
    ASSERT_EQ(table.code, 0) << table.err;
    EXPECT_EQ(lines(table.out).size(), entries.size() + 1);
    EXPECT_EQ(daemon.stop(), 0);
}

TEST(Ctl, ListsDetailsAndWhatExpiresRemovesByHashDataAndWatchesTheChanges) {
    REQUIRE_PRIVATE_TMP();
    Sandbox sandbox;
    Daemon daemon(sandbox);
    ASSERT_TRUE(daemon.waitReady()) << daemon.output();
    ev_test::ChildProcess watch(
        ev_test::builtProgram("cybersecurity_service/client/cybersecurity_ctl"), {"watch"});

    // The watcher's subscription takes a moment to reach the daemon: the
    // certificate is added again until the watcher prints its event.
    const fs::path spare = sandbox.spareCertificate(0);
    bool seen = false;
    for (int attempt = 0; attempt < 10 && !seen; ++attempt) {
        ASSERT_EQ(ctl({"add", "watched", spare.string()}).code, 0);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (!(seen = !watch.stdoutText().empty()) && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_TRUE(seen) << watch.stderrText();

    const auto listed = ctl({"list", "--json"});
    ASSERT_EQ(listed.code, 0) << listed.err;
    const auto entries = nlohmann::json::parse(listed.out);
    const auto& watched = entries.back();
    EXPECT_EQ(watched["name"], "watched");
    EXPECT_EQ(watched["sha256"].get<std::string>().size(), 64u);
    ASSERT_EQ(watched["ocpp"].size(), 3u);
    EXPECT_EQ(watched["expired"], false);

    // Those whose validity ends within about five years, expired ones included.
    const std::int64_t now = std::chrono::duration_cast<std::chrono::seconds>(
                                 std::chrono::system_clock::now().time_since_epoch())
                                 .count();
    std::size_t within = 0;
    for (const auto& entry : entries) {
        if (entry["not_after_epoch"].get<std::int64_t>() < now + 2000 * 86400) ++within;
    }
    const auto expiring = ctl({"list", "--expiring", "2000"});
    ASSERT_EQ(expiring.code, 0) << expiring.err;
    EXPECT_EQ(lines(expiring.out).size(), within + 1) << expiring.out;
    EXPECT_EQ(nlohmann::json::parse(ctl({"list", "--json", "--expiring", "0"}).out).size(),
              std::count_if(entries.begin(), entries.end(), [](const nlohmann::json& entry) {
                  return entry["expired"].get<bool>();
              }));

    const auto& hash = watched["ocpp"][2];
    std::string serial = hash["serial_number"];
    std::transform(serial.begin(), serial.end(), serial.begin(), ::toupper);
    const std::vector<std::string> byHash = {
        "remove",      "--hash", "SHA512", hash["issuer_name_hash"], hash["issuer_key_hash"],
        "000" + serial};
    const auto removed = ctl(byHash);
    EXPECT_EQ(removed.code, 0) << removed.err;
    EXPECT_EQ(removed.out, "Removed the certificate with serial 000" + serial + "\n");
    expectOneErrorLine(ctl(byHash), 1, "remove refused: unknown_id");

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (watch.stdoutText().find("\"removed\"") == std::string::npos &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    watch.signal(SIGINT);
    EXPECT_EQ(watch.wait(std::chrono::seconds(20)), 0);
    const auto events = lines(watch.stdoutText());
    ASSERT_GE(events.size(), 2u) << watch.stdoutText();
    const auto last = nlohmann::json::parse(events.back());
    const auto before = nlohmann::json::parse(events[events.size() - 2]);
    EXPECT_EQ(last["event"], "removed");
    EXPECT_EQ(last["id"], watched["id"]);
    EXPECT_EQ(last["generation"].get<int>(), before["generation"].get<int>() + 1);
    EXPECT_EQ(daemon.stop(), 0);
}

TEST(Ctl, ListsTheOldWayWhenTheServiceDoesNotKnowTheDetails) {
    REQUIRE_PRIVATE_TMP();
    // A service of before the details: an empty reply to them, the listing,
    // and the PEM text of its one certificate.
    Sandbox sandbox;
    const fs::path far = sandbox.spareCertificate(0);
    const ev_common::Certificate certificate(far);
    const std::string endpoint = "ipc:///tmp/older-service.api";
    void* context = zmq_ctx_new();
    void* socket = zmq_socket(context, ZMQ_REP);
    ASSERT_EQ(zmq_bind(socket, endpoint.c_str()), 0);
    std::thread older([&] {
        const std::string list = u32(1) + u32(7) + str("old_ca") + std::string(1, '\0') +
                                 str(certificate.subjectText()) +
                                 u32(static_cast<std::uint32_t>(certificate.notAfter())) + str("") +
                                 str("");
        for (int served = 0; served < 3; ++served) {
            char frame[256];
            const int size = zmq_recv(socket, frame, sizeof frame, 0);
            if (size < 10) break;
            // The identity in front of the operation names the tool's process.
            const std::string request(frame, static_cast<std::size_t>(size));
            const std::uint32_t length = static_cast<std::uint8_t>(request[0]);
            const char op = request.at(4 + length);
            const std::string reply = op == 5 ? "" : op == 2 ? list : str(readText(far));
            zmq_send(socket, reply.data(), reply.size(), 0);
        }
    });
    const auto listed = ctl({"--endpoint", endpoint, "list", "--json"});
    older.join();
    zmq_close(socket);
    zmq_ctx_term(context);
    ASSERT_EQ(listed.code, 0) << listed.err;
    const auto entries = nlohmann::json::parse(listed.out);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0]["name"], "old_ca");
    EXPECT_EQ(entries[0]["not_after_epoch"].get<std::int64_t>(), certificate.notAfter());
    EXPECT_FALSE(entries[0].contains("ocpp"));
}

TEST(Ctl, AddsIntoATrustDomainAndListsOneDomain) {
    REQUIRE_PRIVATE_TMP();
    SandboxOptions options;
    options.domains = {"csms"};
    Sandbox sandbox(options);
    Daemon daemon(sandbox);
    ASSERT_TRUE(daemon.waitReady()) << daemon.output();
    const fs::path root = sandbox.spareCertificate(0);

    const auto added = ctl({"add", "--domain", "csms", "csms_root", root.string()});
    EXPECT_EQ(added.code, 0) << added.err;
    EXPECT_EQ(added.out.rfind("Added csms_root to domain csms as id ", 0), 0u) << added.out;
    EXPECT_EQ(readText(sandbox.domainsDir() / "csms.pem"), ev_common::Certificate(root).text());

    const auto listed = ctl({"list", "--domain", "csms"});
    ASSERT_EQ(listed.code, 0) << listed.err;
    const auto rows = lines(listed.out);
    ASSERT_EQ(rows.size(), 2u) << listed.out;
    std::istringstream row(rows[1]);
    std::string id, name, source;
    row >> id >> name >> source;
    EXPECT_EQ(name, "csms_root");
    EXPECT_EQ(source, "csms");
    EXPECT_EQ(lines(ctl({"list", "--domain", "system"}).out).size(),
              sandbox.builtinNames().size() + 1);

    expectOneErrorLine(ctl({"add", "--domain", "v2g", "x", root.string()}), 1,
                       "add refused: invalid_name");
    expectOneErrorLine(ctl({"add", "--domain"}), 2,
                       "usage: cybersecurity_ctl add [--domain D] NAME FILE|- (see "
                       "cybersecurity_ctl -h)");
}
