#include "daemon_harness.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <zmq.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <stdexcept>
#include <thread>

namespace ev_e2e {

namespace fs = std::filesystem;

namespace {

// The entries of `folder` that this process needs to keep seeing once a fresh
// tmpfs covers it: the one holding the build tree, the working directory and
// the test program (a checkout may well live under /tmp).
std::vector<std::string> entriesInUse(const fs::path& folder) {
    std::vector<fs::path> used = {ev_test::builtProgram(""), fs::current_path()};
    std::error_code ec;
    auto self = fs::read_symlink("/proc/self/exe", ec);
    if (!ec) used.push_back(self);
    std::vector<std::string> names;
    for (const auto& path : used) {
        const auto absolute = fs::weakly_canonical(fs::absolute(path, ec), ec);
        const auto relative = absolute.lexically_relative(folder);
        if (relative.empty() || *relative.begin() == ".." || *relative.begin() == ".") continue;
        const std::string name = relative.begin()->string();
        if (std::find(names.begin(), names.end(), name) == names.end()) names.push_back(name);
    }
    return names;
}

// Covers `folder` with a fresh tmpfs in this (private) mount namespace; what
// is in use there is bound back.
bool coverWithTmpfs(const fs::path& folder, const std::vector<std::string>& keep,
                    const char* options) {
    // Opened before the tmpfs covers it, the old folder stays reachable
    // through this descriptor.
    const int old = ::open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (old < 0) return false;
    bool ok = ::mount("tmpfs", folder.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options) == 0;
    for (const auto& name : keep) {
        if (!ok) break;
        const std::string source = "/proc/self/fd/" + std::to_string(old) + "/" + name;
        const fs::path target = folder / name;
        std::error_code ec;
        if (fs::is_directory(source, ec)) {
            fs::create_directory(target, ec);
        } else {
            ev_test::writeFile(target, "");
        }
        ok = ::mount(source.c_str(), target.c_str(), nullptr, MS_BIND | MS_REC, nullptr) == 0;
    }
    ::close(old);
    return ok;
}

}  // namespace

bool enterPrivateTmp() {
    const auto keepTmp = entriesInUse("/tmp");
    const auto keepRun = entriesInUse("/run");
    if (::unshare(CLONE_NEWNS) != 0) return false;
    if (::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return false;
    // /run too: a daemon running as root keeps the lock of its endpoint there.
    return coverWithTmpfs("/tmp", keepTmp, "mode=1777,size=512m") &&
           coverWithTmpfs("/run", keepRun, "mode=0755,size=16m");
}

fs::path daemonBinary() {
    return ev_test::builtProgram("cybersecurity_service/cybersecurity_service");
}

std::vector<fs::path> systemCaFiles() {
    std::vector<fs::path> files;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator("/usr/share/ca-certificates/mozilla", ec)) {
        if (entry.path().extension() == ".crt") files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    return files;
}

Sandbox::Sandbox(SandboxOptions options) : options_(std::move(options)) {
    fs::create_directories(workDir());
    fs::create_directories(systemDir());
    fs::create_directories(hooksDir());
    if (options_.createUserDir) fs::create_directories(userDir());

    const auto all = systemCaFiles();
    if (all.empty())
        throw std::runtime_error("no system CA certificates (package ca-certificates)");
    if (options_.builtins == 0) {
        certsDir_ = "/usr/share/ca-certificates";
        certsConf_ = "/etc/ca-certificates.conf";
        std::ifstream conf(certsConf_);
        for (std::string line; std::getline(conf, line);) {
            if (line.empty() || line[0] == '#' || line[0] == '!') continue;
            builtinNames_.push_back(fs::path(line).stem().string());
        }
        spares_ = {};
    } else {
        certsDir_ = root() / "share";
        fs::create_directories(certsDir_ / "mozilla");
        certsConf_ = root() / "ca-certificates.conf";
        std::ofstream conf(certsConf_);
        const std::size_t count = std::min(options_.builtins, all.size());
        for (std::size_t i = 0; i < count; ++i) {
            fs::copy_file(all[i], certsDir_ / "mozilla" / all[i].filename());
            conf << "mozilla/" << all[i].filename().string() << "\n";
            builtinNames_.push_back(all[i].stem().string());
        }
        spares_.assign(all.begin() + static_cast<std::ptrdiff_t>(count), all.end());
    }
    if (spares_.empty()) spares_ = {all.back()};
    writeDescription(defaultParameters());
}

fs::path Sandbox::spareCertificate(std::size_t index) const {
    return spares_.at(index);
}

std::string Sandbox::defaultParameters() const {
    nlohmann::json parameters = nlohmann::json::array();
    parameters.push_back(
        {{"name", "builtin_ca_certs_path"}, {"type", "string"}, {"default", systemDir().string()}});
    parameters.push_back(
        {{"name", "user_ca_certs_path"}, {"type", "string"}, {"default", userDir().string()}});
    parameters.push_back(
        {{"name", "domains_path"}, {"type", "string"}, {"default", domainsDir().string()}});
    parameters.push_back(
        {{"name", "state_database"}, {"type", "string"}, {"default", stateDatabase().string()}});
    if (!options_.domains.empty()) {
        parameters.push_back(
            {{"name", "domains"}, {"type", "string[]"}, {"default", options_.domains}});
    }
    if (options_.declareUpdateTool) {
        parameters.push_back(
            {{"name", "update_command"}, {"type", "string"}, {"default", options_.updateCommand}});
        parameters.push_back(
            {{"name", "update_config_path"}, {"type", "string"}, {"default", certsConf_.string()}});
        parameters.push_back(
            {{"name", "update_arguments"},
             {"type", "string[]"},
             {"default",
              {"--certsconf", certsConf_.string(), "--certsdir", certsDir_.string(),
               "--localcertsdir", userDir().string(), "--etccertsdir", systemDir().string(),
               "--hooksdir", hooksDir().string()}}});
    }
    return parameters.dump();
}

void Sandbox::writeDescription(const std::string& parametersJson) const {
    nlohmann::json description;
    description["cyber"]["description"] = "Certificate trust service";
    description["cyber"]["parameters"] = nlohmann::json::parse(parametersJson);
    ev_test::writeFile(descriptionFile(), description.dump(2));
}

std::vector<std::string> Sandbox::daemonArguments() const {
    return {"--no-systemd", "--no-log-ts",      "-l", "1",
            "-w",           workDir().string(), "-c", descriptionFile().string()};
}

Daemon::Daemon(const Sandbox& sandbox, std::vector<std::string> arguments,
               const std::vector<std::string>& env)
    : process_(daemonBinary().string(),
               arguments.empty() ? sandbox.daemonArguments() : std::move(arguments), [&] {
                   std::vector<std::string> all = {"NOTIFY_SOCKET", "WATCHDOG_USEC"};
                   all.insert(all.end(), env.begin(), env.end());
                   return all;
               }()) {}

bool Daemon::waitReady(std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (hasLine("[info] Starting")) return true;
        if (process_.wait(std::chrono::milliseconds(0))) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return hasLine("[info] Starting");
}

std::optional<int> Daemon::stop(std::chrono::milliseconds timeout) {
    process_.signal(SIGTERM);
    return process_.wait(timeout);
}

std::optional<int> Daemon::wait(std::chrono::milliseconds timeout) {
    return process_.wait(timeout);
}

bool Daemon::hasLine(const std::string& text) const {
    const std::string out = output();
    std::size_t start = 0;
    while (start < out.size()) {
        std::size_t end = out.find('\n', start);
        if (end == std::string::npos) end = out.size();
        const std::size_t length = end - start;
        if (length >= text.size() && out.compare(end - text.size(), text.size(), text) == 0)
            return true;
        start = end + 1;
    }
    return false;
}

bool Daemon::waitForLine(const std::string& text, std::chrono::milliseconds timeout) const {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (hasLine(text)) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return hasLine(text);
}

RawClient::RawClient(const std::string& endpoint) : endpoint_(endpoint), context_(zmq_ctx_new()) {
    open();
}

RawClient::~RawClient() {
    if (socket_ != nullptr) zmq_close(socket_);
    zmq_ctx_term(context_);
}

void RawClient::open() {
    if (socket_ != nullptr) zmq_close(socket_);
    socket_ = zmq_socket(context_, ZMQ_REQ);
    int linger = 0;
    zmq_setsockopt(socket_, ZMQ_LINGER, &linger, sizeof(linger));
    zmq_connect(socket_, endpoint_.c_str());
}

std::optional<std::string> RawClient::exchange(const std::string& frame,
                                               std::chrono::milliseconds timeout) {
    int ms = static_cast<int>(timeout.count());
    zmq_setsockopt(socket_, ZMQ_RCVTIMEO, &ms, sizeof(ms));
    if (zmq_send(socket_, frame.data(), frame.size(), 0) < 0) {
        open();
        return std::nullopt;
    }
    zmq_msg_t reply;
    zmq_msg_init(&reply);
    if (zmq_msg_recv(&reply, socket_, 0) < 0) {
        zmq_msg_close(&reply);
        open();
        return std::nullopt;
    }
    std::string bytes(static_cast<const char*>(zmq_msg_data(&reply)), zmq_msg_size(&reply));
    zmq_msg_close(&reply);
    return bytes;
}

std::string u32(std::uint32_t value) {
    std::string out(4, '\0');
    for (int i = 0; i < 4; ++i)
        out[static_cast<std::size_t>(i)] = static_cast<char>((value >> (8 * i)) & 0xff);
    return out;
}

std::string str(const std::string& value) {
    return u32(static_cast<std::uint32_t>(value.size())) + value;
}

std::uint32_t Reader::u32() {
    if (bytes.size() - position < 4 || position > bytes.size()) throw std::out_of_range("u32");
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i) {
        value =
            (value << 8) | static_cast<std::uint8_t>(bytes[position + static_cast<std::size_t>(i)]);
    }
    position += 4;
    return value;
}

std::string Reader::str() {
    const std::uint32_t length = u32();
    if (bytes.size() - position < length) throw std::out_of_range("str");
    std::string value = bytes.substr(position, length);
    position += length;
    return value;
}

bool Reader::boolean() {
    if (position >= bytes.size()) throw std::out_of_range("bool");
    return bytes[position++] != 0;
}

NotifySocket::NotifySocket(const std::string& path)
    : path_(path), fd_(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof(address.sun_path), "%s", path_.c_str());
    EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    timeval tv{0, 100000};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    reader_ = std::thread([this] {
        while (!done_) {
            char buffer[64];
            const ssize_t n = ::recv(fd_, buffer, sizeof(buffer), 0);
            const auto now = std::chrono::steady_clock::now();
            if (n <= 0 || std::string(buffer, static_cast<std::size_t>(n)) != "WATCHDOG=1") {
                continue;
            }
            std::lock_guard<std::mutex> lock(mutex_);
            times_.push_back(now);
        }
    });
}

NotifySocket::~NotifySocket() {
    done_ = true;
    reader_.join();
    ::close(fd_);
}

int NotifySocket::refreshes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<int>(times_.size());
}

std::chrono::milliseconds NotifySocket::longestGap() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::chrono::milliseconds longest{0};
    for (std::size_t i = 1; i < times_.size(); ++i) {
        longest = std::max(longest, std::chrono::duration_cast<std::chrono::milliseconds>(
                                        times_[i] - times_[i - 1]));
    }
    return longest;
}

std::vector<std::chrono::steady_clock::time_point> NotifySocket::refreshTimes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return times_;
}

}  // namespace ev_e2e
