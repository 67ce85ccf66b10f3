// The daemon under hostile input: thousands of random and malformed messages,
// single and multipart, some above the size limit, sent in batches to the real
// binary. After every batch it must still answer a ping, it must answer every
// message it accepted with exactly one reply, and systemd must keep hearing
// from it. No text of a client or of a certificate may write a line of its own.
#include "daemon_harness.hpp"
#include "test_pki.hpp"

#include <gtest/gtest.h>
#include <openssl/objects.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <zmq.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <random>
#include <sstream>
#include <thread>
#include <vector>

using namespace ev_e2e;
using std::chrono::milliseconds;
using std::chrono::seconds;
using std::chrono::steady_clock;

namespace {

const bool g_privateTmp = enterPrivateTmp();
const std::string kEndpoint = "ipc:///tmp/cybersecurity_service.reqresp.api";
const std::string kServer = "Server " + kEndpoint;
constexpr std::size_t kLimit = 1024 * 1024;  // the daemon's largest accepted frame

using Message = std::vector<std::string>;

// Random messages of every kind the endpoint may meet. Seeded, so that a
// failure can be replayed.
class Generator {
public:
    explicit Generator(std::uint32_t seed) : random_(seed) {}

    std::size_t below(std::size_t n) {
        return std::uniform_int_distribution<std::size_t>(0, n - 1)(random_);
    }

    std::string bytes(std::size_t size) {
        std::string out(size, '\0');
        for (auto& c : out) c = static_cast<char>(below(256));
        return out;
    }

    // One frame: random bytes, a random operation, a well-formed request with
    // random parameters, or a request cut short.
    std::string frame() {
        const std::string id = str(bytes(below(12)));
        switch (below(6)) {
            case 0:
                return bytes(below(48));
            case 1:
                return id + u32(static_cast<std::uint32_t>(random_())) + bytes(below(32));
            case 2:
                return wellFormed(id);
            case 3: {
                std::string cut = wellFormed(id);
                return cut.substr(0, below(cut.size() + 1));
            }
            case 4:
                // A length prefix that promises far more than follows.
                return u32(static_cast<std::uint32_t>(random_())) + bytes(below(16));
            default:
                return bytes(1024 + below(64 * 1024));
        }
    }

    Message message() {
        if (below(5) != 0) return {frame()};
        Message frames(2 + (below(8) == 0 ? below(40) : below(5)));
        for (auto& f : frames) f = below(4) == 0 ? std::string() : frame();
        return frames;
    }

    std::string oversize() { return bytes(kLimit + 1 + below(64 * 1024)); }

private:
    std::string wellFormed(const std::string& id) {
        switch (below(7)) {
            case 0:  // text that is no certificate, under a name that may be valid
                return id + u32(0) + str("-----BEGIN CERTIFICATE-----\n" + bytes(below(200))) +
                       str(below(2) == 0 ? "name_" + std::to_string(below(100)) : bytes(below(20)));
            case 1:
                return id + u32(1) + u32(static_cast<std::uint32_t>(random_()));
            case 2:
                return id + u32(2);
            case 3:
                return id + u32(3) + u32(static_cast<std::uint32_t>(below(20)));
            case 5:
                return id + u32(5);
            case 6: {
                static const char* const algorithms[] = {"SHA256", "sha384", "SHA512", "MD5", ""};
                return id + u32(6) + str(algorithms[below(5)]) + str(bytes(below(130))) +
                       str(bytes(below(130))) + str(bytes(below(42)));
            }
            default:
                return id + u32(4) + str(bytes(below(300)));
        }
    }

    std::mt19937 random_;
};

// REQ sockets on a context of the test's own; every exchange is bounded.
class Client {
public:
    Client() : context_(zmq_ctx_new()) { open(); }
    ~Client() {
        zmq_close(socket_);
        zmq_ctx_term(context_);
    }

    std::optional<std::string> exchange(const Message& frames, milliseconds timeout = seconds(20)) {
        const int ms = static_cast<int>(timeout.count());
        zmq_setsockopt(socket_, ZMQ_RCVTIMEO, &ms, sizeof ms);
        for (std::size_t i = 0; i < frames.size(); ++i) {
            const int more = i + 1 < frames.size() ? ZMQ_SNDMORE : 0;
            if (zmq_send(socket_, frames[i].data(), frames[i].size(), more) < 0) {
                open();
                return std::nullopt;
            }
        }
        zmq_msg_t reply;
        zmq_msg_init(&reply);
        std::optional<std::string> out;
        if (zmq_msg_recv(&reply, socket_, 0) >= 0) {
            out.emplace(static_cast<const char*>(zmq_msg_data(&reply)), zmq_msg_size(&reply));
        } else {
            open();
        }
        zmq_msg_close(&reply);
        return out;
    }

