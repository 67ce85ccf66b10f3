// Answers "is this chain trusted for this purpose?" for the other daemons of
// the device: verifies a chain a caller sends (leaf first, every certificate
// untrusted) against the roots of one or more trust domains with libcrypto's
// path validation, optionally against a host name, at a given time and under
// an ISO 15118 certificate profile. Each domain's roots are one X509_STORE,
// built from the domain's CA store when the stores' shared generation has
// changed, never per request. Reads the stores only: a verification changes
// no file, no entry and no generation. Used by the trust service's verify
// operation; not thread-safe (the service runs it on its receiving thread).
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <openssl/x509_vfy.h>

#include "ev_common/cyber/ca_certificate_store.hpp"
#include "ev_common/cyber/certificate_profile.hpp"
#include "ev_common/cyber/chain_status.hpp"

namespace ev_common {

class ChainVerifier {
public:
    // Bounds of a caller's chain, checked before anything is parsed. A real
    // chain is a few kilobytes (OCPP carries at most 10,000 characters).
    static constexpr std::size_t kMaxTextSize = 64 * 1024;
    static constexpr std::size_t kMaxCertificates = 10;
    // The largest max_intermediates a caller may ask for.
    static constexpr unsigned kMaxIntermediatesLimit = 8;

    struct Options {
        // Checked against the leaf: a DNS subjectAltName, else the common name.
        std::optional<std::string> hostname;
        // Seconds since 1970 to verify at instead of now.
        std::optional<std::int64_t> at;
        CertificateProfile profile = CertificateProfile::none;
        // Certificates between the leaf and the root; a profile's own limit
        // applies as well.
        std::optional<unsigned> maxIntermediates;
    };

    struct ChainEntry {
        std::string subject;  // one-line form
        std::string serial;   // lower-case hex without leading zeros
        std::string sha256;   // fingerprint of the DER, lower-case hex
        std::int64_t notAfter = 0;
    };

    // The root (or, in a domain that holds one, the intermediate) that
    // anchored the chain.
    struct Anchor {
        std::uint32_t id = 0;
        std::string name;
        std::string domain;
    };

    struct Result {
        ChainStatus status = ChainStatus::invalid_input;
        // libcrypto's text of the error, the profile rule that failed, or why
        // the input was refused. Printable: caller text in it is bounded.
        std::string reason;
        // Position in the chain of the certificate the status is about (0:
        // the leaf); of the anchor for a valid chain.
        int depth = 0;
        std::optional<Anchor> anchor;
        // The certificates used, leaf first; as far as the chain was built
        // when it failed.
        std::vector<ChainEntry> chain;
    };

    ChainVerifier();
    ~ChainVerifier();
    ChainVerifier(const ChainVerifier&) = delete;
    ChainVerifier& operator=(const ChainVerifier&) = delete;

    // The store is not owned and must outlive the verifier; all stores share
    // one generation (certificate_table.hpp).
    void addDomain(const std::string& name, ICaCertificateStore* store);

    // `domains`: comma-separated names, tried in that order. The first domain
    // in which the chain is valid answers; otherwise the first whose roots
    // anchored the chain (its failure says most), else issuer_not_found.
    // `now` in seconds since 1970.
    Result verify(const std::string& domains, const std::string& pem, const Options& options,
                  std::int64_t now);

    // How many X509_STOREs were built so far.
    std::uint64_t storeBuilds() const { return storeBuilds_; }

private:
    struct StoreFree {
        void operator()(X509_STORE* store) const { X509_STORE_free(store); }
    };
    struct Domain {
        std::string name;
        ICaCertificateStore* store = nullptr;
        std::unique_ptr<X509_STORE, StoreFree> trust;
        std::optional<std::uint64_t> generation;
        // By SHA-256 fingerprint.
        std::map<std::string, Anchor> anchors;
    };
    struct Chain;

    Domain* find(const std::string& name);
    void refresh(Domain& domain);
    Result attempt(Domain& domain, const Chain& chain, const Options& options, std::int64_t time);

    std::vector<Domain> domains_;
    std::uint64_t storeBuilds_ = 0;
};

}  // namespace ev_common
