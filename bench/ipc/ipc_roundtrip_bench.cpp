// Measures the round trip of a ping and of a 4 KiB request answered with a
// 4 KiB reply through ZmqIpcServer (trivial handler), side by side with a
// bare REQ/REP echo over the same ipc:// transport and context, and prints
// the ratio. Rounds of the two alternate so that machine load hits both alike;
// each figure is the median of the rounds' mean round-trip times.
#include "ev_common/ipc/zmq_ipc.hpp"
#include "ev_common/ipc/zmq_ipc_server.hpp"

#include <zmq.h>

#include <unistd.h>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr std::size_t kLarge = 4096;

class FixedReply : public ev_common::ZmqIpcServer::IIpcRequestHandler {
public:
    void notifyRequest(const std::string&, ev_common::IpcRequestContext& context) override {
        context.responseSize = reply_.size();
        context.sendResponse(reply_.data(), reply_.size());
    }

private:
    std::vector<char> reply_ = std::vector<char>(kLarge, 'r');
};

// The baseline: receive one frame, answer with a frame of the same size.
void bareEcho(void* context, const std::string& endpoint, bool* bound) {
    void* socket = zmq_socket(context, ZMQ_REP);
    *bound = zmq_bind(socket, endpoint.c_str()) == 0;
    std::vector<char> reply(kLarge, 'r');
    for (;;) {
        zmq_msg_t msg;
        zmq_msg_init(&msg);
        if (zmq_msg_recv(&msg, socket, 0) < 0) break;
        const std::size_t size = zmq_msg_size(&msg);
        zmq_msg_close(&msg);
        if (size == 1) break;  // the stop frame
        zmq_send(socket, reply.data(), size == 0 ? 0 : kLarge, 0);
    }
    zmq_close(socket);
}

class Client {
public:
    Client(void* context, const std::string& endpoint) : socket_(zmq_socket(context, ZMQ_REQ)) {
        zmq_connect(socket_, endpoint.c_str());
        zmq_msg_init(&reply_);
    }
    ~Client() {
        zmq_msg_close(&reply_);
        zmq_close(socket_);
    }
    void roundTrip(const std::string& frame) {
        if (zmq_send(socket_, frame.data(), frame.size(), 0) < 0 ||
            zmq_msg_recv(&reply_, socket_, 0) < 0) {
            std::fprintf(stderr, "round trip failed: %s\n", zmq_strerror(zmq_errno()));
            std::exit(1);
        }
    }
    void* socket() const { return socket_; }

private:
    void* socket_;
    zmq_msg_t reply_;
};

double meanMicros(Client& client, const std::string& frame, int count) {
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < count; ++i) client.roundTrip(frame);
    const std::chrono::duration<double, std::micro> spent =
        std::chrono::steady_clock::now() - start;
    return spent.count() / count;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    const int perRound = argc > 1 ? std::atoi(argv[1]) : 2000;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 15;
    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() /
        ("ipc-bench-" + std::to_string(static_cast<long long>(getpid())));
    std::filesystem::create_directories(dir);
    const std::string serverEndpoint = "ipc://" + (dir / "server.api").string();
    const std::string bareEndpoint = "ipc://" + (dir / "bare.api").string();

    ev_common::ZmqIpc_Init();
    void* context = ev_common::ZmqIpc_GetContext();
    FixedReply handler;
    ev_common::ZmqIpcServer server("Bench", serverEndpoint, &handler);
    if (!server.start()) return 1;
    bool bareBound = false;
    std::thread bare(bareEcho, context, bareEndpoint, &bareBound);
    {
        Client toServer(context, serverEndpoint);
        Client toBare(context, bareEndpoint);
        toBare.roundTrip("");  // also waits for the echo to be bound
        if (!bareBound) return 1;

        // The server's request carries the client identity in front.
        std::string large(kLarge, 'q');
        const char identity[] = {4, 0, 0, 0, 'b', 'e', 'n', 'c'};
        large.replace(0, sizeof identity, identity, sizeof identity);

        struct Case {
            const char* name;
            std::string frame;
            std::vector<double> server;
            std::vector<double> bare;
        };
        std::vector<Case> cases{{"ping (empty frame)", std::string(), {}, {}},
                                {"4 KiB request / 4 KiB reply", large, {}, {}}};
        for (Case& c : cases) {
            meanMicros(toServer, c.frame, perRound / 4);
            meanMicros(toBare, c.frame, perRound / 4);
            for (int round = 0; round < rounds; ++round) {
                if (round % 2 == 0) {
                    c.server.push_back(meanMicros(toServer, c.frame, perRound));
                    c.bare.push_back(meanMicros(toBare, c.frame, perRound));
                } else {
                    c.bare.push_back(meanMicros(toBare, c.frame, perRound));
                    c.server.push_back(meanMicros(toServer, c.frame, perRound));
                }
            }
        }
        std::printf("%d rounds of %d round trips over ipc://, median of round means\n", rounds,
                    perRound);
        std::printf("%-30s %14s %14s %8s\n", "case", "ZmqIpcServer", "bare echo", "ratio");
        for (const Case& c : cases) {
            const double s = median(c.server);
            const double b = median(c.bare);
            std::printf("%-30s %11.2f us %11.2f us %7.3fx\n", c.name, s, b, s / b);
        }
        zmq_send(toBare.socket(), "x", 1, 0);
    }
    bare.join();
    server.stop();
    ev_common::ZmqIpc_Term();
    std::filesystem::remove_all(dir);
    return 0;
}
