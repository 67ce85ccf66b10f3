// The service frame as a process: a small daemon built on it is started as a
// child with chosen options and environment, signalled, and read back.
#include "child_process.hpp"
#include "temp_dir.hpp"

#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>
#include <zmq.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <filesystem>
#include <optional>
#include <regex>
#include <sstream>
#include <thread>
#include <vector>

using namespace std::chrono;
using ev_test::ChildProcess;

namespace {

std::string daemonPath() {
    return ev_test::builtProgram("libs/ev-common/tests/service/frame_daemon").string();
}

// No systemd around unless a test sets it up.
const std::vector<std::string> kNoSystemdEnv = {"NOTIFY_SOCKET", "WATCHDOG_USEC", "FRAME_INIT",
                                                "FRAME_START",   "FRAME_STOP",    "FRAME_DATABASE"};

std::vector<std::string> env(std::vector<std::string> extra = {}) {
    std::vector<std::string> all = kNoSystemdEnv;
    all.insert(all.end(), extra.begin(), extra.end());
    return all;
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

long indexOf(const std::vector<std::string>& all, const std::string& line, long from = 0) {
    for (std::size_t i = static_cast<std::size_t>(from); i < all.size(); ++i) {
        if (all[i] == line) return static_cast<long>(i);
    }
    return -1;
}

// Runs the daemon until the command loop is up, then stops it with SIGTERM.
int runAndTerminate(ChildProcess& child) {
    EXPECT_TRUE(child.waitForStdout("Frame service running")) << child.stdoutText();
    child.signal(SIGTERM);
    auto code = child.wait(seconds(20));
    EXPECT_TRUE(code.has_value());
    return code.value_or(-1);
}

const char* kPrefix = "[cybersecurity_service] ";

// The receiving end of NOTIFY_SOCKET, as systemd holds it.
class NotifyListener {
public:
    explicit NotifyListener(const std::filesystem::path& path)
        : path_(path.string()), fd_(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof(address.sun_path), "%s", path_.c_str());
        EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    }
    ~NotifyListener() { ::close(fd_); }
    const std::string& path() const { return path_; }

    // The next message, or nothing when none came within `timeout`.
    std::optional<std::string> next(milliseconds timeout) {
        timeval tv{static_cast<time_t>(timeout.count() / 1000),
                   static_cast<suseconds_t>((timeout.count() % 1000) * 1000)};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
        char buffer[256];
        const ssize_t n = ::recv(fd_, buffer, sizeof(buffer), 0);
        if (n <= 0) return std::nullopt;
        return std::string(buffer, static_cast<std::size_t>(n));
    }
    // Drops whatever is queued.
    void drain() {
        char buffer[256];
        while (::recv(fd_, buffer, sizeof(buffer), MSG_DONTWAIT) > 0) {
        }
    }

private:
    std::string path_;
    int fd_;
};

// A REQ client on its own context; requests carry an empty client identity.
class FrameClient {
public:
    explicit FrameClient(const std::string& endpoint)
        : context_(zmq_ctx_new()), socket_(zmq_socket(context_, ZMQ_REQ)) {
        const int timeout = 20000;
        const int linger = 0;
        zmq_setsockopt(socket_, ZMQ_RCVTIMEO, &timeout, sizeof timeout);
        zmq_setsockopt(socket_, ZMQ_LINGER, &linger, sizeof linger);
        zmq_connect(socket_, endpoint.c_str());
    }
    ~FrameClient() {
        zmq_close(socket_);
        zmq_ctx_term(context_);
    }
    bool send(const std::string& payload) {
        const std::string frame = payload.empty() ? "" : std::string(4, '\0') + payload;
        return zmq_send(socket_, frame.data(), frame.size(), 0) >= 0;
    }
    std::optional<std::string> request(const std::string& payload) {
        if (!send(payload)) return std::nullopt;
        char buffer[64];
        const int n = zmq_recv(socket_, buffer, sizeof buffer, 0);
        if (n < 0) return std::nullopt;
        return std::string(buffer, static_cast<std::size_t>(n));
    }

private:
    void* context_;
    void* socket_;
};

}  // namespace

