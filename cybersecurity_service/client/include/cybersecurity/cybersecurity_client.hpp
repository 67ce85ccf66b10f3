// Client side of the certificate trust service: one call per operation plus
// ping, each a single request/reply exchange through an ev_common
// ZmqIpcClient (a REQ socket of its own ZeroMQ context, replaced after a lost
// reply). Used by cybersecurity_ctl and by other processes of the device. A failed exchange never
// throws: it gives the "ipc_error" status or an empty optional, and last_error() says what went
// wrong. Not thread-safe: one client per thread.
#pragma once

#include "cybersecurity/protocol.hpp"
#include "ev_common/ipc/zmq_ipc_client.hpp"

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace ev_charging_platform::cybersecurity {

class cybersecurity_client {
public:
    // Reads and ping.
    static constexpr std::chrono::milliseconds default_timeout{5000};
    // Additions and removals: each runs the service's update tool, which may
    // take up to its own limit (120 s unless configured otherwise) on a slow
    // device, so a change is waited for longer than that.
    static constexpr std::chrono::milliseconds default_change_timeout{130000};

    enum class exchange_error {
        none,
        send_failed,    // the request could not be handed to the socket in time
        no_reply,       // nothing came back within the time-out
        empty_reply,    // the service could not serve the request
        invalid_reply,  // the reply does not decode, has bytes left over, or several frames
        // the endpoint's socket file is not a socket, belongs to someone else
        // than the expected owner (or root), or is writable by every user; or
        // the reply came from someone else. Nothing was sent in the first cases.
        untrusted_endpoint,
    };

    // A time-out given here applies to every request, changes included;
    // without one, reads and ping wait default_timeout and changes
    // default_change_timeout.
    explicit cybersecurity_client(std::string endpoint = service_endpoint,
                                  std::optional<std::chrono::milliseconds> timeout = std::nullopt,
                                  std::string identity = default_identity());
    ~cybersecurity_client();
    cybersecurity_client(const cybersecurity_client&) = delete;
    cybersecurity_client& operator=(const cybersecurity_client&) = delete;

    // "cybersecurity_client-<pid>".
    static std::string default_identity();

    const std::string& endpoint() const { return transport_.endpoint(); }
    // Of reads and ping.
    std::chrono::milliseconds timeout() const { return read_timeout_; }
    std::chrono::milliseconds change_timeout() const { return change_timeout_; }
    // Both time-outs.
    void set_timeout(std::chrono::milliseconds timeout);
    void set_change_timeout(std::chrono::milliseconds timeout) { change_timeout_ = timeout; }
    // Who must own the service's socket file: root unless set (root is
    // always accepted), e.g. the user of a daemon run by hand.
    uid_t endpoint_owner() const { return transport_.endpointOwner(); }
    void set_endpoint_owner(uid_t owner) { transport_.setEndpointOwner(owner); }

    // True when the service answered the empty frame with an empty frame.
    bool ping();
    // `id` is written only on success.
    AddCertificateStatus add_ca_certificate(const std::string& pem_text, const std::string& name,
                                            std::uint32_t& id);
    RemoveCertificateStatus remove_ca_certificate(std::uint32_t id);
    // Empty optional when the exchange failed; an empty vector is an empty store.
    std::optional<std::vector<ca_certificate_info>> get_ca_certificates();
    // Empty optional when the exchange failed; an empty text when the service
    // has no such certificate.
    std::optional<std::string> get_ca_certificate_by_id(std::uint32_t id);
    std::optional<std::string> get_ca_certificate_by_name(const std::string& name);
    // The JSON text {"generation": G, "certificates": [...]} (see the README
    // for its keys). Empty optional when the exchange failed; a service that
    // does not know the operation answers with an empty reply (empty_reply).
    std::optional<std::string> get_ca_certificate_details();
    // The same into `text`, whose storage is reused: for clients that ask
    // often. False (and `text` unspecified) when the exchange failed.
    bool get_ca_certificate_details(std::string& text);
    RemoveCertificateStatus remove_ca_certificate_by_hash(const certificate_hash_data& hash_data);
    // The csms root that verified the last connection (operation 9): the
    // active root removes the fallback, the fallback stays.
    RemoveCertificateStatus confirm_csms_root(std::uint32_t id);
    // The JSON text of the journal's rows after generation `since`:
    // {"store_id", "generation", "complete", "chain_base", "head", "changes"}
    // (see the README). Empty optional when the exchange failed.
    std::optional<std::string> get_changes_since(std::uint64_t since);
    // Into a trust domain of the service ("system" is the operating system's
    // store, as add_ca_certificate); an unknown domain is invalid_name, a
    // full one store_full. `id` is written only on success.
    AddCertificateStatus add_ca_certificate_to_domain(const std::string& domain,
                                                      const std::string& pem_text,
                                                      const std::string& name, std::uint32_t& id);

    struct verification {
        VerifyStatus status = VerifyStatus::invalid_input;
        // {"status", "reason", "depth", "anchor", "chain", "expires_soon"}
        // (see the README).
        std::string result;
    };
    // Whether the chain in `pem_text` (leaf first, then any intermediates) is
    // trusted by the roots of `domains` (comma-separated, e.g. "mo,v2g";
    // "system" allowed); `options` is a JSON object text or empty. Empty
    // optional when the exchange failed.
    std::optional<verification> verify(const std::string& domains, const std::string& pem_text,
                                       const std::string& options = {});

    struct batch_result {
        // 0, the status of the first change refused, or batch_invalid.
        std::int32_t status = batch_invalid;
        // {"status", "generation", "changes": [{"op", "domain", "name", "result", "id"}]}
        std::string result;
    };
    // A batch of changes, the JSON text of an array (see the README), made
    // all or nothing. Empty optional when the exchange failed.
    std::optional<batch_result> apply_changes(const std::string& changes);
    // A built-in by identifier, or by name when `id` is 0.
    DistrustStatus distrust_builtin(std::uint32_t id, const std::string& name = {});
    DistrustStatus restore_builtin(std::uint32_t id, const std::string& name = {});

    // What went wrong in the last call (none after a successful exchange).
    exchange_error last_error() const { return last_error_; }
    // One line for people, e.g. "no answer from ipc://... within 5000 ms (is
    // the service running?)" or "not talking to ipc:///tmp/x.api: /tmp/x.api
    // is owned by uid 1000 (alice), not root". A change that was sent but not
    // answered in time may still be carried out: the text says so, and how
    // to find out.
    // True when the last call was a change (addition or removal).
    bool last_call_was_change() const { return last_call_was_change_; }
    std::string last_error_text() const;

private:
    // Sends the identity, the operation and its parameters as one frame and
    // returns the one-frame reply, or nothing (with last_error_ set).
    template <typename... Parameters>
    std::optional<std::vector<std::uint8_t>> call(operation_id operation,
                                                  const Parameters&... parameters);
    // Reads a reply that must be exactly the given fields.
    template <typename... Fields>
    bool decode(const std::optional<std::vector<std::uint8_t>>& reply, Fields&... fields);
    // True for a decoded reply; otherwise sets last_error_ from how it failed.
    bool settle(ev_common::ReplyDecoding decoding);

    // Sets the transport's time-out for the operation about to be sent.
    void prepare(operation_id operation);

    std::string identity_;
    std::chrono::milliseconds read_timeout_;
    std::chrono::milliseconds change_timeout_;
    bool last_call_was_change_ = false;
    ev_common::ZmqIpcClient transport_;
    exchange_error last_error_ = exchange_error::none;
};

const char* to_string(cybersecurity_client::exchange_error error);

}  // namespace ev_charging_platform::cybersecurity
