// Change events of the certificate trust service: a subscription to its
// event endpoint that hands over one JSON text per event ({"generation": G,
// "event": E, "domain": D, "id": ..., "name": ..., "sha256": ..., "not_after": ...}).
// Events published while the subscriber is not connected are lost; a client
// that subscribes first and then reads get_ca_certificate_details() knows
// from G which events it has already seen. The subscription reconnects by
// itself when the service goes away and comes back (is_connected() tells
// which it is). Only a service running as root (or the user named) is
// listened to: a socket of another user at the path is left and tried again
// later. Not thread-safe.
#pragma once

#include "cybersecurity/protocol.hpp"
#include "ev_common/ipc/zmq_subscriber.hpp"

#include <chrono>
#include <optional>
#include <string>

namespace ev_charging_platform::cybersecurity {

class cybersecurity_events {
public:
    explicit cybersecurity_events(const std::string& endpoint = events_endpoint)
        : subscriber_(endpoint) {}

    // The next event, or nothing when none came within the time-out (or a
    // signal cut the wait short).
    std::optional<std::string> next(std::chrono::milliseconds timeout) {
        return subscriber_.receive(timeout);
    }

    const std::string& endpoint() const { return subscriber_.endpoint(); }
    // Whether the service's publisher was connected at the last next().
    bool is_connected() const { return subscriber_.isConnected(); }
    // Events of a service running as another user than root are taken too.
    void set_endpoint_owner(uid_t owner) { subscriber_.setPublisherOwner(owner); }

private:
    ev_common::ZmqSubscriber subscriber_;
};

}  // namespace ev_charging_platform::cybersecurity
