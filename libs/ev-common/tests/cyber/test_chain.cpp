#include "test_chain.hpp"

#include <openssl/objects.h>
#include <openssl/x509.h>

#include <stdexcept>

namespace x509_test {

const Extensions kChainCa = {{NID_basic_constraints, "critical,CA:TRUE"},
                             {NID_key_usage, "critical,keyCertSign,cRLSign"}};
const Extensions kChainLeaf = {{NID_basic_constraints, "critical,CA:FALSE"},
                               {NID_key_usage, "critical,digitalSignature"}};

Party issueParty(const std::string& commonName, const Party* issuer, CertProfile profile) {
    Party party;
    if (profile.subjectKey == nullptr) {
        party.ownKey = ecKey();
        profile.subjectKey = party.ownKey.get();
    }
    party.key = profile.subjectKey;
    profile.subject = {{"CN", commonName}};
    party.name = profile.subject;
    if (profile.extensions.empty()) profile.extensions = kChainCa;
    if (issuer != nullptr) {
        profile.issuer = issuer->name;
        profile.signingKey = issuer->key;
    }
    party.certificate = makeCertificate(profile);
    return party;
}

Party issueSizedParty(const std::string& commonName, const Party* issuer, std::size_t size,
                      CertProfile profile) {
    // ECDSA signatures vary by a byte or two: sign again until it fits.
    std::size_t padding = 1;
    for (int attempt = 0; attempt < 500; ++attempt) {
        CertProfile padded = profile;
        if (padded.extensions.empty()) padded.extensions = kChainCa;
        padded.extensions.push_back({NID_netscape_comment, std::string(padding, 'p')});
        Party party = issueParty(commonName, issuer, padded);
        const std::size_t der = toDer(party.certificate.get()).size();
        if (der == size) return party;
        if (der < size) padding += std::min<std::size_t>(size - der, 100);
        if (der > size) padding -= std::min(padding - 1, der - size);
    }
    throw std::runtime_error("test chain: no certificate of the size asked for");
}

std::string tamperedPem(const X509* certificate) {
    std::vector<uint8_t> der = toDer(certificate);
    // The last bytes hold the signature value's s.
    der[der.size() - 4] ^= 0x01;
    const unsigned char* data = der.data();
    const CertPtr changed(d2i_X509(nullptr, &data, static_cast<long>(der.size())));
    if (!changed) throw std::runtime_error("test chain: tampered certificate does not decode");
    return toPem(changed.get());
}

}  // namespace x509_test
