// Load and footprint run of the real daemon: started on a sandbox whose
// built-ins are this machine's whole CA set, inside a private /tmp, with a
// notification socket of our own and the watchdog at 2 s. It measures the
// footprint after start-up, the cost of an idle stretch (CPU ticks, context
// switches, watchdog refreshes), and then drives several concurrent clients
// with mixed requests whose every reply is checked. Exit code 0 only when
// every check held; every figure is printed either way.
//
//   ev_load_bench [--short] [--clients N] [--requests N] [--cycles N]
//                 [--cycling-clients N] [--idle SECONDS] [--daemon PATH] [--emulator PROGRAM]
//                 [--strip TOOL] [--keep-log PATH]
//
// --keep-log writes the daemon's output to PATH; a path below /tmp lands in
// the private /tmp and is gone at exit.
#include "daemon_harness.hpp"

#include "ev_common/cyber/certificate.hpp"

#include <openssl/evp.h>
#include <openssl/x509.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

// Taken before main: no thread may exist when the mount namespace changes.
const bool g_privateTmp = ev_e2e::enterPrivateTmp();

struct Options {
    std::size_t clients = 4;
    std::size_t requests = 2500;
    std::size_t cycles = 3;
    // Clients that run add/remove cycles (each cycle runs the update tool
    // twice, seconds each with the whole CA set); the others only read.
    std::size_t cyclingClients = SIZE_MAX;
    int idleSeconds = 10;
    std::string daemon;
    std::string emulator;
    std::string strip = "strip";
    std::string keepLog;
};

std::vector<std::string> g_failures;
std::mutex g_failuresMutex;

void fail(const std::string& what) {
    std::lock_guard<std::mutex> lock(g_failuresMutex);
    if (g_failures.size() < 50) std::cerr << "FAIL: " << what << "\n";
    g_failures.push_back(what);
}

// --- /proc readings ------------------------------------------------------

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// A "Name:   value kB" line of /proc/PID/status (or a task's status).
long long statusField(const fs::path& status, const std::string& field) {
    std::istringstream in(readFile(status));
    for (std::string line; std::getline(in, line);) {
        if (line.compare(0, field.size() + 1, field + ":") == 0) {
            return std::atoll(line.c_str() + field.size() + 1);
        }
    }
    return -1;
}

// utime + stime of the whole process (all threads), in clock ticks.
long long cpuTicks(pid_t pid) {
    const std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
    // Fields after the command name, which ends with the last ')'.
    std::istringstream in(stat.substr(stat.rfind(')') + 2));
    std::vector<std::string> fields;
    for (std::string f; in >> f;) fields.push_back(f);
    // State is field 3 of the file, utime 14 and stime 15: offsets 0, 11, 12 here.
    if (fields.size() < 13) return -1;
    return std::atoll(fields[11].c_str()) + std::atoll(fields[12].c_str());
}

// Resident kB of the mappings below 4 GiB. Under qemu-user a 32-bit guest
// lives there (its program, libraries, heap and stacks), while the emulator's
// own code, heap and buffer of translated code sit above: this is the share a
// 32-bit board would hold. Natively it is not used.
long long guestRss(pid_t pid) {
    std::istringstream in(readFile("/proc/" + std::to_string(pid) + "/smaps"));
    long long total = 0;
    bool counting = false;
    for (std::string line; std::getline(in, line);) {
        const auto dash = line.find('-');
        const auto space = line.find(' ');
        if (!line.empty() && std::isxdigit(static_cast<unsigned char>(line[0])) && dash < space) {
            counting = std::stoull(line.substr(0, dash), nullptr, 16) < (1ULL << 32);
        } else if (counting && line.compare(0, 4, "Rss:") == 0) {
            total += std::atoll(line.c_str() + 4);
        }
    }
    return total;
}

struct Switches {
    long long voluntary = 0;
    long long involuntary = 0;
};

// Context switches per thread (the process's status shows the main thread only).
std::map<long, Switches> threadSwitches(pid_t pid) {
    std::map<long, Switches> result;
    std::error_code ec;
    for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec)) {
        Switches s;
        s.voluntary = statusField(task.path() / "status", "voluntary_ctxt_switches");
        s.involuntary = statusField(task.path() / "status", "nonvoluntary_ctxt_switches");
        result[std::atol(task.path().filename().c_str())] = s;
    }
    return result;
}

std::string threadName(pid_t pid, long tid) {
    std::string name =
        readFile("/proc/" + std::to_string(pid) + "/task/" + std::to_string(tid) + "/comm");
    while (!name.empty() && name.back() == '\n') name.pop_back();
    return name;
}

// The child runner takes a path, not a name to look up.
std::string findProgram(const std::string& name) {
    if (name.find('/') != std::string::npos) return name;
    const char* path = std::getenv("PATH");
    std::istringstream dirs(path != nullptr ? path : "/usr/bin:/bin");
    for (std::string dir; std::getline(dirs, dir, ':');) {
        const fs::path candidate = fs::path(dir) / name;
        if (::access(candidate.c_str(), X_OK) == 0) return candidate.string();
    }
    return name;
}

// --- notification socket --------------------------------------------------

