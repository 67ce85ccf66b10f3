#include "ev_common/ipc/zmq_ipc.hpp"

#include <zmq.h>

#include <cerrno>
#include <memory>
#include <stdexcept>

namespace ev_common {
namespace {

// Owns one libzmq context; destroying it terminates the context, retrying
// while the call is interrupted.
struct ZmqContext {
    void* handle = nullptr;
    ~ZmqContext() {
        if (handle == nullptr) return;
        while (zmq_ctx_term(handle) != 0 && zmq_errno() == EINTR) {
        }
    }
};

std::unique_ptr<ZmqContext> g_context;
unsigned int g_references = 0;

}  // namespace

void ZmqIpc_Init() {
    if (g_context) {
        ++g_references;
        return;
    }
    void* handle = zmq_ctx_new();
    if (handle != nullptr) {
        zmq_ctx_set(handle, ZMQ_IO_THREADS, 1);
        zmq_ctx_set(handle, ZMQ_MAX_SOCKETS, 1023);
        g_context = std::make_unique<ZmqContext>();
        g_context->handle = handle;
    }
    ++g_references;
}

void ZmqIpc_Term() {
    if (g_references == 0) return;
    if (--g_references == 0) g_context.reset();
}

void* ZmqIpc_GetContext() {
    if (!g_context) {
        throw std::runtime_error("ZmqIpc_Init() must be called before creating any ZMQ IPC object");
    }
    return g_context->handle;
}

}  // namespace ev_common
