// The process-wide context (see zmq_ipc.hpp) as the C++ binding's object, for
// the IPC classes of this folder that open their sockets through it.
#pragma once

#include <zmq.hpp>

namespace ev_common {

// Throws std::runtime_error when there is no process-wide context.
zmq::context_t& ZmqIpc_Context();

}  // namespace ev_common