// The notification socket systemd would own. A reader thread empties it at
// once, as systemd does: a datagram socket holds only a few unread messages
// (net.unix.max_dgram_qlen) and the daemon's sd_notify then blocks.
class NotifySocket {
public:
    explicit NotifySocket(const fs::path& path) : path_(path) {
        fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof(address.sun_path), "%s", path.c_str());
        if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
            throw std::runtime_error("cannot bind the notification socket " + path.string());
        }
        timeval timeout{0, 100000};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
        reader_ = std::thread([this] {
            char buffer[4096];
            while (!stopping_) {
                const ssize_t n = ::recv(fd_, buffer, sizeof(buffer), 0);
                if (n < 0) continue;
                std::lock_guard<std::mutex> lock(mutex_);
                messages_.emplace_back(buffer, static_cast<std::size_t>(n));
            }
        });
    }
    ~NotifySocket() {
        stopping_ = true;
        reader_.join();
        ::close(fd_);
        std::error_code ec;
        fs::remove(path_, ec);
    }
    NotifySocket(const NotifySocket&) = delete;
    NotifySocket& operator=(const NotifySocket&) = delete;

    // Every message that arrived since the last call.
    std::vector<std::string> drain() {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<std::string> messages;
        messages.swap(messages_);
        return messages;
    }

private:
    fs::path path_;
    int fd_ = -1;
    std::atomic<bool> stopping_{false};
    std::mutex mutex_;
    std::vector<std::string> messages_;
    std::thread reader_;
};

std::size_t countMessages(const std::vector<std::string>& messages, const std::string& text) {
    return static_cast<std::size_t>(
        std::count_if(messages.begin(), messages.end(),
                      [&](const std::string& m) { return m.find(text) != std::string::npos; }));
}

// --- certificates for the add/remove cycles ------------------------------

struct KeyFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct RequestFree {
    void operator()(X509_REQ* request) const { X509_REQ_free(request); }
};

// A fresh self-issued CA certificate, so that no cycle meets a built-in.
std::string makeCertificatePem(const std::string& commonName) {
    std::unique_ptr<EVP_PKEY, KeyFree> key(EVP_EC_gen("P-256"));
    std::unique_ptr<X509_REQ, RequestFree> request(X509_REQ_new());
    if (!key || !request) throw std::runtime_error("libcrypto: no key or request");
    X509_NAME* name = X509_REQ_get_subject_name(request.get());
    X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("Load bench"), -1, -1, 0);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(commonName.c_str()), -1, -1,
                               0);
    X509_REQ_set_pubkey(request.get(), key.get());
    const auto certificate = ev_common::Certificate::issue(
        request.get(), nullptr, key.get(), ev_common::DigestAlgorithm::sha256, 3650);
    if (!certificate.valid())
        throw std::runtime_error("cannot issue a certificate for " + commonName);
    return certificate.text();
}

// --- protocol ---------------------------------------------------------------

struct Entry {
    std::uint32_t id = 0;
    std::string name;
    bool builtIn = false;
    std::string subject;
    std::int32_t notAfter = 0;
};

std::optional<std::vector<Entry>> decodeList(const std::string& reply) {
    try {
        ev_e2e::Reader in{reply};
        const std::uint32_t count = in.u32();
        std::vector<Entry> entries;
        for (std::uint32_t i = 0; i < count; ++i) {
            Entry e;
            e.id = in.u32();
            e.name = in.str();
            e.builtIn = in.boolean();
            e.subject = in.str();
            e.notAfter = static_cast<std::int32_t>(in.u32());
            if (!in.str().empty() || !in.str().empty()) return std::nullopt;
            entries.push_back(std::move(e));
        }
        if (!in.atEnd()) return std::nullopt;
        return entries;
    } catch (const std::out_of_range&) {
        return std::nullopt;
    }
}

std::optional<std::string> decodeText(const std::string& reply) {
    try {
        ev_e2e::Reader in{reply};
        std::string text = in.str();
        if (!in.atEnd()) return std::nullopt;
        return text;
    } catch (const std::out_of_range&) {
        return std::nullopt;
    }
}

std::optional<std::pair<std::int32_t, std::uint32_t>> decodeAdd(const std::string& reply) {
    if (reply.size() != 8) return std::nullopt;
    ev_e2e::Reader in{reply};
    const auto status = static_cast<std::int32_t>(in.u32());
    return std::make_pair(status, in.u32());
}

std::optional<std::int32_t> decodeStatus(const std::string& reply) {
    if (reply.size() != 4) return std::nullopt;
    ev_e2e::Reader in{reply};
    return static_cast<std::int32_t>(in.u32());
}

struct Reference {
    std::vector<Entry> builtins;                // in list order
    std::map<std::uint32_t, std::string> text;  // built-in id -> PEM text
};

// --- one client ---------------------------------------------------------------

enum Op { kList, kById, kByName, kPing, kRefusal, kCycle, kOpCount };
const char* const kOpNames[kOpCount] = {"list", "get by id", "get by name",
                                        "ping", "refusal",   "add/remove cycle"};

