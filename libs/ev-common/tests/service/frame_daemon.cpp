// A minimal daemon on the service frame for the process tests. Its hooks are
// steered by environment variables:
//   FRAME_INIT=fail|throw   specific_init returns false or throws
//   FRAME_START=fail        specific_start returns false
//   FRAME_STOP=fail         specific_stop returns false
//   FRAME_DATABASE=1        the service uses a database
//   FRAME_SERVE=ENDPOINT    serves ENDPOINT: a request "block" is answered
//                           "done" once the file FRAME_RELEASE exists, "fail"
//                           makes the handler throw a ZeroMQ error, anything
//                           else is answered "ok"; an endpoint lost for good
//                           stops the service with exit code 1
//   FRAME_BOUND_MS=N        the watchdog is fed only while no request has
//                           taken longer than N ms
// Once the command loop runs it logs "Frame service running" (info).
#include "ev_common/ipc/zmq_ipc_server.hpp"
#include "ev_common/service/process_entry.hpp"
#include "ev_common/service/service.hpp"

#include <spdlog/spdlog.h>
#include <zmq.hpp>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>

namespace {

std::string env(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

class frame_handler : public ev_common::ZmqIpcServer::IIpcRequestHandler {
public:
    void notifyRequest(const std::string&, ev_common::IpcRequestContext& context) override {
        const auto& request = *context.request;
        const std::string payload(reinterpret_cast<const char*>(request.data) + request.position,
                                  request.size - request.position);
        if (payload == "fail") throw zmq::error_t(EPROTO);
        std::string reply = "ok";
        if (payload == "block") {
            while (!std::filesystem::exists(env("FRAME_RELEASE"))) {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
            reply = "done";
        }
        context.responseSize = reply.size();
        context.sendResponse(reply.data(), reply.size());
    }
};

class frame_service : public ev_common::service::service {
public:
    explicit frame_service(bool use_database) : service("cybersecurity_service", use_database) {}
    ~frame_service() override {
        set_health_check({});
        if (announcer_.joinable()) announcer_.join();
    }

protected:
    bool specific_init() override {
        if (env("FRAME_INIT") == "throw") throw std::runtime_error("specific_init exploded");
        if (env("FRAME_INIT") == "fail") return false;
        if (!env("FRAME_SERVE").empty()) {
            ev_common::ZmqIpcServerOptions options;
            options.onFatalError = [this] { stop(1); };
            server_ = std::make_unique<ev_common::ZmqIpcServer>("Frame", env("FRAME_SERVE"),
                                                                &handler_, options);
            if (!server_->start()) return false;
        }
        if (server_ && !env("FRAME_BOUND_MS").empty()) {
            const std::chrono::milliseconds bound(std::stol(env("FRAME_BOUND_MS")));
            set_health_check([this, bound] { return server_->servingProblem(bound); });
        }
        spdlog::info("Frame service initialized");
        return true;
    }
    bool specific_start() override {
        if (env("FRAME_START") == "fail") return false;
        announcer_ = std::thread([this] {
            auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
            while (!is_running() && std::chrono::steady_clock::now() < deadline) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            spdlog::info("Frame service running");
        });
        return true;
    }
    bool specific_stop() override {
        if (announcer_.joinable()) announcer_.join();
        if (server_) server_->stop();
        return env("FRAME_STOP") != "fail";
    }

private:
    std::thread announcer_;
    frame_handler handler_;
    std::unique_ptr<ev_common::ZmqIpcServer> server_;
};

}  // namespace

int main(int argc, char* argv[]) {
    return ev_common::service::run_process("cybersecurity_service", argc, argv,
                                           [](const ev_common::service::service_runner& run) {
                                               frame_service service(env("FRAME_DATABASE") == "1");
                                               return run(service);
                                           });
}
