// The JSON texts the trust service gives its clients: the details of every
// certificate (get_ca_certificate_details) and one change event. Keys keep
// the documented order; bytes of names and subjects that are not UTF-8 are
// replaced, so the text always parses.
#pragma once

#include "ev_common/cyber/ca_certificate_store.hpp"
#include "ev_common/cyber/certificate_change.hpp"

#include <string>

namespace ev_charging_platform::cybersecurity {

// {"store_id": S, "generation": G, "certificates": [{"id": ..., "domain": ..., ..., "ocpp": [...]
// or null}]}; without a durable state there is no store_id.
std::string details_json(const ev_common::CertificateDetailsListing& listing,
                         const std::string& store_id = {});

// {"generation": G, "event": E, "domain": D, "id": ..., "name": ..., "sha256": ..., "not_after":
// ...}
// The store_id comes first, when there is one.
std::string event_json(const ev_common::CertificateChange& change,
                       const std::string& store_id = {});

}  // namespace ev_charging_platform::cybersecurity