struct ClientStats {
    std::size_t requests = 0;
    std::size_t ops[kOpCount] = {};
    // Refusals that the daemon logs at error level, by log text.
    std::map<std::string, std::size_t> refusals;
    // Refusals that the audit trail logs at warning level, by the line's
    // text up to its caller fields.
    std::map<std::string, std::size_t> auditWarnings;
    std::vector<double> readLatencyMs;
    std::vector<double> addLatencyMs;
    std::vector<double> removeLatencyMs;
};

class LoadClient {
public:
    LoadClient(std::size_t index, const Options& options, const Reference& reference)
        : index_(index),
          options_(options),
          reference_(reference),
          identity_(ev_e2e::str("load" + std::to_string(index))),
          rng_(static_cast<unsigned>(1000 + index)),
          cycles_(index < options.cyclingClients ? options.cycles : 0) {}

    void prepare() {
        for (std::size_t c = 0; c < cycles_; ++c) {
            pems_.push_back(makeCertificatePem("load bench " + std::to_string(index_) + "." +
                                               std::to_string(c)));
        }
    }

    void run() {
        ev_e2e::RawClient client;
        std::size_t nextCycle = 0;
        while (stats_.requests < options_.requests) {
            // Cycles spread evenly over the run.
            const std::size_t cycleAt = (nextCycle + 1) * options_.requests / (cycles_ + 1);
            if (nextCycle < cycles_ && stats_.requests >= cycleAt) {
                cycle(client, nextCycle++);
                continue;
            }
            const unsigned pick = rng_() % 100;
            if (pick < 30) {
                list(client);
            } else if (pick < 55) {
                byId(client);
            } else if (pick < 80) {
                byName(client);
            } else if (pick < 95) {
                ping(client);
            } else {
                refusal(client);
            }
        }
    }

    const ClientStats& stats() const { return stats_; }

private:
    std::optional<std::string> exchange(ev_e2e::RawClient& client, const std::string& payload,
                                        std::vector<double>* latencies, const std::string& what) {
        const auto start = Clock::now();
        auto reply = client.exchange(payload.empty() ? payload : identity_ + payload, 180s);
        const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        ++stats_.requests;
        if (latencies != nullptr) latencies->push_back(ms);
        if (!reply) fail(who() + what + ": no reply");
        return reply;
    }

    std::string who() const { return "client " + std::to_string(index_) + ": "; }

    const Entry& randomBuiltin() {
        return reference_.builtins[rng_() % reference_.builtins.size()];
    }

    void checkListing(const std::vector<Entry>& entries, const char* context) {
        // Built-ins keep their place, identifiers and fields; anything else is
        // a user certificate of one of the clients.
        std::size_t builtins = 0;
        for (const auto& e : entries) {
            if (e.builtIn) {
                if (builtins >= reference_.builtins.size()) {
                    fail(who() + context + ": more built-ins than at start");
                    return;
                }
                const Entry& r = reference_.builtins[builtins++];
                if (e.id != r.id || e.name != r.name || e.subject != r.subject ||
                    e.notAfter != r.notAfter) {
                    fail(who() + context + ": built-in entry changed: " + e.name);
                }
            } else if (e.name.compare(0, 4, "load") != 0) {
                fail(who() + context + ": unexpected user entry " + e.name);
            }
        }
        if (builtins != reference_.builtins.size()) fail(who() + context + ": built-ins missing");
        if (entries.size() > reference_.builtins.size() + options_.clients) {
            fail(who() + context + ": more user entries than clients");
        }
    }

    void list(ev_e2e::RawClient& client) {
        ++stats_.ops[kList];
        auto reply = exchange(client, ev_e2e::u32(2), &stats_.readLatencyMs, "list");
        if (!reply) return;
        auto entries = decodeList(*reply);
        if (!entries) return fail(who() + "list: reply does not decode");
        checkListing(*entries, "list");
    }

    void byId(ev_e2e::RawClient& client) {
        ++stats_.ops[kById];
        const Entry& e = randomBuiltin();
        auto reply = exchange(client, ev_e2e::u32(3) + ev_e2e::u32(e.id), &stats_.readLatencyMs,
                              "get by id");
        if (!reply) return;
        auto text = decodeText(*reply);
        if (!text || *text != reference_.text.at(e.id))
            fail(who() + "get by id " + std::to_string(e.id) + ": wrong text");
    }

    void byName(ev_e2e::RawClient& client) {
        ++stats_.ops[kByName];
        const Entry& e = randomBuiltin();
        auto reply = exchange(client, ev_e2e::u32(4) + ev_e2e::str(e.name), &stats_.readLatencyMs,
                              "get by name");
        if (!reply) return;
        auto text = decodeText(*reply);
        if (!text || *text != reference_.text.at(e.id))
            fail(who() + "get by name " + e.name + ": wrong text");
    }

    void ping(ev_e2e::RawClient& client) {
        ++stats_.ops[kPing];
        auto reply = exchange(client, "", &stats_.readLatencyMs, "ping");
        if (reply && !reply->empty()) fail(who() + "ping: non-empty reply");
    }

