// Sends arbitrary messages (one frame or several) to the certificate trust
// service's real request path: a ZmqIpcServer on an ipc endpoint, the
// service's request handler and its operations over a LinuxCaCertificateStore
// in a scratch folder, whose update step stands in for the system tool in
// process. Every message must get exactly one reply of the shape its decoding
// predicts (several frames: one empty reply), a frame above the size limit
// must cost only its sender's connection, and the endpoint must keep serving.
//
// Input: byte 0 gives the frame count (1 + byte % 8); every frame but the last
// is a 16-bit little-endian length and that many bytes; the last frame is the
// rest. An empty input is one empty frame (a ping).
#include "cybersecurity/protocol.hpp"
#include "ev_common/cyber/linux_ca_certificate_store.hpp"
#include "ev_common/ipc/serialization.hpp"
#include "ev_common/ipc/zmq_ipc.hpp"
#include "req_handler.hpp"
#include "req_resp_handler.hpp"

#include <spdlog/sinks/null_sink.h>
#include <spdlog/sinks/stdout_sinks.h>
#include <spdlog/spdlog.h>
#include <zmq.h>
#include <nlohmann/json.hpp>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using ev_common::DeserializationBuffer;
using namespace ev_charging_platform::cybersecurity;

// Small enough for libFuzzer's inputs to cross it now and then.
constexpr std::size_t kMaxFrame = 16 * 1024;

void fail(const char* why) {
    std::fprintf(stderr, "fuzz_ipc_request: %s\n", why);
    std::abort();
}

std::vector<std::string> splitFrames(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return {std::string()};
    const std::size_t count = 1 + data[0] % 8;
    std::string rest(reinterpret_cast<const char*>(data) + 1, size - 1);
    std::vector<std::string> frames;
    while (frames.size() + 1 < count) {
        std::size_t length = 0;
        if (rest.size() >= 2) {
            length = static_cast<std::uint8_t>(rest[0]) | static_cast<std::uint8_t>(rest[1]) << 8;
            rest.erase(0, 2);
        } else {
            rest.clear();
        }
        length = std::min(length, rest.size());
        frames.push_back(rest.substr(0, length));
        rest.erase(0, length);
    }
    frames.push_back(rest);
    return frames;
}

enum class Shape { empty, add, remove, list, text, details, verify, journal, batch, distrust };

// The reply a single frame must get, from the frame alone.
Shape expectedShape(const std::string& frame) {
    if (frame.empty()) return Shape::empty;
    DeserializationBuffer request{reinterpret_cast<const std::uint8_t*>(frame.data()),
                                  static_cast<std::uint32_t>(frame.size())};
    try {
        std::string text;
        std::uint32_t id = 0;
        std::int32_t operation = 0;
        ev_common::deserialize(request, text);  // client identity
        ev_common::deserialize(request, operation);
        switch (operation) {
            case 0:
                ev_common::deserialize(request, text);
                ev_common::deserialize(request, text);
                return Shape::add;
            case 1:
                ev_common::deserialize(request, id);
                return Shape::remove;
            case 2:
                return Shape::list;
            case 3:
                ev_common::deserialize(request, id);
                return Shape::text;
            case 4:
                ev_common::deserialize(request, text);
                return Shape::text;
            case 5:
                return Shape::details;
            case 6: {
                certificate_hash_data hashData;
                deserialize(request, hashData);
                return Shape::remove;
            }
            case 7:
                ev_common::deserialize(request, text);  // trust domain
                ev_common::deserialize(request, text);
                ev_common::deserialize(request, text);
                return Shape::add;
            case 8: {
                std::uint64_t since = 0;
                ev_common::deserialize(request, since);
                return Shape::journal;
            }
            case 11:
                ev_common::deserialize(request, text);  // the changes
                return Shape::batch;
            case 12:
            case 13:
                ev_common::deserialize(request, id);
                ev_common::deserialize(request, text);  // name
                return Shape::distrust;
            case 9:
                ev_common::deserialize(request, id);
                return Shape::remove;
            case 10:
                ev_common::deserialize(request, text);  // trust domains
                ev_common::deserialize(request, text);  // chain
                ev_common::deserialize(request, text);  // options
                return Shape::verify;
            default:
                return Shape::empty;
        }
    } catch (const ev_common::DeserializationException&) {
        return Shape::empty;
    }
}