    // Sends from a socket of its own and walks away: the transport drops the
    // connection of a client above the limit, so no reply ever comes.
    void sendAndLeave(const std::string& frame) {
        void* socket = zmq_socket(context_, ZMQ_REQ);
        const int linger = 2000;  // time to hand the frame over after close
        zmq_setsockopt(socket, ZMQ_LINGER, &linger, sizeof linger);
        zmq_connect(socket, kEndpoint.c_str());
        zmq_send(socket, frame.data(), frame.size(), 0);
        zmq_close(socket);
    }

private:
    void open() {
        if (socket_ != nullptr) zmq_close(socket_);
        socket_ = zmq_socket(context_, ZMQ_REQ);
        const int linger = 0;
        zmq_setsockopt(socket_, ZMQ_LINGER, &linger, sizeof linger);
        zmq_connect(socket_, kEndpoint.c_str());
    }

    void* context_;
    void* socket_ = nullptr;
};

}  // namespace

TEST(HostileInput, TwentyThousandRandomMessagesLeaveTheDaemonServingAndItsWatchdogFed) {
    if (!g_privateTmp) GTEST_SKIP() << "needs a private mount namespace (root)";
    Sandbox sandbox;
    NotifySocket systemd((sandbox.root() / "notify").string());
    auto arguments = sandbox.daemonArguments();
    arguments.erase(arguments.begin());  // systemd is there this time
    ASSERT_EQ(arguments.size() + 1, sandbox.daemonArguments().size());
    Daemon daemon(sandbox, arguments, {"NOTIFY_SOCKET=" + systemd.path(), "WATCHDOG_USEC=1000000"});
    ASSERT_TRUE(daemon.waitReady()) << daemon.output();

    const std::uint32_t seed = std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    Generator generate(seed);
    Client client;
    constexpr int kBatches = 40;
    constexpr int kPerBatch = 500;
    std::size_t multipart = 0;
    std::size_t oversize = 0;
    for (int batch = 0; batch < kBatches; ++batch) {
        for (int i = 0; i < kPerBatch; ++i) {
            if (generate.below(200) == 0) {
                client.sendAndLeave(generate.oversize());
                ++oversize;
                continue;
            }
            const Message message = generate.message();
            const auto reply = client.exchange(message);
            ASSERT_TRUE(reply.has_value()) << "batch " << batch << ", message " << i;
            if (message.size() > 1) {
                ++multipart;
                EXPECT_EQ(*reply, "");
            }
        }
        ASSERT_EQ(client.exchange({""}, seconds(10)), std::optional<std::string>(""))
            << "no answer to the ping after batch " << batch;
    }
    EXPECT_GT(multipart, 1000u);
    EXPECT_GT(oversize, 0u);

    // Still serving the store as it was.
    const auto listing = client.exchange({str("ab") + u32(2)});
    ASSERT_TRUE(listing.has_value());
    Reader in{*listing};
    EXPECT_EQ(in.u32(), sandbox.builtinNames().size());

    const int refreshes = systemd.refreshes();
    EXPECT_EQ(daemon.stop(), 0) << daemon.output().substr(0, 4000);
    const std::string out = daemon.output();
    EXPECT_EQ(out.find(kServer + ": exception in receiving thread"), std::string::npos);
    EXPECT_EQ(out.find(kServer + ": endpoint reopened"), std::string::npos);
    EXPECT_EQ(out.find("Systemd watchdog refresh suspended"), std::string::npos);
    std::size_t refused = 0;
    for (auto at = out.find(" frames refused\n"); at != std::string::npos;
         at = out.find(" frames refused\n", at + 1)) {
        ++refused;
    }
    EXPECT_EQ(refused, multipart);
    // A refresh every 500 ms all along.
    EXPECT_GT(refreshes, 0);
    EXPECT_LT(systemd.longestGap(), seconds(5));
}

