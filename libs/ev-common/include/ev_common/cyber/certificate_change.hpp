// A change of the CA store, or an end of validity it warns about, as the
// store reports it to whoever watches it; the certificate trust service
// publishes these to its clients. The store knows nothing of how they travel.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace ev_common {

// fallback: a root of a domain with an active root became its fallback;
// distrusted, restored: a built-in deselected in the system's configuration,
// and selected again.
enum class CertificateEvent {
    added,
    replaced,
    removed,
    expiring,
    expired,
    fallback,
    distrusted,
    restored
};

// "added", "replaced", "removed", "expiring", "expired", "fallback",
// "distrusted", "restored".
const char* toString(CertificateEvent event);

struct CertificateChange {
    CertificateEvent event = CertificateEvent::added;
    // The store's generation once the change is made.
    std::uint64_t generation = 0;
    // The trust domain of the store that changed.
    std::string domain;
    // For a replacement, the new certificate's identifier.
    std::uint32_t id = 0;
    std::string name;
    std::string sha256;
    std::int64_t notAfter = 0;
    // The install profile ("iso15118-2", "iso15118-20") and the role
    // ("active", "fallback") where the domain gives them; empty elsewhere.
    std::string profile;
    std::string role;
};

// Called on the thread that changed the store, after the change; must not throw.
using CertificateChangeObserver = std::function<void(const CertificateChange&)>;

// Asked on the thread that changes the store, once the files of a change
// have taken effect and before the change counts (before the table, the
// generation and the observer see it), with the changes as they will be
// reported. False undoes the change, which then fails with internal_error:
// for a durable record that must hold every change the files hold.
using CertificateChangeGate = std::function<bool(const std::vector<CertificateChange>&)>;

}  // namespace ev_common
