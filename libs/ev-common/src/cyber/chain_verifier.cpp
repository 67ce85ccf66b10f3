#include "ev_common/cyber/chain_verifier.hpp"

#include <openssl/evp.h>
#include <openssl/pem.h>

#include <algorithm>
#include <string_view>

#include "ev_common/cyber/certificate_details.hpp"
#include "ev_common/cyber/openssl_free.hpp"
#include "ev_common/cyber/x509_document.hpp"
#include "ev_common/system/bounded_text.hpp"

namespace ev_common {

namespace {

constexpr std::string_view kBegin = "-----BEGIN CERTIFICATE-----";
constexpr std::string_view kEnd = "-----END CERTIFICATE-----";

using X509Ptr = std::unique_ptr<X509, openssl::X509Free>;

bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

ChainStatus statusOf(int error) {
    switch (error) {
        case X509_V_ERR_CERT_HAS_EXPIRED:
            return ChainStatus::expired;
        case X509_V_ERR_CERT_NOT_YET_VALID:
            return ChainStatus::not_yet_valid;
        case X509_V_ERR_CERT_SIGNATURE_FAILURE:
        case X509_V_ERR_UNABLE_TO_DECRYPT_CERT_SIGNATURE:
        case X509_V_ERR_UNABLE_TO_DECODE_ISSUER_PUBLIC_KEY:
            return ChainStatus::invalid_signature;
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
        case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
        case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
        case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
        case X509_V_ERR_CERT_UNTRUSTED:
            return ChainStatus::issuer_not_found;
        case X509_V_ERR_HOSTNAME_MISMATCH:
            return ChainStatus::hostname_mismatch;
        default:
            return ChainStatus::invalid_chain;
    }
}

std::string fingerprintOf(const X509* certificate) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (X509_digest(certificate, EVP_sha256(), digest, &size) != 1) return {};
    return bytesToHex(digest, size, "");
}

ChainVerifier::ChainEntry describe(const X509* certificate) {
    ChainVerifier::ChainEntry entry;
    entry.subject = nameToText(X509_get_subject_name(certificate));
    const ASN1_INTEGER* serial = X509_get0_serialNumber(certificate);
    const unsigned char* octets = ASN1_STRING_get0_data(serial);
    entry.serial =
        serialNumberHex(std::vector<std::uint8_t>(octets, octets + ASN1_STRING_length(serial)));
    entry.sha256 = fingerprintOf(certificate);
    entry.notAfter = asn1TimeToEpoch(X509_get0_notAfter(certificate));
    return entry;
}

ChainVerifier::Result refused(std::string reason) {
    ChainVerifier::Result result;
    result.status = ChainStatus::invalid_input;
    result.reason = std::move(reason);
    return result;
}

}  // namespace

// The caller's certificates: the leaf and its untrusted companions.
struct ChainVerifier::Chain {
    std::vector<X509Ptr> certificates;
};

namespace {

// Nothing but certificate blocks, separated by white space; the bounds are
// checked before anything is decoded, so that a huge or hostile text costs a
// scan at most.
std::optional<std::string> readChain(const std::string& text, std::vector<X509Ptr>& out) {
    if (text.size() > ChainVerifier::kMaxTextSize) {
        return "the chain is " + std::to_string(text.size()) + " bytes, more than " +
               std::to_string(ChainVerifier::kMaxTextSize);
    }
    if (text.find("PRIVATE KEY") != std::string::npos) {
        return std::string("the text holds a private key");
    }
    std::size_t position = 0;
    while (true) {
        while (position < text.size() && isSpace(text[position])) ++position;
        if (position == text.size()) break;
        const std::string_view rest = std::string_view(text).substr(position);
        if (rest.substr(0, kBegin.size()) != kBegin) {
            return "text outside the certificate blocks at byte " + std::to_string(position);
        }
        if (out.size() == ChainVerifier::kMaxCertificates) {
            return "more than " + std::to_string(ChainVerifier::kMaxCertificates) + " certificates";
        }
        const std::size_t end = text.find(kEnd, position);
        if (end == std::string::npos) {
            return "certificate " + std::to_string(out.size()) + " has no end line";
        }
        const std::size_t blockEnd = end + kEnd.size();
        const std::unique_ptr<BIO, openssl::BioFree> bio(
            BIO_new_mem_buf(text.data() + position, static_cast<int>(blockEnd - position)));
        X509Ptr certificate(bio ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr)
                                : nullptr);
        if (!certificate) {
            return "certificate " + std::to_string(out.size()) + " does not parse";
        }
        out.push_back(std::move(certificate));
        position = blockEnd;
    }
    if (out.empty()) return std::string("no certificate in the text");
    return std::nullopt;
}

}  // namespace

ChainVerifier::ChainVerifier() = default;
ChainVerifier::~ChainVerifier() = default;

void ChainVerifier::addDomain(const std::string& name, ICaCertificateStore* store) {
    Domain domain;
    domain.name = name;
    domain.store = store;
    domains_.push_back(std::move(domain));
}

ChainVerifier::Domain* ChainVerifier::find(const std::string& name) {
    for (auto& domain : domains_) {
        if (domain.name == name) return &domain;
    }
    return nullptr;
}

