#include "ev_common/ipc/zmq_ipc.hpp"

#include "zmq_context.hpp"

#include <memory>
#include <stdexcept>

namespace ev_common {
namespace {

// Destroying the context terminates it (retried while interrupted).
std::unique_ptr<zmq::context_t> g_context;
unsigned int g_references = 0;

}  // namespace

void ZmqIpc_Init() {
    if (g_context) {
        ++g_references;
        return;
    }
    try {
        g_context = std::make_unique<zmq::context_t>(1, 1023);
    } catch (const zmq::error_t&) {
    }
    ++g_references;
}

void ZmqIpc_Term() {
    if (g_references == 0) return;
    if (--g_references == 0) g_context.reset();
}

zmq::context_t& ZmqIpc_Context() {
    if (!g_context) {
        throw std::runtime_error("ZmqIpc_Init() must be called before creating any ZMQ IPC object");
    }
    return *g_context;
}

void* ZmqIpc_GetContext() {
    return ZmqIpc_Context().handle();
}

}  // namespace ev_common
