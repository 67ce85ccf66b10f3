// The daemon end to end: the real binary on a sandbox with the real update
// tool, reached over its fixed endpoint inside a private /tmp.
#include "daemon_harness.hpp"

#include "ev_common/cyber/certificate.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fstream>
#include <random>
#include <thread>

using namespace ev_e2e;
namespace fs = std::filesystem;

namespace {

const bool g_privateTmp = enterPrivateTmp();
const std::string kEndpoint = "ipc:///tmp/cybersecurity_service.reqresp.api";
const std::string kServer = "Server " + kEndpoint;

#define REQUIRE_PRIVATE_TMP() \
    if (!g_privateTmp) GTEST_SKIP() << "needs a private mount namespace (root)"

std::string hex(const std::string& bytes) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        if (!out.empty()) out += ' ';
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

std::string identity(const std::string& id = "ab") {
    return str(id);
}

struct ListEntry {
    std::uint32_t id;
    std::string name;
    bool builtIn;
    std::string subject;
    std::int32_t notAfter;
};

std::vector<ListEntry> list(RawClient& client) {
    auto reply = client.exchange(identity() + u32(2));
    EXPECT_TRUE(reply.has_value());
    std::vector<ListEntry> entries;
    if (!reply) return entries;
    Reader in{*reply};
    const std::uint32_t count = in.u32();
    for (std::uint32_t i = 0; i < count; ++i) {
        ListEntry e{};
        e.id = in.u32();
        e.name = in.str();
        e.builtIn = in.boolean();
        e.subject = in.str();
        e.notAfter = static_cast<std::int32_t>(in.u32());
        EXPECT_EQ(in.str(), "");
        EXPECT_EQ(in.str(), "");
        entries.push_back(e);
    }
    EXPECT_TRUE(in.atEnd());
    return entries;
}

std::string readText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

}  // namespace