TEST(ServiceProcess, HelpAndBadOptionsPrintTheUsageAndExitWithOne) {
    ChildProcess help(daemonPath(), {"-l", "1", "-h"}, env());
    ASSERT_EQ(help.wait(), 1);
    auto out = lines(help.stdoutText());
    ASSERT_GE(out.size(), 15u) << help.stdoutText();
    // Only the IPC subsystem lines come before the usage: nothing else is logged.
    EXPECT_NE(out[0].find("Initializing IPC subsystem"), std::string::npos);
    EXPECT_NE(out[1].find("Initializing IPC subsystem"), std::string::npos);
    EXPECT_EQ(out[2], "Usage :");
    EXPECT_EQ(out[3].rfind("frame_daemon [-h] [-l log_level]", 0), 0u) << out[3];
    EXPECT_EQ(out[4], "");
    EXPECT_EQ(out[5], "\t-h\t\t Display this help message");
    EXPECT_EQ(out.size(), 15u);

    ChildProcess bad(daemonPath(), {"--no-systemd", "-w"}, env());
    ASSERT_EQ(bad.wait(), 1);
    out = lines(bad.stdoutText());
    ASSERT_GE(out.size(), 3u);
    EXPECT_EQ(out[2], "Unknown parameter : -w");
    EXPECT_EQ(out[3], "Usage :");
}

TEST(ServiceProcess, TerminationWritesTheShutdownLinesInOrderAndExitsWithZero) {
    ChildProcess child(daemonPath(), {"--no-systemd", "--no-log-ts", "-l", "1"}, env());
    EXPECT_EQ(runAndTerminate(child), 0);
    auto out = lines(child.stdoutText());
    const std::string p = kPrefix;
    EXPECT_EQ(out.at(2), p + "[info] Initializing") << child.stdoutText();
    EXPECT_GE(indexOf(out, p + "[warning] No configuration description file provided"), 0);
    const long received = indexOf(out, p + "[debug] Termination signal received (SIGTERM)");
    const long stopping = indexOf(out, p + "[info] Stopping...");
    const long command = indexOf(out, p + "[debug] Command received : exit");
    const long exiting = indexOf(out, p + "[info] Exiting");
    EXPECT_TRUE(received > 0 && received < stopping && stopping < command && command < exiting)
        << child.stdoutText();
    EXPECT_EQ(exiting, static_cast<long>(out.size()) - 1);
}

TEST(ServiceProcess, DefaultPatternStartsWithTheTimeAndNoStdoutSilencesEverything) {
    ChildProcess stamped(daemonPath(), {"--no-systemd"}, env());
    EXPECT_EQ(runAndTerminate(stamped), 0);
    auto out = lines(stamped.stdoutText());
    const std::regex stampedLine(
        R"(^\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}\] \[cybersecurity_service\] \[info\] Initializing$)");
    ASSERT_GE(out.size(), 3u);
    EXPECT_TRUE(std::regex_match(out[2], stampedLine)) << out[2];

    // Even the critical line of a failed start-up stays unwritten.
    ChildProcess silent(daemonPath(), {"--no-systemd", "--no-stdout"}, env({"FRAME_INIT=fail"}));
    EXPECT_EQ(silent.wait(), 1);
    out = lines(silent.stdoutText());
    EXPECT_EQ(out.size(), 2u) << silent.stdoutText();
}

TEST(ServiceProcess, FailuresDuringStartUpExitWithOne) {
    ChildProcess throws(daemonPath(), {"--no-systemd", "--no-log-ts"}, env({"FRAME_INIT=throw"}));
    EXPECT_EQ(throws.wait(), 1);
    EXPECT_NE(
        throws.stdoutText().find(
            "[error] Service cybersecurity_service - Unexpected error:: specific_init exploded"),
        std::string::npos)
        << throws.stdoutText();

    ChildProcess refuses(daemonPath(), {"--no-systemd", "--no-log-ts"}, env({"FRAME_INIT=fail"}));
    EXPECT_EQ(refuses.wait(), 1);
    EXPECT_NE(refuses.stdoutText().find("[critical] Unable to initialize service"),
              std::string::npos);

    ChildProcess noStart(daemonPath(), {"--no-systemd", "--no-log-ts"}, env({"FRAME_START=fail"}));
    EXPECT_EQ(noStart.wait(), 1);
    EXPECT_NE(noStart.stdoutText().find("[critical] Unable to start service"), std::string::npos);
    EXPECT_EQ(noStart.stdoutText().find("Exiting"), std::string::npos);
}

