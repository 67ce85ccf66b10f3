// Set-up of the process-wide IPC subsystem: the process entry and the
// service runtime each take one reference on the shared ZeroMQ context.
#pragma once

#include <string>

namespace ev_common::service {

// Logs "Initializing IPC subsystem" and takes one context reference. The name
// is not used; the result is always true.
bool initialize_ipc(const std::string& service_name);

}  // namespace ev_common::service
