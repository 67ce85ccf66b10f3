// The JSON texts the trust service gives its clients: the details of every
// certificate (get_ca_certificate_details) and one change event. Keys keep
// the documented order; bytes of names and subjects that are not UTF-8 are
// replaced, so the text always parses.
#pragma once

#include "ev_common/cyber/ca_certificate_store.hpp"
#include "ev_common/cyber/certificate_change.hpp"

#include <string>

namespace ev_charging_platform::cybersecurity {

// {"generation": G, "certificates": [{"id": ..., "domain": ..., ..., "ocpp": [...] or null}]}
std::string details_json(const ev_common::CertificateDetailsListing& listing);

// {"generation": G, "event": E, "domain": D, "id": ..., "name": ..., "sha256": ..., "not_after":
// ...}
std::string event_json(const ev_common::CertificateChange& change);

}  // namespace ev_charging_platform::cybersecurity
