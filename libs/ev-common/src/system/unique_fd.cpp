#include "ev_common/system/unique_fd.hpp"

#include <fcntl.h>

namespace ev_common {

Pipe makePipe(int flags) {
    int fds[2] = {-1, -1};
    if (::pipe2(fds, flags) != 0) return {};
    return {UniqueFd(fds[0]), UniqueFd(fds[1])};
}

}  // namespace ev_common
