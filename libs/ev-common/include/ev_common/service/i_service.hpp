// The interface of a platform daemon as its process entry sees it: start-up
// from the command line, the command loop, and the request to stop. A daemon
// derives from service, which implements it around the hooks it overrides
// (specific_init, specific_start, specific_stop; see service.hpp).
#pragma once

#include <string>

namespace ev_common::service {

class i_service {
public:
    virtual ~i_service() = default;
    // False: the daemon cannot start and exits with code 1.
    virtual bool initialize(int argc, const char* const argv[]) = 0;
    // The command loop, on the calling thread; returns the exit code.
    virtual int run() = 0;
    // From any thread: ends the command loop with `exit_code`; false when
    // the loop is not running.
    virtual bool stop(int exit_code) = 0;
    virtual std::string get_name() = 0;
};

}  // namespace ev_common::service