TEST(Daemon, ServesTheFiveOperationsWithTheProtocolsBytesAndTrustListLines) {
    REQUIRE_PRIVATE_TMP();
    Sandbox sandbox;
    Daemon daemon(sandbox);
    ASSERT_TRUE(daemon.waitReady()) << daemon.output();
    RawClient client;

    // The built-ins come first, in the system directory's order, as built-in entries.
    auto entries = list(client);
    ASSERT_EQ(entries.size(), sandbox.builtinNames().size()) << daemon.output();
    for (std::size_t i = 0; i < entries.size(); ++i) {
        EXPECT_EQ(entries[i].id, i + 1);
        EXPECT_TRUE(entries[i].builtIn);
    }
    EXPECT_TRUE(daemon.hasLine("[debug] [ab] operation : get_ca_certificates"));

    // Byte examples: unknown identifier 5, unknown identifier for get.
    EXPECT_EQ(hex(identity() + u32(1) + u32(5)), "02 00 00 00 61 62 01 00 00 00 05 00 00 00");
    EXPECT_EQ(hex(client.exchange(identity() + u32(1) + u32(5)).value_or("none")), "01 00 00 00");
    EXPECT_TRUE(daemon.waitForLine(
        "[error] Error removing certificate id=5 from TrustList. status = unknown_id"));
    EXPECT_EQ(hex(client.exchange(identity() + u32(3) + u32(77)).value_or("none")), "00 00 00 00");
    EXPECT_TRUE(daemon.waitForLine("[error] Error: cannot retrieve certificate of id 77"));

    // Built-ins cannot be removed.
    EXPECT_EQ(hex(client.exchange(identity() + u32(1) + u32(1)).value_or("none")), "02 00 00 00");

    // Add a real CA certificate under a user name.
    const std::string pem = readText(sandbox.spareCertificate());
    const ev_common::Certificate expected(pem);
    auto added = client.exchange(identity() + u32(0) + str(pem) + str("my_ca-1"));
    ASSERT_TRUE(added.has_value());
    ASSERT_EQ(added->size(), 8u);
    Reader addReply{*added};
    EXPECT_EQ(addReply.u32(), 0u) << daemon.output();
    const std::uint32_t id = addReply.u32();
    EXPECT_EQ(id, entries.size() + 1);
    EXPECT_TRUE(daemon.hasLine("[info] Certificate addition in TrustList : id=" +
                               std::to_string(id) + " CN=" + expected.subject().commonName));
    EXPECT_EQ(readText(sandbox.userDir() / "my_ca-1.crt"), pem);
    EXPECT_TRUE(fs::exists(sandbox.systemDir() / "my_ca-1.pem"));

    entries = list(client);
    ASSERT_EQ(entries.size(), sandbox.builtinNames().size() + 1);
    EXPECT_EQ(entries.back().id, id);
    EXPECT_EQ(entries.back().name, "my_ca-1");
    EXPECT_FALSE(entries.back().builtIn);
    EXPECT_EQ(entries.back().subject, expected.subjectText());
    EXPECT_EQ(entries.back().notAfter, static_cast<std::int32_t>(expected.notAfter()));

    // Fetch by identifier and by name: the file's text, length-prefixed.
    EXPECT_EQ(client.exchange(identity() + u32(3) + u32(id)).value_or(""), str(pem));
    EXPECT_EQ(client.exchange(identity() + u32(4) + str("my_ca-1")).value_or(""), str(pem));
    EXPECT_EQ(hex(client.exchange(identity() + u32(4) + str("nobody")).value_or("none")),
              "00 00 00 00");

    // An invalid name and a text that is no certificate are refused; id stays 0.
    EXPECT_EQ(
        hex(client.exchange(identity() + u32(0) + str(pem) + str("../evil")).value_or("none")),
        "02 00 00 00 00 00 00 00");
    EXPECT_EQ(hex(client.exchange(identity() + u32(0) + str("hello") + str("x")).value_or("none")),
              "01 00 00 00 00 00 00 00");
    EXPECT_TRUE(daemon.waitForLine(
        "[error] Error adding certificate CN= in TrustList, status=invalid_cert"));
    EXPECT_FALSE(fs::exists(sandbox.root() / "evil.crt"));

    // Remove it, then once more.
    EXPECT_EQ(hex(client.exchange(identity() + u32(1) + u32(id)).value_or("none")), "00 00 00 00");
    EXPECT_TRUE(daemon.waitForLine("[info] Certificate id=" + std::to_string(id) +
                                   " removed from TrustList"));
    EXPECT_FALSE(fs::exists(sandbox.userDir() / "my_ca-1.crt"));
    EXPECT_FALSE(fs::exists(sandbox.systemDir() / "my_ca-1.pem"));
    EXPECT_EQ(hex(client.exchange(identity() + u32(1) + u32(id)).value_or("none")), "01 00 00 00");

    EXPECT_EQ(daemon.stop(), 0) << daemon.output();
}

TEST(Daemon, AnswersMalformedAndUnknownRequestsWithAnEmptyFrameAndKeepsServing) {
    REQUIRE_PRIVATE_TMP();
    Sandbox sandbox;
    Daemon daemon(sandbox);
    ASSERT_TRUE(daemon.waitReady()) << daemon.output();
    RawClient client;

    const std::vector<std::string> malformed = {
        std::string("\x01\x02", 2),           // shorter than the identity length
        u32(50) + "ab",                       // identity runs past the frame
        identity() + std::string("\x01", 1),  // operation id cut short
        identity() + u32(200),                // unknown operation
        identity() + u32(0xffffffffu),        // negative operation
        identity() + u32(0) + str("pem"),     // add without its name
        identity() + u32(3) + "xy",           // get by id with a short id
    };
    for (const auto& frame : malformed) {
        auto reply = client.exchange(frame, std::chrono::seconds(20));
        ASSERT_TRUE(reply.has_value()) << hex(frame);
        EXPECT_EQ(*reply, "") << hex(frame);
        // The same socket goes on: a ping, then a real request.
        EXPECT_EQ(client.exchange(""), std::optional<std::string>(""));
        EXPECT_EQ(list(client).size(), sandbox.builtinNames().size());
    }
    EXPECT_TRUE(daemon.hasLine("[error] " + kServer + " : deserialization error"));
    EXPECT_TRUE(daemon.hasLine("[error] Unable to retrieve operation id"));
    EXPECT_TRUE(daemon.hasLine("[warning] Unknown operation : 200"));
    EXPECT_TRUE(daemon.hasLine("[warning] Unknown operation : -1"));
    EXPECT_TRUE(
        daemon.hasLine("[error] Unable to retrieve parameters for operation : add_ca_certificate"));
    EXPECT_TRUE(daemon.hasLine(
        "[error] Unable to retrieve parameters for operation : get_ca_certificate_by_id"));
    EXPECT_EQ(daemon.stop(), 0);
}

