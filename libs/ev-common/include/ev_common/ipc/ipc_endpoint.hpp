// Local (ipc://) endpoints: the socket file behind one, and who is at the
// other end of a connection as the kernel saw it when the connection was made
// (SO_PEERCRED). libzmq appends those credentials to the "Peer-Address"
// property of every message it receives on an ipc endpoint; ZmqIpcServer
// hands them to its handler, ZmqIpcClient checks its server's with them.
// Decide on uid and gid: the pid is informational, it may have been reused.
#pragma once

#include <sys/types.h>

#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace ev_common {

// The file of an ipc:// endpoint ("ipc:///tmp/x.api" gives "/tmp/x.api");
// empty for any other transport and for an abstract socket ("ipc://@x").
std::string ipcSocketPath(const std::string& endpoint);

struct PeerCredentials {
    uid_t uid = 0;
    gid_t gid = 0;
    pid_t pid = 0;
};

// The credentials at the end of the "Peer-Address" text of an ipc connection
// ("localhost:1000:1000:4242"): the last three fields, each after a ':' and
// each a plain decimal number within its type, uid and gid not (uid_t)-1.
// Nothing for any other text (a bare number, "1:2:3", a sign, a blank). Only
// texts of ipc endpoints may be given: on tcp the text is an address, and an
// IPv6 address may end in three decimal fields too.
std::optional<PeerCredentials> parsePeerAddress(std::string_view text);

// How many connections a server on an ipc:// file path lets its callers hold.
// Every connection costs the server a descriptor; a caller that may connect
// could otherwise take them all, and a process without descriptors can start
// no program and, inside libzmq, may even end. Over either bound a new
// connection is closed right after it was accepted.
struct ConnectionLimits {
    // Connections one uid may hold at once; 0: no bound per uid.
    unsigned int perUid = 0;
    // Descriptors kept free below the process's soft RLIMIT_NOFILE: once the
    // process holds more than the limit less this, only exempt callers may
    // connect.
    unsigned int reserve = 64;
    // Callers never refused (those who administer the service); none when
    // empty. Asked only for a connection that would be refused, on the
    // thread that watches the connections.
    std::function<bool(const PeerCredentials&)> exempt;
};

}  // namespace ev_common
