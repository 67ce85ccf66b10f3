// A minimal daemon on the service frame for the process tests. Its hooks are
// steered by environment variables:
//   FRAME_INIT=fail|throw   specific_init returns false or throws
//   FRAME_START=fail        specific_start returns false
//   FRAME_STOP=fail         specific_stop returns false
//   FRAME_DATABASE=1        the service uses a database
// Once the command loop runs it logs "Frame service running" (info).
#include "ev_common/service/process_entry.hpp"
#include "ev_common/service/service.hpp"

#include <spdlog/spdlog.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <thread>

namespace {

std::string env(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

class frame_service : public ev_common::service::service {
public:
    explicit frame_service(bool use_database) : service("cybersecurity_service", use_database) {}
    ~frame_service() override {
        if (announcer_.joinable()) announcer_.join();
    }

protected:
    bool specific_init() override {
        if (env("FRAME_INIT") == "throw") throw std::runtime_error("specific_init exploded");
        if (env("FRAME_INIT") == "fail") return false;
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
        return env("FRAME_STOP") != "fail";
    }

private:
    std::thread announcer_;
};

}  // namespace

int main(int argc, char* argv[]) {
    return ev_common::service::run_process("cybersecurity_service", argc, argv,
                                           [](const ev_common::service::service_runner& run) {
                                               frame_service service(env("FRAME_DATABASE") == "1");
                                               return run(service);
                                           });
}