TEST(Daemon, KeepsUserCertificatesAcrossARestartAsUserEntries) {
    REQUIRE_PRIVATE_TMP();
    Sandbox sandbox;
    const std::string first = readText(sandbox.spareCertificate(0));
    const std::string second = readText(sandbox.spareCertificate(1));
    {
        Daemon daemon(sandbox);
        ASSERT_TRUE(daemon.waitReady()) << daemon.output();
        RawClient client;
        EXPECT_EQ(
            Reader{client.exchange(identity() + u32(0) + str(first) + str("alpha")).value_or("")}
                .u32(),
            0u);
        EXPECT_EQ(
            Reader{client.exchange(identity() + u32(0) + str(second) + str("beta")).value_or("")}
                .u32(),
            0u);
        // Replacing alpha gives it a new identifier.
        auto replaced = client.exchange(identity() + u32(0) + str(second) + str("alpha"));
        ASSERT_TRUE(replaced);
        Reader in{*replaced};
        EXPECT_EQ(in.u32(), 0u);
        EXPECT_EQ(in.u32(), sandbox.builtinNames().size() + 3);
        EXPECT_EQ(daemon.stop(), 0);
    }
    Daemon restarted(sandbox);
    ASSERT_TRUE(restarted.waitReady()) << restarted.output();
    RawClient client;
    auto entries = list(client);
    ASSERT_EQ(entries.size(), sandbox.builtinNames().size() + 2);
    std::vector<std::string> users;
    for (const auto& e : entries) {
        if (!e.builtIn) users.push_back(e.name);
        EXPECT_LE(e.id, entries.size());
    }
    std::sort(users.begin(), users.end());
    EXPECT_EQ(users, (std::vector<std::string>{"alpha", "beta"}));
    EXPECT_EQ(client.exchange(identity() + u32(4) + str("alpha")).value_or(""), str(second));
    EXPECT_TRUE(restarted.hasLine("[info] [ca-store] Loaded " + std::to_string(entries.size()) +
                                  " CA certificates : built_in = " +
                                  std::to_string(sandbox.builtinNames().size()) + ", user = 2"));
    EXPECT_EQ(restarted.stop(), 0);
}

TEST(Daemon, StopsPromptlyOnSigtermWhileAClientWaits) {
    REQUIRE_PRIVATE_TMP();
    Sandbox sandbox;
    Daemon daemon(sandbox);
    ASSERT_TRUE(daemon.waitReady()) << daemon.output();
    RawClient client;
    EXPECT_EQ(client.exchange(""), std::optional<std::string>(""));
    // A second client connected but idle must not hold the shutdown up.
    RawClient idle;
    const auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(daemon.stop(std::chrono::seconds(20)), 0) << daemon.output();
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(10));
    const std::string out = daemon.output();
    const auto stopping = out.find("[info] Stopping...");
    const auto command = out.find("[info] " + kServer + " - TERMINATE : stop command received");
    const auto exiting = out.find("[info] Exiting");
    EXPECT_TRUE(stopping != std::string::npos && stopping < command && command < exiting) << out;
    // Nobody answers any more.
    EXPECT_FALSE(client.exchange("", std::chrono::milliseconds(300)).has_value());
}

// A stop signal is never lost, whenever it comes during the start: before
// the handlers exist it ends the process by default (128 + SIGTERM); from
// then on the daemon carries it out and exits with 0. Half of the starts
// are signalled at a random moment of the whole start, the other half right
// after the first answer, before the command loop may run.
TEST(Daemon, EndsOnSigtermSentAtAnyMomentOfItsStart) {
    REQUIRE_PRIVATE_TMP();
    Sandbox sandbox;
    const auto started = std::chrono::steady_clock::now();
    {
        Daemon first(sandbox);
        ASSERT_TRUE(first.waitReady()) << first.output();
        ASSERT_EQ(first.stop(), 0);
    }
    const auto startUp = std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::steady_clock::now() - started);
    std::mt19937 random(std::random_device{}());
    std::uniform_int_distribution<long> moment(0, startUp.count());
    for (int start = 0; start < 30; ++start) {
        SCOPED_TRACE("start " + std::to_string(start));
        Daemon daemon(sandbox);
        if (start % 2 == 0) {
            std::this_thread::sleep_for(std::chrono::microseconds(moment(random)));
        } else {
            RawClient client;
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
            while (!client.exchange("", std::chrono::milliseconds(20)) &&
                   std::chrono::steady_clock::now() < deadline) {
            }
        }
        const auto code = daemon.stop(std::chrono::seconds(30));
        ASSERT_TRUE(code.has_value()) << daemon.output();
        EXPECT_TRUE(*code == 0 || *code == 128 + SIGTERM) << *code << "\n" << daemon.output();
        if (*code == 0 && daemon.hasLine("[info] Starting")) {
            EXPECT_TRUE(daemon.hasLine("[info] Exiting")) << daemon.output();
        }
    }
}

