// End-to-end test harness: a sandbox the real update tool works in (built-in
// CA certificates, a user folder, a system folder, an empty hooks folder),
// the daemon binary of the build tree started on it as a child process, and a
// raw request/response client for byte-level exchanges.
#pragma once

#include "child_process.hpp"
#include "temp_dir.hpp"

#include <atomic>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace ev_e2e {

// Moves this process into a private mount namespace with a fresh tmpfs on
// /tmp and on /run, so the daemon's fixed endpoint and the lock beside it
// cannot meet another daemon's. Call it
// before any thread starts (e.g. from a static initialiser of the test file);
// false when not permitted (not root, no namespaces): tests then skip.
bool enterPrivateTmp();

std::filesystem::path daemonBinary();

// Real CA certificate files shipped by the system (sorted, *.crt).
std::vector<std::filesystem::path> systemCaFiles();

struct SandboxOptions {
    // How many of the system's CA certificates become built-ins (the first
    // ones in name order); 0 means the machine's whole set and its list.
    std::size_t builtins = 3;
    bool createUserDir = true;
    // Leave the two optional tool parameters out of the description.
    bool declareUpdateTool = true;
    // Program path for "cyber.update_command" (the real tool by default).
    std::string updateCommand = "/usr/sbin/update-ca-certificates";
    // "cyber.domains"; the domains' folder is always the sandbox's.
    std::vector<std::string> domains;
};

class Sandbox {
public:
    explicit Sandbox(SandboxOptions options = {});

    const std::filesystem::path& root() const { return dir_.path(); }
    std::filesystem::path workDir() const { return root() / "work"; }
    std::filesystem::path systemDir() const { return root() / "etc-certs"; }
    std::filesystem::path userDir() const { return root() / "user"; }
    std::filesystem::path hooksDir() const { return root() / "hooks"; }
    // "cyber.domains_path": the folders and bundles of the trust domains.
    std::filesystem::path domainsDir() const { return root() / "domains"; }
    // The durable state and journal of the sandbox's daemon.
    std::filesystem::path stateDatabase() const { return root() / "state" / "state.db"; }
    std::filesystem::path descriptionFile() const {
        return root() / "cybersecurity_service.desc.json";
    }
    std::filesystem::path configurationFile() const {
        return workDir() / "cybersecurity_service.json";
    }
    // Names (file stems) of the built-in certificates, in name order.
    const std::vector<std::string>& builtinNames() const { return builtinNames_; }
    // A real CA certificate that is not among the built-ins, for additions.
    std::filesystem::path spareCertificate(std::size_t index = 0) const;
    // Rewrites the description with the given "cyber" parameters (JSON array text).
    void writeDescription(const std::string& parametersJson) const;
    // The "cyber" parameter definitions this sandbox uses by default.
    std::string defaultParameters() const;
    // Options for the daemon: no systemd, no timestamps, debug level, the
    // work folder and the description.
    std::vector<std::string> daemonArguments() const;

private:
    ev_test::TempDir dir_;
    SandboxOptions options_;
    std::filesystem::path certsConf_;
    std::filesystem::path certsDir_;
    std::vector<std::string> builtinNames_;
    std::vector<std::filesystem::path> spares_;
};

class Daemon {
public:
    explicit Daemon(const Sandbox& sandbox, std::vector<std::string> arguments = {},
                    const std::vector<std::string>& env = {});
    // Waits until the command loop is about to run ("Starting" logged; the
    // endpoint is bound before that) or the daemon ended.
    bool waitReady(std::chrono::milliseconds timeout = std::chrono::seconds(120));
    // SIGTERM, then the exit code (nothing when it did not end in time).
    std::optional<int> stop(std::chrono::milliseconds timeout = std::chrono::seconds(30));
    std::optional<int> wait(std::chrono::milliseconds timeout = std::chrono::seconds(120));
    std::string output() const { return process_.stdoutText(); }
    // True once a log line ending in `text` was written.
    bool hasLine(const std::string& text) const;
    bool waitForLine(const std::string& text,
                     std::chrono::milliseconds timeout = std::chrono::seconds(30)) const;
    ev_test::ChildProcess& process() { return process_; }

private:
    ev_test::ChildProcess process_;
};

// One REQ socket on an endpoint; every call sends one frame and waits for one
// reply. After a time-out the socket is replaced (a REQ socket that lost its
// reply cannot send again).
class RawClient {
public:
    explicit RawClient(
        const std::string& endpoint = "ipc:///tmp/cybersecurity_service.reqresp.api");
    ~RawClient();
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    std::optional<std::string> exchange(
        const std::string& frame, std::chrono::milliseconds timeout = std::chrono::seconds(60));

private:
    void open();
    std::string endpoint_;
    void* context_ = nullptr;
    void* socket_ = nullptr;
};

// The receiving end of NOTIFY_SOCKET, as systemd has it: records when each
// "WATCHDOG=1" came, on a thread of its own.
class NotifySocket {
public:
    explicit NotifySocket(const std::string& path);
    ~NotifySocket();
    NotifySocket(const NotifySocket&) = delete;
    NotifySocket& operator=(const NotifySocket&) = delete;

    const std::string& path() const { return path_; }
    int refreshes() const;
    // The longest time between two refreshes so far.
    std::chrono::milliseconds longestGap() const;
    // When the refreshes came.
    std::vector<std::chrono::steady_clock::time_point> refreshTimes() const;

private:
    std::string path_;
    int fd_;
    std::atomic<bool> done_{false};
    mutable std::mutex mutex_;
    std::vector<std::chrono::steady_clock::time_point> times_;
    std::thread reader_;
};

// Frame building: little-endian integers and length-prefixed strings.
std::string u32(std::uint32_t value);
std::string str(const std::string& value);
// Reading a reply back; throws std::out_of_range when the bytes run out.
struct Reader {
    const std::string& bytes;
    std::size_t position = 0;
    std::uint32_t u32();
    std::string str();
    bool boolean();
    bool atEnd() const { return position == bytes.size(); }
};

}  // namespace ev_e2e
