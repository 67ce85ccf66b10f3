// The process-wide ZeroMQ context, shared by every IPC object of the process
// and reference-counted: the process entry and the service runtime each take
// one reference before any server exists; the last release terminates it.
// Not thread-safe: called from the main thread only.
#pragma once

namespace ev_common {

// Takes one reference; creates the context (one I/O thread, 1023 sockets) on
// the first call. A failed creation is swallowed: the count still rises and
// ZmqIpc_GetContext() then throws.
void ZmqIpc_Init();

// Releases one reference; the last one terminates and destroys the context.
void ZmqIpc_Term();

// The raw libzmq context handle. Throws std::runtime_error when there is none.
void* ZmqIpc_GetContext();

}  // namespace ev_common
