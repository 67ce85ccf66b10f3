#include "ev_common/service/command_pipe.hpp"

#include <cstring>

namespace ev_common::service {

namespace {

constexpr const char* kCommands[] = {"exit", "inc_log_level", "dec_log_level"};

bool may_be_cut_command(const std::string& text) {
    for (const char* command : kCommands) {
        const std::size_t length = std::strlen(command);
        if (text.size() < length && std::strncmp(command, text.c_str(), text.size()) == 0) {
            return true;
        }
    }
    return false;
}

}  // namespace

std::vector<pipe_event> split_commands(std::string& pending, bool buffer_was_full) {
    std::vector<pipe_event> events;
    while (!pending.empty()) {
        if (pending[0] == command_pipe_mark) {
            if (pending.size() < 2) break;  // the mark's second byte follows
            pipe_event event{pipe_event::kind::signal, pipe_signal::terminate, {}};
            event.signal = static_cast<pipe_signal>(pending[1]);
            events.push_back(event);
            pending.erase(0, 2);
            continue;
        }
        const char* matched = nullptr;
        for (const char* command : kCommands) {
            if (pending.compare(0, std::strlen(command), command) == 0) matched = command;
        }
        if (matched != nullptr) {
            events.push_back({pipe_event::kind::command, pipe_signal::terminate, matched});
            pending.erase(0, std::strlen(matched));
            continue;
        }
        const auto end = pending.find(command_pipe_mark);
        if (end == std::string::npos && buffer_was_full && may_be_cut_command(pending)) break;
        events.push_back(
            {pipe_event::kind::unknown, pipe_signal::terminate, pending.substr(0, end)});
        pending.erase(0, end == std::string::npos ? pending.size() : end);
    }
    return events;
}

}  // namespace ev_common::service
