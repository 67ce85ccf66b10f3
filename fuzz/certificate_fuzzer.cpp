// Builds an ev_common::Certificate from arbitrary bytes, read as PEM text and
// as DER, then reads every field, copies and moves it, and runs the checks
// that need no key from outside: the chain of the text's blocks and a
// signature check with the certificate's own key. Client PEM text reaches
// exactly this code when a certificate is added.
#include "ev_common/cyber/certificate.hpp"

#include <openssl/x509.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace {

using ev_common::Certificate;
using ev_common::DigestAlgorithm;

// Every accessor, folded into one number so that nothing is optimised away.
std::size_t readAll(const Certificate& c) {
    std::size_t sum = c.valid() + c.text().size() + c.subjectText().size() +
                      c.signatureAlgorithm().size() + c.signatureDigest().size();
    for (const auto* name : {&c.subject(), &c.issuer()}) {
        sum += name->country.size() + name->stateOrProvince.size() + name->locality.size() +
               name->organization.size() + name->organizationalUnit.size() +
               name->commonName.size() + name->emailAddress.size();
    }
    const auto& key = c.publicKey();
    sum += key.keyData.size() + key.spkiDer.size() + key.keyHex.size() + key.keyHexCompact.size() +
           static_cast<std::size_t>(key.keySize) + key.keyType.size() + key.curveName.size();
    const auto& constraints = c.basicConstraints();
    sum += constraints.present + constraints.ca + static_cast<std::size_t>(constraints.pathLength);
    for (const auto* list : {&c.issuerAltNames(), &c.subjectAltNames(), &c.caIssuers(),
                             &c.ocspResponders(), &c.extensionNames(), &c.pemBlocks()}) {
        for (const auto& entry : *list) sum += entry.size();
    }
    sum += c.serialNumber().size() + c.serialHex().size() + c.serialHexCompact().size();
    sum += static_cast<std::size_t>(c.notBefore()) + static_cast<std::size_t>(c.notAfter());
    sum += c.issuerText().size() + c.issuerDer().size() + c.selfSigned();
    if (c.handle() != nullptr) {
        sum += ev_common::nameToText(X509_get_subject_name(c.handle())).size();
        sum += static_cast<std::size_t>(ev_common::asn1TimeToEpoch(X509_get0_notAfter(c.handle())));
    }
    for (const auto& link : c.chain()) sum += link.valid() + link.subjectText().size();
    return sum;
}

void exercise(const Certificate& certificate, const std::uint8_t* data, std::size_t size) {
    volatile std::size_t sink = readAll(certificate);
    Certificate copy(certificate);
    Certificate moved(std::move(copy));
    copy = moved;
    sink = sink + readAll(copy) + moved.verifyChain() + certificate.verify(certificate.chain());
    // The input's first bytes as a signature over the rest.
    const std::size_t split = size < 64 ? size / 2 : 64;
    const std::vector<std::uint8_t> signature(data, data + split);
    for (const auto digest : {DigestAlgorithm::sha256, DigestAlgorithm::sha384,
                              DigestAlgorithm::sha512, static_cast<DigestAlgorithm>(7)}) {
        sink = sink + certificate.verifySignature(signature, data + split, size - split, digest);
    }
    (void)sink;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    exercise(Certificate(std::string(reinterpret_cast<const char*>(data), size)), data, size);
    exercise(Certificate(std::vector<std::uint8_t>(data, data + size)), data, size);
    return 0;
}
