// What the CA store keeps of each certificate beyond its listing entry, for
// clients that need more than the listing: the issuer, serial, validity,
// fingerprint, CA flags and the OCPP CertificateHashData by which a central
// system names a certificate. Computed once when a certificate enters the
// store, so that answering never reads or parses a file.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "ev_common/cyber/certificate.hpp"

namespace ev_common {

// One OCPP CertificateHashData; every value is lower-case hex.
struct OcppHashData {
    std::string hashAlgorithm;   // "SHA256", "SHA384" or "SHA512"
    std::string issuerNameHash;  // of the DER of the issuer Name
    std::string issuerKeyHash;   // of the issuer's subjectPublicKey BIT STRING value
    std::string serialNumber;    // as CertificateDetails::serial
};

struct CertificateDetails {
    std::string issuer;  // one-line issuer name, the same form as the subject
    std::string serial;  // lower-case hex, no leading zeros, "0" for zero
    std::int64_t notBefore = 0;
    std::int64_t notAfter = 0;
    std::string sha256;  // lower-case hex fingerprint of the DER
    bool isCa = false;   // basicConstraints cA
    bool selfSigned = false;
    // One entry per algorithm of ocppHashAlgorithms(), in that order; empty
    // while the issuer's key is unknown.
    std::vector<OcppHashData> ocpp;
};

// "SHA256", "SHA384", "SHA512".
const std::vector<std::string>& ocppHashAlgorithms();

// The content octets of an INTEGER as lower-case hex without leading zeros.
std::string serialNumberHex(const std::vector<std::uint8_t>& content);

// Everything but the OCPP hash data, which need the issuer's key.
CertificateDetails describeCertificate(const Certificate& certificate);

// How a certificate is recognised as the issuer of others: its subject Name
// and its SubjectPublicKeyInfo, both DER. The store keeps it for every entry.
struct IssuerIdentity {
    std::vector<std::uint8_t> subjectDer;
    std::vector<std::uint8_t> publicKeyInfoDer;
};

IssuerIdentity issuerIdentity(const Certificate& certificate);

// Two DER Names that name the same entity (libcrypto's comparison, which
// ignores case and the string types); false when either does not decode.
bool sameName(const std::vector<std::uint8_t>& first, const std::vector<std::uint8_t>& second);

// True when `issuer` is named as the issuer of `subject` and its key verifies
// the signature of `subject`.
bool isIssuedBy(const Certificate& subject, const IssuerIdentity& issuer);

// The hash data of `certificate` issued by the holder of `issuer`'s key (the
// certificate's own identity when it is self-signed); empty when that key
// does not decode.
std::vector<OcppHashData> ocppHashData(const Certificate& certificate,
                                       const IssuerIdentity& issuer);

}  // namespace ev_common
