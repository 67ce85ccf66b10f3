// The interface of a platform daemon as its process entry sees it: start-up
// from the command line, the command loop, and the request to stop.
#pragma once

#include <string>

namespace ev_common::service {

class i_service {
public:
    virtual ~i_service() = default;
    virtual bool initialize(int argc, const char* const argv[]) = 0;
    virtual int run() = 0;
    virtual bool stop(int exit_code) = 0;
    virtual std::string get_name() = 0;
};

}  // namespace ev_common::service
