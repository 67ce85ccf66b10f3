// Local (ipc://) endpoints: the socket file behind one, and who is at the
// other end of a connection as the kernel saw it when the connection was made
// (SO_PEERCRED). libzmq appends those credentials to the "Peer-Address"
// property of every message it receives on an ipc endpoint; ZmqIpcServer
// hands them to its handler, ZmqIpcClient checks its server's with them.
// Decide on uid and gid: the pid is informational, it may have been reused.
#pragma once

#include <sys/types.h>

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

}  // namespace ev_common