TEST(HostileInput, NoTextOfAClientOrACertificateWritesALineOfItsOwn) {
    if (!g_privateTmp) GTEST_SKIP() << "needs a private mount namespace (root)";
    SandboxOptions options;
    options.domains = {"csms"};
    Sandbox sandbox(options);
    Daemon daemon(sandbox);
    ASSERT_TRUE(daemon.waitReady()) << daemon.output();

    // Each piece would start a line that passes for a change carried out by
    // root (a common name has at most 64 characters).
    const std::string forged =
        "x\n[audit] operation=add name=forged id=1 sha256=- uid=0 gid=0 pid=1 result=success"
        "\r\n[cybersecurity_service] [info] [audit] operation=remove name=forged uid=0 "
        "result=success\x1b[2K\xc2\x85[audit] operation=add uid=0 result=success\xff" +
        std::string(1, '\0') + "end";
    const std::string shownForged =
        "x\\n[audit] operation=add name=forged id=1 sha256=- uid=0 gid=0 pid=1 result=success"
        "\\r\\n[cybersecurity_service] [info] [audit] operation=remove name=forged uid=0 "
        "result=success\\x1b[2K\\xc2\\x85[audit] operation=add uid=0 result=success\\xff\\x00end";
    const std::string evilName = "Evil\n[audit] operation=add uid=0 result=success";
    const std::string shownEvilName = "Evil\\n[audit] operation=add uid=0 result=success";
    const x509_test::KeyPtr key = x509_test::ecKey();
    x509_test::CertProfile profile;
    profile.subject = {{"CN", evilName}};
    profile.extensions = {{NID_basic_constraints, "critical,CA:TRUE"},
                          {NID_key_usage, "critical,keyCertSign,cRLSign"}};
    profile.subjectKey = key.get();
    const std::string evil = x509_test::toPem(x509_test::makeCertificate(profile).get());
    const std::string spare = ev_test::readFile(sandbox.spareCertificate());

    struct Request {
        const char* what;
        std::string frame;
        std::size_t audited;  // audit lines the request writes
    };
    const std::vector<Request> requests = {
        {"name of an addition", str("ab") + u32(0) + str(spare) + str(forged), 1},
        {"name of a lookup", str("ab") + u32(4) + str(forged), 0},
        {"hash algorithm", str("ab") + u32(6) + str(forged) + str("a") + str("b") + str("1"), 1},
        {"hash fields",
         str("ab") + u32(6) + str("SHA256") + str(forged) + str(forged) + str(forged), 1},
        {"domain", str("ab") + u32(7) + str(forged) + str(evil) + str("root"), 1},
        {"common name", str("ab") + u32(0) + str(evil) + str("evil"), 1},
        {"common name in a domain", str("ab") + u32(7) + str("csms") + str(evil) + str("evil"), 1},
    };
    RawClient client;
    std::size_t audited = 0;
    for (const auto& request : requests) {
        EXPECT_TRUE(client.exchange(request.frame).has_value()) << request.what;
        audited += request.audited;
    }
    ASSERT_EQ(client.exchange(""), std::optional<std::string>("")) << daemon.output();
    // The lines quote the text, escaped, and go on to their own end.
    EXPECT_TRUE(daemon.hasLine("[warning] Unknown trust domain : " + shownForged))
        << daemon.output();
    EXPECT_TRUE(
        daemon.hasLine("[error] Error: cannot retrieve certificate of name " + shownForged));
    EXPECT_TRUE(
        daemon.hasLine(" serial_number=" + shownForged + " from TrustList. status = unknown_id"));
    EXPECT_TRUE(daemon.hasLine("[warning] [ca-store] Unknown hash algorithm : " + shownForged));
    std::size_t commonNames = 0;
    std::istringstream lines(daemon.output());
    for (std::string line; std::getline(lines, line);) {
        const std::string end = " CN=" + shownEvilName;
        if (line.size() > end.size() &&
            line.compare(line.size() - end.size(), end.size(), end) == 0)
            ++commonNames;
    }
    EXPECT_EQ(commonNames, 2u) << "one TrustList line each for the system store and csms";

    // Every line that reads as an audit line, with or without the daemon's
    // own prefix, is one the daemon wrote for a request.
    std::size_t auditLines = 0;
    std::istringstream out(daemon.output());
    for (std::string line; std::getline(out, line);) {
        std::string text = line;
        if (text.rfind("[cybersecurity_service] [", 0) == 0) {
            text = text.substr(text.find("] ", text.find("] ") + 2) + 2);
        }
        if (text.rfind("[audit]", 0) != 0) continue;
        ++auditLines;
        EXPECT_EQ(line.rfind("[cybersecurity_service] [", 0), 0u) << line;
    }
    EXPECT_EQ(auditLines, audited) << daemon.output();
    EXPECT_EQ(daemon.stop(), 0);
}