    // Requests the daemon must refuse, each with the error line it logs.
    void refusal(ev_e2e::RawClient& client) {
        ++stats_.ops[kRefusal];
        switch (rng_() % 3) {
            case 0: {
                const Entry& e = randomBuiltin();
                auto reply = exchange(client, ev_e2e::u32(1) + ev_e2e::u32(e.id), nullptr,
                                      "remove built-in");
                if (!reply) return;
                if (decodeStatus(*reply) != std::optional<std::int32_t>(2))
                    fail(who() + "remove built-in: not refused with 2");
                ++stats_.refusals["[ca-store] Unable to remove certificate " +
                                  std::to_string(e.id) + " : builtin certificate"];
                ++stats_.refusals["Error removing certificate id=" + std::to_string(e.id) +
                                  " from TrustList. status = built_in"];
                ++stats_.auditWarnings["[audit] operation=remove name=" + e.name +
                                       " id=" + std::to_string(e.id) + " result=built_in"];
                break;
            }
            case 1: {
                const std::uint32_t id = 900000u + static_cast<std::uint32_t>(index_);
                auto reply =
                    exchange(client, ev_e2e::u32(3) + ev_e2e::u32(id), nullptr, "get unknown id");
                if (!reply) return;
                if (decodeText(*reply) != std::optional<std::string>(""))
                    fail(who() + "get unknown id: not empty");
                ++stats_.refusals["[ca-store] Invalid certificate id : " + std::to_string(id)];
                ++stats_.refusals["Error: cannot retrieve certificate of id " + std::to_string(id)];
                break;
            }
            default: {
                const std::string name = "no_such_certificate_" + std::to_string(index_);
                auto reply = exchange(client, ev_e2e::u32(4) + ev_e2e::str(name), nullptr,
                                      "get unknown name");
                if (!reply) return;
                if (decodeText(*reply) != std::optional<std::string>(""))
                    fail(who() + "get unknown name: not empty");
                ++stats_.refusals["Error: cannot retrieve certificate of name " + name];
                break;
            }
        }
    }

    // Add under a name of this client, read it back three ways, remove it,
    // and see it gone.
    void cycle(ev_e2e::RawClient& client, std::size_t c) {
        ++stats_.ops[kCycle];
        const std::string name = "load" + std::to_string(index_) + "_" + std::to_string(c);
        const std::string& pem = pems_.at(c);
        auto reply = exchange(client, ev_e2e::u32(0) + ev_e2e::str(pem) + ev_e2e::str(name),
                              &stats_.addLatencyMs, "add");
        if (!reply) return;
        auto added = decodeAdd(*reply);
        if (!added || added->first != 0 || added->second == 0)
            return fail(who() + "add " + name + ": refused");
        const std::uint32_t id = added->second;

        reply = exchange(client, ev_e2e::u32(4) + ev_e2e::str(name), &stats_.readLatencyMs,
                         "get added by name");
        if (reply && decodeText(*reply) != std::optional<std::string>(pem))
            fail(who() + "added " + name + ": wrong text by name");
        reply = exchange(client, ev_e2e::u32(3) + ev_e2e::u32(id), &stats_.readLatencyMs,
                         "get added by id");
        if (reply && decodeText(*reply) != std::optional<std::string>(pem))
            fail(who() + "added " + name + ": wrong text by id");
        reply = exchange(client, ev_e2e::u32(2), &stats_.readLatencyMs, "list after add");
        if (reply) {
            auto entries = decodeList(*reply);
            if (!entries) {
                fail(who() + "list after add: reply does not decode");
            } else {
                checkListing(*entries, "list after add");
                const bool listed = std::any_of(
                    entries->begin(), entries->end(),
                    [&](const Entry& e) { return e.id == id && e.name == name && !e.builtIn; });
                if (!listed) fail(who() + "added " + name + " not listed");
            }
        }
        reply =
            exchange(client, ev_e2e::u32(1) + ev_e2e::u32(id), &stats_.removeLatencyMs, "remove");
        if (reply && decodeStatus(*reply) != std::optional<std::int32_t>(0))
            fail(who() + "remove " + name + ": refused");
        reply = exchange(client, ev_e2e::u32(3) + ev_e2e::u32(id), &stats_.readLatencyMs,
                         "get removed by id");
        if (reply && decodeText(*reply) != std::optional<std::string>(""))
            fail(who() + "removed " + name + " still served");
        ++stats_.refusals["[ca-store] Invalid certificate id : " + std::to_string(id)];
        ++stats_.refusals["Error: cannot retrieve certificate of id " + std::to_string(id)];
    }

    std::size_t index_;
    const Options& options_;
    const Reference& reference_;
    std::string identity_;
    std::mt19937 rng_;
    std::size_t cycles_;
    std::vector<std::string> pems_;
    ClientStats stats_;
};

// --- report ---------------------------------------------------------------------

std::vector<std::pair<std::string, std::string>> g_table;

void record(const std::string& figure, const std::string& value) {
    g_table.emplace_back(figure, value);
}

template <typename T>
std::string num(T value) {
    std::ostringstream out;
    out << value;
    return out.str();
}

std::string fixed(double value, int decimals = 1) {
    char buffer[64];
    std::snprintf(buffer, sizeof(buffer), "%.*f", decimals, value);
    return buffer;
}

