// How ZmqIpcServer and ZmqPublisher take their endpoint. An ipc:// endpoint
// on a file path is claimed through a UnixListener (lock, systemd's socket or
// one bound beside the path and renamed into place, whatever another user
// left set aside), and libzmq only ever gets a duplicate of that listening
// socket (ZMQ_USE_FD); any other endpoint is bound by libzmq itself.
#pragma once

#include "ev_common/ipc/zmq_ipc_server.hpp"

#include <zmq.hpp>

#include <memory>
#include <string>

namespace ev_common {

class UnixListener;

// Claims `endpoint` for its owner, `role` ("Server", "Publisher") labelling
// the log lines. True with `listener` set for an ipc:// file path, true with
// nothing to hold for any other endpoint, and true at once when `listener`
// is set already. False, after logging why, when the path is not to be had.
bool claimEndpoint(const std::string& endpoint, const IpcEndpointAccess& access,
                   const std::string& role, std::unique_ptr<UnixListener>& listener);

// Binds `socket` to `endpoint`, on a claimed path through a new descriptor of
// the listener's socket (bound afresh first when the path lost it). False,
// after logging why.
bool bindEndpoint(zmq::socket_t& socket, const std::string& endpoint, UnixListener* listener,
                  const std::string& role);

// Unbinds `endpoint` and closes `socket`, which may be bound or not.
// Unbinding releases an inproc name at once, where the asynchronous close
// alone would keep it taken for a moment. On an ipc:// file path it returns
// only once libzmq has closed its descriptor of the listening socket: a
// socket bound again right after on the same listening socket would
// otherwise share accept() with the dying one, which takes clients' requests
// down with it.
void closeEndpoint(zmq::socket_t& socket, const std::string& endpoint);

}  // namespace ev_common
