// The text protocol of the command pipe between signal handlers (or stop())
// and the command loop: plain command words without terminator, each posted
// in one write; a signal handler puts a two-byte mark naming its signal in
// front of the command it posts, so the loop can log the signal's line in
// signal-safe fashion. Several posts may be read as one text: the splitter
// cuts it into the events in the order they were posted.
#pragma once

#include <string>
#include <vector>

namespace ev_common::service {

constexpr char command_pipe_mark = '\x01';

enum class pipe_signal : char {
    interrupt = 'I',
    terminate = 'T',
    increase_level = '1',
    decrease_level = '2',
};

struct pipe_event {
    enum class kind { signal, command, unknown };
    kind type;
    pipe_signal signal = pipe_signal::terminate;  // for kind::signal
    std::string text;                             // for kind::command and kind::unknown
};

// Consumes from `pending` every complete event and returns them in order.
// When the last read filled the read buffer, a tail that may be the start of
// a command cut by the buffer is left in `pending` for the next read.
std::vector<pipe_event> split_commands(std::string& pending, bool buffer_was_full);

}  // namespace ev_common::service