TEST(ServiceProcess, OutsideSystemdStartUpFailsAtTheWatchdogOrAtTheNotification) {
    ChildProcess noWatchdog(daemonPath(), {"--no-log-ts"}, env());
    EXPECT_EQ(noWatchdog.wait(), 1);
    const std::string first = noWatchdog.stdoutText();
    EXPECT_NE(
        first.find("[error] Systemd watchdog refresh period not found in environment variables"),
        std::string::npos)
        << first;
    EXPECT_EQ(first.find("Frame service initialized"), std::string::npos);

    ChildProcess noSocket(daemonPath(), {"--no-log-ts"}, env({"WATCHDOG_USEC=2000000"}));
    EXPECT_EQ(noSocket.wait(), 1);
    const std::string second = noSocket.stdoutText();
    EXPECT_NE(second.find("[info] Systemd watchdog refresh started : period = 1000ms"),
              std::string::npos)
        << second;
    EXPECT_NE(second.find("[error] Unable to notify startup to systemd : 0"), std::string::npos);
}

TEST(ServiceProcess, NotifiesReadyThenRefreshesTheWatchdogAtHalfTheInterval) {
    ev_test::TempDir dir;
    const std::string socketPath = (dir / "notify").string();
    int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof(address.sun_path), "%s", socketPath.c_str());
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    timeval timeout{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));

    ChildProcess child(daemonPath(), {"--no-log-ts"},
                       env({"NOTIFY_SOCKET=" + socketPath, "WATCHDOG_USEC=600000"}));
    std::vector<std::pair<std::string, steady_clock::time_point>> messages;
    while (messages.size() < 6) {
        char buffer[256];
        const ssize_t n = ::recv(fd, buffer, sizeof(buffer), 0);
        if (n <= 0) break;
        messages.emplace_back(std::string(buffer, static_cast<std::size_t>(n)),
                              steady_clock::now());
    }
    ::close(fd);
    child.signal(SIGTERM);
    EXPECT_EQ(child.wait(seconds(20)), 0) << child.stdoutText();

    ASSERT_EQ(messages.size(), 6u) << child.stdoutText();
    EXPECT_EQ(messages[0].first, "READY=1");
    for (std::size_t i = 1; i < messages.size(); ++i) EXPECT_EQ(messages[i].first, "WATCHDOG=1");
    // Fixed rate at 300 ms: four intervals span about 1200 ms.
    const auto span = duration_cast<milliseconds>(messages[5].second - messages[1].second).count();
    EXPECT_GE(span, 4 * 300 - 100);
    EXPECT_LE(span, 4 * 300 + 400);
    EXPECT_NE(child.stdoutText().find("Systemd watchdog refresh started : period = 300ms"),
              std::string::npos);
}

TEST(ServiceProcess, WritesAMissingConfigurationFileWithDefaultsAndReadsItNextTime) {
    ev_test::TempDir dir;
    ev_test::writeFile(dir / "desc.json", R"({"cyber": {"parameters": [
        {"name": "user_ca_certs_path", "type": "string", "default": "/tmp/user"},
        {"name": "retries", "type": "uint", "default": 3}]}})");
    const std::string desc = (dir / "desc.json").string();
    const std::string file = (dir / "cybersecurity_service.json").string();
    const std::string p = kPrefix;

    ChildProcess first(daemonPath(),
                       {"--no-systemd", "--no-log-ts", "-w", dir.path().string(), "-c", desc},
                       env());
    EXPECT_EQ(runAndTerminate(first), 0);
    auto out = lines(first.stdoutText());
    const long loading = indexOf(out, p + "[info] Loading configuration description => " + desc);
    const long fileLine = indexOf(out, p + "[info] Loading configuration file => " + file);
    const long missing = indexOf(out, p + "[warning] Missing or incorrect configuration file [" +
                                          file + "], file will be updated");
    const long wrote = indexOf(out, p + "[info] Wrote configuration file [" + file + "]");
    EXPECT_TRUE(loading >= 0 && loading < fileLine && fileLine < missing && missing < wrote)
        << first.stdoutText();
    auto written = nlohmann::json::parse(ev_test::readFile(file));
    EXPECT_EQ(written["cyber"]["retries"], 3);
    EXPECT_EQ(written["cyber"]["user_ca_certs_path"], "/tmp/user");

    ev_test::writeFile(file, R"({"cyber": {"retries": 5}})");
    ChildProcess second(daemonPath(),
                        {"--no-systemd", "--no-log-ts", "-w", dir.path().string(), "-c", desc},
                        env());
    EXPECT_EQ(runAndTerminate(second), 0);
    EXPECT_EQ(second.stdoutText().find("Missing or incorrect configuration file"),
              std::string::npos);
    EXPECT_EQ(ev_test::readFile(file), R"({"cyber": {"retries": 5}})");
}