void checkReply(Shape shape, const std::string& reply) {
    DeserializationBuffer in{reinterpret_cast<const std::uint8_t*>(reply.data()),
                             static_cast<std::uint32_t>(reply.size())};
    try {
        switch (shape) {
            case Shape::empty:
                if (!reply.empty()) fail("a refused request got a non-empty reply");
                return;
            case Shape::add: {
                std::int32_t status = -1;
                std::uint32_t id = 0;
                ev_common::deserialize(in, status);
                ev_common::deserialize(in, id);
                if (status < 0 || status > 6) fail("addition status out of range");
                if ((status == 0) != (id != 0)) fail("identifier and addition status disagree");
                break;
            }
            case Shape::remove: {
                std::int32_t status = -1;
                ev_common::deserialize(in, status);
                if (status < 0 || status > 5) fail("removal status out of range");
                break;
            }
            case Shape::list: {
                std::vector<ca_certificate_info> entries;
                deserialize(in, entries);
                for (const auto& entry : entries) {
                    if (entry.name.empty() || entry.id == 0)
                        fail("listed entry without name or id");
                }
                break;
            }
            case Shape::text: {
                std::string text;
                ev_common::deserialize(in, text);
                break;
            }
            case Shape::details: {
                std::string text;
                ev_common::deserialize(in, text);
                const auto details = nlohmann::json::parse(text, nullptr, false);
                if (!details.is_object() || !details["certificates"].is_array())
                    fail("details that are not the documented JSON object");
                break;
            }
            case Shape::journal: {
                std::string text;
                ev_common::deserialize(in, text);
                const auto journal = nlohmann::json::parse(text, nullptr, false);
                if (!journal.is_object() || !journal["changes"].is_array())
                    fail("a journal that is not the documented JSON object");
                break;
            }
            case Shape::batch: {
                std::int32_t status = -1;
                std::string text;
                ev_common::deserialize(in, status);
                ev_common::deserialize(in, text);
                if (status < 0 || (status > 6 && status != batch_invalid))
                    fail("batch status out of range");
                if (!nlohmann::json::parse(text, nullptr, false).is_object())
                    fail("a batch result that is not a JSON object");
                break;
            }
            case Shape::distrust: {
                std::int32_t status = -1;
                ev_common::deserialize(in, status);
                if (status < 0 || status > 7) fail("distrust status out of range");
                break;
            }
            case Shape::verify: {
                std::uint32_t status = 0;
                std::string text;
                ev_common::deserialize(in, status);
                ev_common::deserialize(in, text);
                if (status > 8) fail("verification status out of range");
                const auto result = nlohmann::json::parse(text, nullptr, false);
                if (!result.is_object() || !result["chain"].is_array())
                    fail("a verification result that is not the documented JSON object");
                break;
            }
        }
    } catch (const ev_common::DeserializationException&) {
        fail("reply shorter than its operation's fields");
    }
    if (in.position != in.size) fail("reply longer than its operation's fields");
}

// What the system tool does for the store, without running it: every user
// NAME.crt is linked as NAME.pem in the system folder, and links whose target
// has gone are dropped.
bool updateSystemFolder(const fs::path& system, const fs::path& user) {
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(system, ec)) {
        std::error_code entryEc;
        if (fs::is_symlink(entry.symlink_status(entryEc)) && !fs::exists(entry.path(), entryEc))
            fs::remove(entry.path(), entryEc);
    }
    for (const auto& entry : fs::directory_iterator(user, ec)) {
        if (entry.path().extension() != ".crt") continue;
        const fs::path link = system / (entry.path().stem().string() + ".pem");
        std::error_code entryEc;
        if (!fs::exists(fs::symlink_status(link, entryEc))) {
            fs::create_symlink(entry.path(), link, entryEc);
        }
    }
    return !ec;
}

struct Harness {
    fs::path root;
    fs::path system;
    fs::path user;
    std::string endpoint;
    std::unique_ptr<ev_common::LinuxCaCertificateStore> store;
    std::unique_ptr<cybersecurity_req_handler> operations;
    std::unique_ptr<req_resp_cybersecurity_service_handler> handler;
    void* client = nullptr;