TEST(Daemon, PassesTheConfiguredToolAndItsArgumentsBeforeTheFreshArgument) {
    REQUIRE_PRIVATE_TMP();
    SandboxOptions options;
    ev_test::TempDir scripts;
    const fs::path recorder = scripts / "record.sh";
    const fs::path record = scripts / "calls";
    ev_test::writeFile(recorder, "#!/bin/sh\necho \"$@\" >> " + record.string() + "\nexit 0\n");
    fs::permissions(recorder, fs::perms::owner_all);
    options.updateCommand = recorder.string();
    Sandbox sandbox(options);
    Daemon daemon(sandbox);
    ASSERT_TRUE(daemon.waitReady()) << daemon.output();
    EXPECT_EQ(daemon.stop(), 0);
    const std::string calls = ev_test::readFile(record);
    EXPECT_EQ(calls.rfind("--certsconf ", 0), 0u) << calls;
    EXPECT_NE(calls.find("--hooksdir " + sandbox.hooksDir().string() + " --fresh\n"),
              std::string::npos)
        << calls;
}

TEST(Daemon, StartUpFailuresExitWithOneAndSayWhy) {
    REQUIRE_PRIVATE_TMP();
    {
        Sandbox sandbox;
        Daemon daemon(sandbox, {"--no-systemd", "--no-log-ts", "-w", sandbox.workDir().string()});
        EXPECT_EQ(daemon.wait(), 1);
        EXPECT_TRUE(daemon.hasLine("[warning] No configuration description file provided"));
        EXPECT_TRUE(
            daemon.hasLine("[error] [cybersecurity_service] Cannot get configuration of service"))
            << daemon.output();
        EXPECT_TRUE(daemon.hasLine("[critical] Unable to initialize service"));
    }
    {
        Sandbox sandbox;
        sandbox.writeDescription(
            R"([{"name": "builtin_ca_certs_path", "type": "string", "default": "/x"},
                {"name": "user_ca_certs_path", "type": "int", "default": 3}])");
        Daemon daemon(sandbox);
        EXPECT_EQ(daemon.wait(), 1);
        EXPECT_TRUE(
            daemon.hasLine("[error] [cybersecurity_service] Cannot get configuration of service"))
            << daemon.output();
    }
    {
        Sandbox sandbox;
        const fs::path orphan = sandbox.root() / "missing" / "user";
        auto parameters = nlohmann::json::parse(sandbox.defaultParameters());
        parameters[1]["default"] = orphan.string();
        sandbox.writeDescription(parameters.dump());
        Daemon daemon(sandbox);
        EXPECT_EQ(daemon.wait(), 1);
        EXPECT_TRUE(daemon.hasLine("[warning] Create User CA certificate store on path " +
                                   orphan.string()));
        EXPECT_TRUE(
            daemon.hasLine("[error] Cannot create user CA certificate store directory, error = No "
                           "such file or directory"))
            << daemon.output();
        EXPECT_TRUE(daemon.hasLine("[critical] Unable to initialize service"));
    }
    {
        SandboxOptions options;
        options.updateCommand = "/bin/false";
        Sandbox sandbox(options);
        Daemon daemon(sandbox);
        EXPECT_EQ(daemon.wait(), 1);
        EXPECT_TRUE(daemon.hasLine("[error] [ca-store] Update certificate command error => 1"))
            << daemon.output();
        EXPECT_TRUE(daemon.hasLine("[critical] Unable to initialize service"));
    }
}