TEST(ServiceProcess, RefusesAMissingDescriptionAndAnUnwritableConfigurationFile) {
    ev_test::TempDir dir;
    const std::string missing = (dir / "none.json").string();
    ChildProcess noDesc(daemonPath(), {"--no-systemd", "--no-log-ts", "-c", missing}, env());
    EXPECT_EQ(noDesc.wait(), 1);
    EXPECT_NE(noDesc.stdoutText().find(
                  "[critical] Unable to open configuration description file => " + missing),
              std::string::npos)
        << noDesc.stdoutText();

    ev_test::writeFile(dir / "desc.json",
                       R"({"g": {"parameters": [{"name": "x", "type": "int"}]}})");
    const std::string unwritable = (dir / "no" / "such" / "dir.json").string();
    ChildProcess noFile(
        daemonPath(),
        {"--no-systemd", "--no-log-ts", "-c", (dir / "desc.json").string(), "-f", unwritable},
        env());
    EXPECT_EQ(noFile.wait(), 1);
    EXPECT_NE(noFile.stdoutText().find("[error] Unable to create configuration file [" +
                                       unwritable + "]"),
              std::string::npos)
        << noFile.stdoutText();
}

TEST(ServiceProcess, RefusesADescriptionOrConfigurationThatIsNotARegularFile) {
    ev_test::TempDir dir;
    const std::string desc = (dir / "desc.json").string();
    ev_test::writeFile(desc, R"({"g": {"parameters": [{"name": "x", "type": "int"}]}})");
    const std::string fifo = (dir / "fifo").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    struct Case {
        std::vector<std::string> options;
        std::string line;
    };
    std::vector<Case> cases = {
        {{"-c", fifo},
         "[critical] Configuration description file [" + fifo + "] is not a regular file"},
        {{"-c", desc, "-f", fifo},
         "[critical] Configuration file [" + fifo + "] is not a regular file"},
        {{"-c", desc, "-f", dir.path().string()},
         "[critical] Configuration file [" + dir.path().string() + "] is not a regular file"},
    };
    // A device node of our own: the rewrite must not replace it.
    const std::string device = (dir / "null").string();
    const bool haveDevice = ::mknod(device.c_str(), S_IFCHR | 0666, ::makedev(1, 3)) == 0;
    if (haveDevice) {
        cases.push_back({{"-c", desc, "-f", device},
                         "[critical] Configuration file [" + device + "] is not a regular file"});
    }
    for (const Case& c : cases) {
        std::vector<std::string> arguments = {"--no-systemd", "--no-log-ts"};
        arguments.insert(arguments.end(), c.options.begin(), c.options.end());
        ChildProcess child(daemonPath(), arguments, env());
        EXPECT_EQ(child.wait(seconds(20)), 1) << c.line;
        EXPECT_NE(child.stdoutText().find(c.line), std::string::npos) << child.stdoutText();
        EXPECT_EQ(child.stdoutText().find("file will be updated"), std::string::npos);
    }
    struct stat st {};
    ASSERT_EQ(::lstat(fifo.c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    if (haveDevice) {
        ASSERT_EQ(::lstat(device.c_str(), &st), 0);
        EXPECT_TRUE(S_ISCHR(st.st_mode));
    }
}

TEST(ServiceProcess, OpensItsDatabaseInWalModeWhenTheServiceUsesOne) {
    ev_test::TempDir dir;
    const std::string path = (dir / "cybersecurity_service.db").string();
    ChildProcess child(daemonPath(),
                       {"--no-systemd", "--no-log-ts", "-l", "1", "-w", dir.path().string()},
                       env({"FRAME_DATABASE=1"}));
    EXPECT_TRUE(child.waitForStdout("Frame service running")) << child.stdoutText();
    const std::string p = kPrefix;
    auto out = lines(child.stdoutText());
    const long opening = indexOf(out, p + "[info] Initializing database access => " + path);
    const long keys = indexOf(out, p + "[debug] Foreign key support enabled in database");
    const long wal = indexOf(out, p + "[debug] WAL mode enabled in database");
    const long busy = indexOf(out, p + "[debug] Busy timeout set in database");
    EXPECT_TRUE(opening >= 0 && opening < keys && keys < wal && wal < busy) << child.stdoutText();

    // Another connection sees the file in WAL mode while the daemon holds it.
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open_v2(path.c_str(), &other, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    sqlite3_stmt* statement = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(other, "PRAGMA journal_mode;", -1, &statement, nullptr),
              SQLITE_OK);
    ASSERT_EQ(sqlite3_step(statement), SQLITE_ROW);
    EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(statement, 0)), "wal");
    sqlite3_finalize(statement);
    sqlite3_close(other);

    child.signal(SIGTERM);
    EXPECT_EQ(child.wait(seconds(20)), 0);

    const std::string unreachable = (dir / "missing" / "x.db").string();
    ChildProcess refused(daemonPath(), {"--no-systemd", "--no-log-ts", "-d", unreachable},
                         env({"FRAME_DATABASE=1"}));
    EXPECT_EQ(refused.wait(), 1);
    EXPECT_NE(
        refused.stdoutText().find("[critical] Unable to open database (error = unable to open "
                                  "database file)"),
        std::string::npos)
        << refused.stdoutText();
}