    Harness() {
        // Formatting of every log line still runs; the output is dropped unless
        // EV_FUZZ_LOG is set (to replay one input and read what it did).
        spdlog::sink_ptr sink = std::make_shared<spdlog::sinks::null_sink_mt>();
        if (std::getenv("EV_FUZZ_LOG") != nullptr)
            sink = std::make_shared<spdlog::sinks::stderr_sink_mt>();
        auto logger = std::make_shared<spdlog::logger>("fuzz", sink);
        logger->set_level(spdlog::level::trace);
        spdlog::set_default_logger(logger);

        std::string pattern = (fs::temp_directory_path() / "fuzz-ipc-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) fail("no scratch folder");
        root = pattern;
        system = root / "system";
        user = root / "user";
        fs::create_directories(system);
        fs::create_directories(user);
        // A few of the machine's CA certificates as built-ins, when it has them.
        std::error_code ec;
        int builtIns = 0;
        for (const auto& entry : fs::directory_iterator("/usr/share/ca-certificates/mozilla", ec)) {
            if (builtIns++ == 3) break;
            fs::copy_file(entry.path(), system / (entry.path().stem().string() + ".pem"), ec);
        }

        ev_common::ZmqIpc_Init();
        store = std::make_unique<ev_common::LinuxCaCertificateStore>(
            [this](bool) { return updateSystemFolder(system, user); });
        if (!store->init(system, user, "update-stand-in", "--fresh", {})) fail("store init");
        operations =
            std::make_unique<cybersecurity_req_handler>("cybersecurity_service", store.get());
        ev_common::ZmqIpcServerOptions options;
        options.maxMessageSize = kMaxFrame;
        options.onFatalError = [] { fail("the server gave its endpoint up"); };
        endpoint = "ipc://" + (root / "api").string();
        handler = std::make_unique<req_resp_cybersecurity_service_handler>(operations.get(),
                                                                           endpoint, options);
        if (!handler->start()) fail("server did not start");
        openClient();
    }
    ~Harness() {
        zmq_close(client);
        handler.reset();
        operations.reset();
        store.reset();
        ev_common::ZmqIpc_Term();
        std::error_code ec;
        fs::remove_all(root, ec);
    }

    void openClient() {
        if (client != nullptr) zmq_close(client);
        client = zmq_socket(ev_common::ZmqIpc_GetContext(), ZMQ_REQ);
        const int timeout = 5000;
        const int linger = 0;
        zmq_setsockopt(client, ZMQ_RCVTIMEO, &timeout, sizeof timeout);
        zmq_setsockopt(client, ZMQ_LINGER, &linger, sizeof linger);
        if (zmq_connect(client, endpoint.c_str()) != 0) fail("client did not connect");
    }

    void send(void* socket, const std::vector<std::string>& frames) {
        for (std::size_t i = 0; i < frames.size(); ++i) {
            const int more = i + 1 < frames.size() ? ZMQ_SNDMORE : 0;
            int rc;
            do {
                rc = zmq_send(socket, frames[i].data(), frames[i].size(), more);
            } while (rc < 0 && zmq_errno() == EINTR);
            if (rc < 0) fail("request not sent");
        }
    }

    std::string receive() {
        zmq_msg_t reply;
        zmq_msg_init(&reply);
        // libFuzzer's own timer signal interrupts waits now and then.
        int rc;
        do {
            rc = zmq_msg_recv(&reply, client, 0);
        } while (rc < 0 && zmq_errno() == EINTR);
        if (rc < 0) fail("request left without a reply");
        if (zmq_msg_more(&reply) != 0) fail("reply of several frames");
        std::string got(static_cast<const char*>(zmq_msg_data(&reply)), zmq_msg_size(&reply));
        zmq_msg_close(&reply);
        return got;
    }

    // A frame above the limit costs the sender its connection and gets no
    // reply; it is sent from a socket of its own, and then the endpoint must
    // still answer a ping.
    void sendOversize(const std::vector<std::string>& frames) {
        void* socket = zmq_socket(ev_common::ZmqIpc_GetContext(), ZMQ_REQ);
        if (socket == nullptr) fail("no socket for the oversized request");
        // Long enough to hand the frame over; short, so that sockets of past
        // inputs do not pile up towards the context's socket limit.
        const int linger = 100;
        zmq_setsockopt(socket, ZMQ_LINGER, &linger, sizeof linger);
        if (zmq_connect(socket, endpoint.c_str()) != 0) fail("client did not connect");
        send(socket, frames);
        zmq_close(socket);
        send(client, {std::string()});
        if (!receive().empty()) fail("ping answered with data");
    }
};

Harness* harness = nullptr;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    static Harness instance;
    harness = &instance;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::vector<std::string> frames = splitFrames(data, size);
    for (const auto& frame : frames) {
        if (frame.size() > kMaxFrame) {
            harness->sendOversize(frames);
            return 0;
        }
    }
    harness->send(harness->client, frames);
    const std::string reply = harness->receive();
    checkReply(frames.size() > 1 ? Shape::empty : expectedShape(frames.front()), reply);
    return 0;
}