// Every certificate of the domain is a trust anchor. A domain that holds a
// certificate that is not self-signed (a root rotated under the old one)
// lets a chain end there: libcrypto's partial chains.
void ChainVerifier::refresh(Domain& domain) {
    const std::uint64_t generation = domain.store->generation();
    if (domain.trust && domain.generation == generation) return;
    std::unique_ptr<X509_STORE, StoreFree> trust(X509_STORE_new());
    std::map<std::string, Anchor> anchors;
    bool partial = false;
    for (const auto& info : domain.store->getCertificates()) {
        const auto certificate = domain.store->getCertificate(info.id);
        if (!certificate || !certificate->valid() || !trust) continue;
        if (X509_STORE_add_cert(trust.get(), certificate->handle()) != 1) continue;
        anchors[fingerprintOf(certificate->handle())] = Anchor{info.id, info.name, domain.name};
        partial = partial || !certificate->selfSigned();
    }
    if (trust && partial) X509_STORE_set_flags(trust.get(), X509_V_FLAG_PARTIAL_CHAIN);
    domain.trust = std::move(trust);
    domain.anchors = std::move(anchors);
    domain.generation = generation;
    ++storeBuilds_;
}

ChainVerifier::Result ChainVerifier::verify(const std::string& domains, const std::string& pem,
                                            const Options& options, std::int64_t now) {
    std::vector<Domain*> chosen;
    std::size_t start = 0;
    while (true) {
        const std::size_t comma = std::min(domains.find(',', start), domains.size());
        const std::string name = domains.substr(start, comma - start);
        Domain* domain = find(name);
        if (domain == nullptr) {
            return refused(name.empty() ? std::string("an empty trust domain name")
                                        : "unknown trust domain " + boundedText(name));
        }
        if (std::find(chosen.begin(), chosen.end(), domain) == chosen.end()) {
            chosen.push_back(domain);
        }
        if (comma == domains.size()) break;
        start = comma + 1;
    }
    if (options.maxIntermediates && *options.maxIntermediates > kMaxIntermediatesLimit) {
        return refused("max_intermediates above " + std::to_string(kMaxIntermediatesLimit));
    }
    Chain chain;
    if (auto error = readChain(pem, chain.certificates)) return refused(std::move(*error));

    const std::int64_t time = options.at.value_or(now);
    std::optional<Result> answer;
    for (Domain* domain : chosen) {
        Result result = attempt(*domain, chain, options, time);
        if (result.status == ChainStatus::valid) return result;
        if (!answer || (!answer->anchor && result.anchor)) answer = std::move(result);
    }
    return std::move(*answer);
}

ChainVerifier::Result ChainVerifier::attempt(Domain& domain, const Chain& chain,
                                             const Options& options, std::int64_t time) {
    refresh(domain);
    Result result;
    result.status = ChainStatus::invalid_chain;
    const std::unique_ptr<X509_STORE_CTX, openssl::StoreCtxFree> context(X509_STORE_CTX_new());
    const std::unique_ptr<STACK_OF(X509), openssl::StackFree> untrusted(sk_X509_new_null());
    if (!context || !untrusted || !domain.trust) {
        result.reason = "out of memory";
        return result;
    }
    for (std::size_t i = 1; i < chain.certificates.size(); ++i) {
        sk_X509_push(untrusted.get(), chain.certificates[i].get());
    }
    if (X509_STORE_CTX_init(context.get(), domain.trust.get(), chain.certificates.front().get(),
                            untrusted.get()) != 1) {
        result.reason = "out of memory";
        return result;
    }
    X509_VERIFY_PARAM* param = X509_STORE_CTX_get0_param(context.get());
    X509_VERIFY_PARAM_set_time(param, static_cast<time_t>(time));
    if (options.hostname) {
        X509_VERIFY_PARAM_set1_host(param, options.hostname->data(), options.hostname->size());
    }
    std::optional<unsigned> depth = options.maxIntermediates;
    if (const auto rules = certificateProfileRules(options.profile)) {
        depth = std::min(depth.value_or(rules->maxIntermediates), rules->maxIntermediates);
    }
    if (depth) X509_VERIFY_PARAM_set_depth(param, static_cast<int>(*depth));

    const bool verified = X509_verify_cert(context.get()) == 1;
    STACK_OF(X509)* built = X509_STORE_CTX_get0_chain(context.get());
    const int length = built != nullptr ? sk_X509_num(built) : 0;
    for (int i = 0; i < length; ++i) result.chain.push_back(describe(sk_X509_value(built, i)));
    // Certificates beyond the caller's came from the domain: the last is the anchor.
    if (length > X509_STORE_CTX_get_num_untrusted(context.get())) {
        const auto found = domain.anchors.find(result.chain.back().sha256);
        if (found != domain.anchors.end()) result.anchor = found->second;
    }
    if (verified) {
        result.status = ChainStatus::valid;
        result.reason = "ok";
        result.depth = length - 1;
    } else {
        const int error = X509_STORE_CTX_get_error(context.get());
        result.status = statusOf(error);
        result.reason = X509_verify_cert_error_string(error);
        result.depth = X509_STORE_CTX_get_error_depth(context.get());
    }
    // A chain that no root anchors goes on to the central system: it is
    // checked against the profile all the same.
    if (result.status != ChainStatus::valid && result.status != ChainStatus::issuer_not_found) {
        return result;
    }
    for (int i = 0; i < length; ++i) {
        if (auto violation = profileViolation(sk_X509_value(built, i), options.profile)) {
            result.status = ChainStatus::profile_violation;
            result.reason = std::string(certificateProfileName(options.profile)) +
                            ": certificate " + std::to_string(i) + ": " + *violation;
            result.depth = i;
            break;
        }
    }
    return result;
}

}  // namespace ev_common