TEST(ServiceProcess, StopsFeedingTheWatchdogWhileARequestOutlastsTheBoundAndResumesAfterIt) {
    ev_test::TempDir dir;
    NotifyListener systemd(dir / "notify");
    const std::string endpoint = "ipc://" + (dir / "api").string();
    const auto release = dir / "release";
    ChildProcess child(
        daemonPath(), {"--no-log-ts"},
        env({"NOTIFY_SOCKET=" + systemd.path(), "WATCHDOG_USEC=100000", "FRAME_SERVE=" + endpoint,
             "FRAME_BOUND_MS=300", "FRAME_RELEASE=" + release.string()}));
    ASSERT_EQ(systemd.next(seconds(20)), "READY=1") << child.stdoutText();
    ASSERT_EQ(systemd.next(seconds(5)), "WATCHDOG=1");

    std::optional<std::string> reply;
    std::thread client([&] { reply = FrameClient(endpoint).request("block"); });
    const std::string suspended = std::string(kPrefix) +
                                  "[error] Systemd watchdog refresh suspended : Server " +
                                  endpoint + " : busy on one request for ";
    EXPECT_TRUE(child.waitForStdout(suspended)) << child.stdoutText();
    // Everything queued was sent before the line; nothing follows it, although
    // a refresh is due every 50 ms.
    systemd.drain();
    EXPECT_EQ(systemd.next(milliseconds(1000)), std::nullopt);

    ev_test::writeFile(release, "");
    client.join();
    EXPECT_EQ(reply, "done");
    EXPECT_EQ(systemd.next(seconds(5)), "WATCHDOG=1");
    EXPECT_TRUE(child.waitForStdout("[info] Systemd watchdog refresh resumed"));

    child.signal(SIGTERM);
    EXPECT_EQ(child.wait(seconds(20)), 0) << child.stdoutText();
    const std::string out = child.stdoutText();
    EXPECT_NE(out.find("ms (limit 300ms)\n"), std::string::npos) << out;
    const auto first = out.find("Systemd watchdog refresh suspended");
    EXPECT_EQ(out.find("Systemd watchdog refresh suspended", first + 1), std::string::npos);
}

TEST(ServiceProcess, EndsWithOneWhenItsEndpointCannotBeReopened) {
    ev_test::TempDir dir;
    std::filesystem::create_directory(dir / "run");
    const std::string endpoint = "ipc://" + (dir / "run" / "api").string();
    ChildProcess child(daemonPath(), {"--no-systemd", "--no-log-ts"},
                       env({"FRAME_SERVE=" + endpoint}));
    ASSERT_TRUE(child.waitForStdout("Frame service running")) << child.stdoutText();
    FrameClient client(endpoint);
    ASSERT_EQ(client.request(""), "");
    std::filesystem::remove_all(dir / "run");
    EXPECT_TRUE(client.send("fail"));

    EXPECT_EQ(child.wait(seconds(20)), 1) << child.stdoutText();
    auto out = lines(child.stdoutText());
    const std::string p = kPrefix;
    const long lost =
        indexOf(out, p + "[critical] Server " + endpoint + ": endpoint lost, the server gives up");
    const long stopping = indexOf(out, p + "[info] Stopping...", lost);
    const long exiting = indexOf(out, p + "[info] Exiting", lost);
    EXPECT_TRUE(lost > 0 && lost < stopping && stopping < exiting) << child.stdoutText();
}