double percentile(std::vector<double> values, double p) {
    if (values.empty()) return 0.0;
    std::sort(values.begin(), values.end());
    const auto index = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
    return values[std::min(index, values.size() - 1)];
}

void printTable(const std::string& title) {
    std::size_t width = 0;
    for (const auto& row : g_table) width = std::max(width, row.first.size());
    std::cout << "\n" << title << "\n";
    std::cout << std::string(width + 2 + 24, '-') << "\n";
    for (const auto& row : g_table) {
        std::cout << row.first << std::string(width + 2 - row.first.size(), ' ') << row.second
                  << "\n";
    }
    std::cout << std::string(width + 2 + 24, '-') << "\n";
}

std::string lineText(const std::string& line, const std::string& level) {
    const auto at = line.find(level);
    return at == std::string::npos ? std::string() : line.substr(at + level.size());
}

int usage() {
    std::cerr << "usage: ev_load_bench [--short] [--clients N] [--requests N] [--cycles N]\n"
                 "                     [--cycling-clients N] [--idle SECONDS]\n"
                 "                     [--daemon PATH] [--emulator PROGRAM] [--strip TOOL] "
                 "[--keep-log PATH]\n";
    return 2;
}

}  // namespace

int main(int argc, char* argv[]) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) throw std::invalid_argument(arg + " needs a value");
            return argv[++i];
        };
        try {
            if (arg == "--short") {
                options.requests = 500;
                options.cycles = 1;
                options.cyclingClients = 2;
            } else if (arg == "--clients") {
                options.clients = std::stoul(value());
            } else if (arg == "--requests") {
                options.requests = std::stoul(value());
            } else if (arg == "--cycles") {
                options.cycles = std::stoul(value());
            } else if (arg == "--cycling-clients") {
                options.cyclingClients = std::stoul(value());
            } else if (arg == "--idle") {
                options.idleSeconds = std::stoi(value());
            } else if (arg == "--daemon") {
                options.daemon = value();
            } else if (arg == "--emulator") {
                options.emulator = value();
            } else if (arg == "--strip") {
                options.strip = value();
            } else if (arg == "--keep-log") {
                options.keepLog = value();
            } else {
                return usage();
            }
        } catch (const std::exception& e) {
            std::cerr << e.what() << "\n";
            return usage();
        }
    }
    if (!g_privateTmp) {
        std::cerr << "ev_load_bench: needs a private mount namespace (run as root)\n";
        return 2;
    }
    if (options.clients == 0 || options.requests == 0) return usage();
    const fs::path daemonPath =
        options.daemon.empty() ? ev_e2e::daemonBinary() : fs::path(options.daemon);

    ev_e2e::SandboxOptions sandboxOptions;
    sandboxOptions.builtins = 0;  // the machine's whole CA set
    ev_e2e::Sandbox sandbox(sandboxOptions);
    NotifySocket notify(sandbox.root() / "notify.sock");

    // The daemon with systemd notifications on: READY=1 and the watchdog at
    // half of WATCHDOG_USEC go to our socket. Log level info, as deployed.
    std::vector<std::string> daemonArgs = {"--no-log-ts",
                                           "-l",
                                           "2",
                                           "-w",
                                           sandbox.workDir().string(),
                                           "-c",
                                           sandbox.descriptionFile().string()};
    std::string program = daemonPath.string();
    if (!options.emulator.empty()) {
        daemonArgs.insert(daemonArgs.begin(), {"-L", "/", daemonPath.string()});
        program = options.emulator;
    }
    const auto startClock = Clock::now();
    ev_test::ChildProcess daemon(program, daemonArgs,
                                 {"NOTIFY_SOCKET=" + (sandbox.root() / "notify.sock").string(),
                                  "WATCHDOG_USEC=4000000", "WATCHDOG_PID"});
    const pid_t pid = daemon.pid();
    const bool emulated = !options.emulator.empty();
    std::vector<std::string> notifications;
    bool ready = false;
    for (auto deadline = Clock::now() + 600s; Clock::now() < deadline;) {
        for (auto& m : notify.drain()) notifications.push_back(std::move(m));
        if (countMessages(notifications, "READY=1") > 0) {
            ready = true;
            break;
        }
        if (daemon.wait(0ms)) break;
        std::this_thread::sleep_for(20ms);
    }
    const double startSeconds = std::chrono::duration<double>(Clock::now() - startClock).count();
    if (!ready) {
        std::cerr << daemon.stdoutText() << daemon.stderrText();
        std::cerr << "ev_load_bench: the daemon did not become ready\n";
        return 1;
    }

    // Start-up is over when the command loop runs; then one refresh so the
    // watchdog thread is in its steady state.
    const auto waitReady = Clock::now() + 60s;
    while (daemon.stdoutText().find("[info] Starting") == std::string::npos &&
           Clock::now() < waitReady) {
        std::this_thread::sleep_for(20ms);
    }
    for (auto deadline = Clock::now() + 30s; Clock::now() < deadline;) {
        for (auto& m : notify.drain()) notifications.push_back(std::move(m));
        if (countMessages(notifications, "WATCHDOG=1") > 0) break;
        std::this_thread::sleep_for(20ms);
    }
    if (countMessages(notifications, "WATCHDOG=1") == 0)
        fail("no watchdog refresh within 30 s of start-up");

    const fs::path status = "/proc/" + std::to_string(pid) + "/status";
    ev_e2e::RawClient probe;

    // Reference: the listing and every built-in's text, fetched once.
    Reference reference;
    {
        auto reply = probe.exchange(ev_e2e::str("ref") + ev_e2e::u32(2), 300s);
        auto entries = reply ? decodeList(*reply) : std::nullopt;
        if (!entries || entries->empty()) {
            std::cerr << "ev_load_bench: no listing from the daemon\n" << daemon.stdoutText();
            return 1;
        }
        reference.builtins = *entries;
        for (const auto& e : reference.builtins) {
            if (!e.builtIn) fail("user entry at start: " + e.name);
            auto text =
                probe.exchange(ev_e2e::str("ref") + ev_e2e::u32(3) + ev_e2e::u32(e.id), 300s);
            auto pem = text ? decodeText(*text) : std::nullopt;
            if (!pem || pem->find("-----BEGIN CERTIFICATE-----") == std::string::npos) {
                fail("no text for built-in " + e.name);
                reference.text[e.id] = "";
            } else {
                reference.text[e.id] = *pem;
            }
        }
    }

    // Footprint, idle after start-up (the reference requests above are the
    // daemon's first; their buffers are part of its steady state).
    std::this_thread::sleep_for(1s);
    const long long rssStart = statusField(status, "VmRSS");
    const long long hwmStart = statusField(status, "VmHWM");
    const long long threadsStart = statusField(status, "Threads");
    const long long guestStart = emulated ? guestRss(pid) : 0;
    long long strippedSize = -1;
    {
        const fs::path stripped = sandbox.root() / "cybersecurity_service.stripped";
        ev_test::ChildProcess strip(findProgram(options.strip),
                                    {"-o", stripped.string(), daemonPath.string()});
        if (strip.wait(120s) == std::optional<int>(0)) {
            strippedSize = static_cast<long long>(fs::file_size(stripped));
        } else {
            fail("cannot strip the daemon with " + options.strip);
        }
    }

    // Idle stretch: only the watchdog refreshes may cost anything.
    notify.drain();
    const long long ticksBefore = cpuTicks(pid);
    const auto switchesBefore = threadSwitches(pid);
    std::this_thread::sleep_for(std::chrono::seconds(options.idleSeconds));
    const long long ticksAfter = cpuTicks(pid);
    const auto switchesAfter = threadSwitches(pid);
    const std::size_t refreshes = countMessages(notify.drain(), "WATCHDOG=1");
    long long voluntary = 0;
    long long involuntary = 0;
    std::string wokenThreads;
    for (const auto& [tid, after] : switchesAfter) {
        const auto before = switchesBefore.find(tid);
        const Switches b = before == switchesBefore.end() ? Switches{} : before->second;
        const long long v = after.voluntary - b.voluntary;
        const long long n = after.involuntary - b.involuntary;
        voluntary += v;
        involuntary += n;
        if (v + n > 0) {
            if (!wokenThreads.empty()) wokenThreads += ", ";
            wokenThreads += std::to_string(tid) + " " + threadName(pid, tid) + ": " +
                            std::to_string(v) + "+" + std::to_string(n);
        }
    }
    const long long idleTicks = ticksAfter - ticksBefore;
    const std::size_t expectedRefreshes = static_cast<std::size_t>(options.idleSeconds / 2);
    if (refreshes + 1 < expectedRefreshes || refreshes > expectedRefreshes + 1) {
        fail("idle: " + num(refreshes) + " watchdog refreshes in " + num(options.idleSeconds) +
             " s");
    }
    // A refresh is one sd_notify call: far below one tick each, so one tick
    // per refresh is a generous bound, and a thread that wakes for anything
    // else adds switches beyond two per refresh.
    if (idleTicks > static_cast<long long>(refreshes))
        fail("idle: " + num(idleTicks) + " CPU ticks");
    if (voluntary > static_cast<long long>(2 * refreshes + 2)) {
        fail("idle: " + num(voluntary) + " voluntary context switches for " + num(refreshes) +
             " refreshes");
    }

    // Load.
    std::vector<std::unique_ptr<LoadClient>> clients;
    for (std::size_t i = 0; i < options.clients; ++i) {
        clients.push_back(std::make_unique<LoadClient>(i, options, reference));
        clients.back()->prepare();
    }
    const long long rssBefore = statusField(status, "VmRSS");
    const long long guestBefore = emulated ? guestRss(pid) : 0;
    const long long ticksLoadBefore = cpuTicks(pid);
    const auto loadStart = Clock::now();
    {
        std::vector<std::thread> threads;
        for (auto& c : clients) threads.emplace_back([&c] { c->run(); });
        for (auto& t : threads) t.join();
    }
    const double loadSeconds = std::chrono::duration<double>(Clock::now() - loadStart).count();
    const long long ticksLoad = cpuTicks(pid) - ticksLoadBefore;
    std::this_thread::sleep_for(1s);
    const long long rssAfter = statusField(status, "VmRSS");
    const long long hwmAfter = statusField(status, "VmHWM");
    const long long guestAfter = emulated ? guestRss(pid) : 0;
    // Under an emulator the daemon's own share is the guest's memory.
    const long long ownBefore = emulated ? guestBefore : rssBefore;
    const long long ownAfter = emulated ? guestAfter : rssAfter;
    if (ownAfter > ownBefore + ownBefore / 10) {
        fail(std::string(emulated ? "guest RSS" : "VmRSS") + " grew from " + num(ownBefore) +
             " kB to " + num(ownAfter) + " kB");
    }

    ClientStats total;
    for (const auto& c : clients) {
        const auto& s = c->stats();
        total.requests += s.requests;
        for (int op = 0; op < kOpCount; ++op) total.ops[op] += s.ops[op];
        for (const auto& [text, count] : s.refusals) total.refusals[text] += count;
        for (const auto& [text, count] : s.auditWarnings) total.auditWarnings[text] += count;
        total.readLatencyMs.insert(total.readLatencyMs.end(), s.readLatencyMs.begin(),
                                   s.readLatencyMs.end());
        total.addLatencyMs.insert(total.addLatencyMs.end(), s.addLatencyMs.begin(),
                                  s.addLatencyMs.end());
        total.removeLatencyMs.insert(total.removeLatencyMs.end(), s.removeLatencyMs.begin(),
                                     s.removeLatencyMs.end());
    }

    const auto stopClock = Clock::now();
    daemon.signal(SIGTERM);
    const auto exitCode = daemon.wait(120s);
    const double stopSeconds = std::chrono::duration<double>(Clock::now() - stopClock).count();
    if (!exitCode) {
        // Hung on the way out: show where every thread waits before the child
        // runner kills it.
        fail("the daemon did not end within 120 s of SIGTERM");
        std::cout << "threads of the hung daemon (tid name wchan):\n";
        for (const auto& [tid, unused] : threadSwitches(pid)) {
            std::cout << "  " << tid << " " << threadName(pid, tid) << " "
                      << readFile("/proc/" + std::to_string(pid) + "/task/" + std::to_string(tid) +
                                  "/wchan")
                      << "\n";
        }
        const std::string gdb = findProgram("gdb");
        if (gdb.find('/') != std::string::npos) {
            ev_test::ChildProcess trace(
                gdb, {"-p", std::to_string(pid), "-batch", "-ex", "thread apply all bt"});
            trace.wait(120s);
            std::cout << trace.stdoutText() << "\n";
        }
        const std::string out = daemon.stdoutText();
        std::cout << "last log lines:\n"
                  << out.substr(out.size() > 3000 ? out.size() - 3000 : 0) << "\n";
    } else if (*exitCode != 0) {
        fail("the daemon exited with " + num(*exitCode) + " on SIGTERM");
    }

    // Log: every error line must be one of the refusals the clients caused,
    // as many times as they caused it.
    const std::string log = daemon.stdoutText();
    if (!options.keepLog.empty()) std::ofstream(options.keepLog, std::ios::binary) << log;
    std::map<std::string, std::size_t> errorLines;
    std::map<std::string, std::size_t> auditLines;
    std::size_t warnings = 0;
    std::size_t expiryNotices = 0;
    std::size_t lines = 0;
    std::vector<std::string> startupWarnings;
    {
        // The first start on a fresh sandbox warns that it writes the missing
        // configuration file; warnings before the command loop starts are
        // listed. Under load, the only warnings are the expiry watch's notices
        // about the machine's own roots and the audit lines of the refusals
        // the clients caused; anything else is a failure.
        bool started = false;
        std::istringstream in(log);
        for (std::string line; std::getline(in, line);) {
            ++lines;
            if (line.find("] [info] Starting") != std::string::npos) started = true;
            const std::string warning = lineText(line, "] [warning] ");
            if (!warning.empty()) {
                ++warnings;
                if (!started) {
                    startupWarnings.push_back(line);
                } else if (warning.rfind("[ca-store] Certificate ", 0) == 0 &&
                           (warning.find(") expired on ") != std::string::npos ||
                            warning.find(") expires on ") != std::string::npos)) {
                    ++expiryNotices;
                } else if (warning.rfind("[audit] ", 0) == 0) {
                    // The caller's fields and the fingerprint vary; the
                    // operation, name, id and result must match a refusal.
                    std::string key = warning.substr(0, warning.find(" sha256="));
                    const auto result = warning.find(" result=");
                    if (result != std::string::npos) key += warning.substr(result);
                    ++auditLines[key];
                } else {
                    fail("warning line in the daemon's log: " + line);
                }
            }
            std::string text = lineText(line, "] [error] ");
            if (text.empty()) text = lineText(line, "] [critical] ");
            if (!text.empty()) ++errorLines[text];
        }
    }
    for (const auto& [text, count] : errorLines) {
        const auto expected = total.refusals.find(text);
        if (expected == total.refusals.end()) {
            fail("unexpected error line (" + num(count) + "x): " + text);
        } else if (expected->second != count) {
            fail("error line " + text + ": " + num(count) + " times for " + num(expected->second) +
                 " refusals");
        }
    }
    for (const auto& [text, count] : total.refusals) {
        if (errorLines.find(text) == errorLines.end()) fail("refusal not logged: " + text);
    }
    if (auditLines != total.auditWarnings) {
        for (const auto& [text, count] : auditLines) {
            const auto expected = total.auditWarnings.find(text);
            const std::size_t want = expected == total.auditWarnings.end() ? 0 : expected->second;
            if (want != count)
                fail("audit line " + text + ": " + num(count) + " times for " + num(want) +
                     " refusals");
        }
        for (const auto& [text, count] : total.auditWarnings) {
            if (auditLines.find(text) == auditLines.end()) fail("refusal not audited: " + text);
        }
    }
    const std::string stderrText = daemon.stderrText();

    std::size_t refusalsTotal = 0;
    for (const auto& [text, count] : total.refusals) refusalsTotal += count;

    const std::string target =
        options.emulator.empty() ? "native" : "armhf under " + options.emulator;
    record("target", target);
    record("built-in certificates", num(reference.builtins.size()));
    record("start-up to READY=1 (s)", fixed(startSeconds, 2));
    record("stripped daemon size (bytes)", num(strippedSize));
    record("VmRSS idle after start-up (kB)", num(rssStart));
    record("VmHWM idle after start-up (kB)", num(hwmStart));
    if (emulated) record("  of which the 32-bit guest's (below 4 GiB, kB)", num(guestStart));
    record("threads", num(threadsStart));
    record("idle stretch (s)", num(options.idleSeconds));
    record("idle watchdog refreshes", num(refreshes));
    record("idle CPU ticks utime+stime (1/" + num(sysconf(_SC_CLK_TCK)) + " s)", num(idleTicks));
    record("idle voluntary ctx switches (all threads)", num(voluntary));
    record("idle involuntary ctx switches (all threads)", num(involuntary));
    record("idle threads that woke (tid name: vol+invol)",
           wokenThreads.empty() ? "none" : wokenThreads);
    record("load clients x requests", num(options.clients) + " x " + num(options.requests));
    std::string mix;
    for (int op = 0; op < kOpCount; ++op) {
        if (!mix.empty()) mix += ", ";
        mix += std::string(kOpNames[op]) + " " + num(total.ops[op]);
    }
    record("load mix", mix);
    record("load requests answered", num(total.requests));
    record("load refusals sent / expected error lines",
           num(total.ops[kRefusal] + total.ops[kCycle]) + " / " + num(refusalsTotal));
    record("load wall time (s)", fixed(loadSeconds, 2));
    record("load throughput (requests/s)",
           fixed(static_cast<double>(total.requests) / loadSeconds, 0));
    record("load daemon CPU ticks", num(ticksLoad));
    record("read latency p50 / p99 / max (ms)",
           fixed(percentile(total.readLatencyMs, 0.5), 2) + " / " +
               fixed(percentile(total.readLatencyMs, 0.99), 2) + " / " +
               fixed(percentile(total.readLatencyMs, 1.0), 2));
    record("add latency p50 / max (ms)", fixed(percentile(total.addLatencyMs, 0.5), 0) + " / " +
                                             fixed(percentile(total.addLatencyMs, 1.0), 0));
    record("remove latency p50 / max (ms)", fixed(percentile(total.removeLatencyMs, 0.5), 0) +
                                                " / " +
                                                fixed(percentile(total.removeLatencyMs, 1.0), 0));
    record("VmRSS before / after load (kB)",
           num(rssBefore) + " / " + num(rssAfter) + " (" +
               fixed(100.0 * static_cast<double>(rssAfter - rssBefore) /
                         static_cast<double>(rssBefore),
                     1) +
               " %)");
    if (emulated) {
        record("guest RSS (below 4 GiB) before / after load (kB)",
               num(ownBefore) + " / " + num(ownAfter) + " (" +
                   fixed(100.0 * static_cast<double>(ownAfter - ownBefore) /
                             static_cast<double>(ownBefore),
                         1) +
                   " %)");
    }
    record("VmHWM after load (kB)", num(hwmAfter));
    record("daemon log lines / error lines / warnings", num(lines) + " / " + num([&] {
                                                            std::size_t n = 0;
                                                            for (const auto& e : errorLines)
                                                                n += e.second;
                                                            return n;
                                                        }()) +
                                                            " / " + num(warnings));
    record("  of which expiry notices of the machine's roots", num(expiryNotices));
    record("SIGTERM to exit (s), exit code",
           fixed(stopSeconds, 2) + ", " + (exitCode ? num(*exitCode) : "none"));
    record("result", g_failures.empty() ? "PASS" : "FAIL (" + num(g_failures.size()) + " checks)");
    printTable("cybersecurity_service load and footprint");
    for (const auto& w : startupWarnings) std::cout << "start-up warning: " << w << "\n";
    if (!stderrText.empty()) std::cout << "daemon stderr:\n" << stderrText << "\n";
    return g_failures.empty() ? 0 : 1;
}
