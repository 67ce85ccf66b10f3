// What the store keeps of a certificate for its clients: serial, dates from
// 1950 past 2106, fingerprint, CA flags, and the OCPP hash data of the issuer
// Name DER and the issuer's key bits, checked against libcrypto's own
// encodings of the same certificates.
#include "ev_common/cyber/certificate_details.hpp"

#include "test_pki.hpp"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <array>
#include <utility>

using namespace x509_test;
using ev_common::Certificate;

namespace {

std::string digestHex(const EVP_MD* md, const unsigned char* data, std::size_t size) {
    std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
    unsigned int length = 0;
    EXPECT_EQ(EVP_Digest(data, size, digest.data(), &length, md, nullptr), 1);
    return ev_common::bytesToHex(digest.data(), length, "");
}

std::vector<std::uint8_t> nameDer(const X509_NAME* name) {
    unsigned char* der = nullptr;
    const int length = i2d_X509_NAME(name, &der);
    std::vector<std::uint8_t> bytes(der, der + std::max(length, 0));
    OPENSSL_free(der);
    return bytes;
}

std::vector<std::uint8_t> nameDer(const NameEntries& entries) {
    CertProfile profile;
    profile.subject = entries;
    KeyPtr key = ecKey();
    profile.subjectKey = key.get();
    return nameDer(X509_get_subject_name(makeCertificate(profile).get()));
}

}  // namespace

TEST(CertificateDetails, SerialsLoseTheirLeadingZerosButZeroStaysZero) {
    const std::pair<std::vector<std::uint8_t>, const char*> cases[] = {
        {{}, "0"},
        {{0x00}, "0"},
        {{0x05}, "5"},
        {{0x0a, 0xff}, "aff"},
        {{0x01, 0x00}, "100"},
        {{0x00, 0x80}, "80"},
    };
    for (const auto& [content, hex] : cases) EXPECT_EQ(ev_common::serialNumberHex(content), hex);
}

TEST(CertificateDetails, DescribesDatesFrom1950PastTheYear2106AndTheFingerprintOfTheDer) {
    KeyPtr key = ecKey();
    CertProfile root;
    root.subject = {{"O", "Old"}, {"CN", "Old root"}};
    root.serial = {0x0a, 0xbc};
    root.notBefore = "19500101000000Z";
    root.notAfter = "22000101000000Z";
    root.extensions = {{NID_basic_constraints, "critical,CA:TRUE"}};
    root.subjectKey = key.get();
    const CertPtr x509 = makeCertificate(root);
    const Certificate certificate(toPem(x509.get()));

    const auto details = ev_common::describeCertificate(certificate);
    EXPECT_EQ(details.issuer, "O = Old, CN = Old root");
    EXPECT_EQ(details.serial, "abc");
    EXPECT_EQ(details.notBefore, INT64_C(-631152000));
    EXPECT_EQ(details.notAfter, INT64_C(7258118400));
    const auto der = toDer(x509.get());
    EXPECT_EQ(details.sha256, digestHex(EVP_sha256(), der.data(), der.size()));
    EXPECT_TRUE(details.isCa);
    EXPECT_TRUE(details.selfSigned);
    EXPECT_TRUE(details.ocpp.empty()) << "the issuer's key is the store's to find";

    CertProfile leaf;
    leaf.subject = {{"CN", "leaf"}};
    leaf.issuer = {{"CN", "elsewhere"}};
    leaf.subjectKey = key.get();
    const auto leafDetails =
        ev_common::describeCertificate(Certificate(toPem(makeCertificate(leaf).get())));
    EXPECT_FALSE(leafDetails.isCa);
    EXPECT_FALSE(leafDetails.selfSigned);
    EXPECT_EQ(leafDetails.serial, "1");
}

TEST(CertificateDetails, HashDataNameTheIssuerByItsNameDerAndItsKeyBits) {
    KeyPtr rootKey = ecKey();
    KeyPtr otherKey = ecKey();
    CertProfile rootProfile;
    rootProfile.subject = {{"O", "Test"}, {"CN", "Root"}};
    rootProfile.subjectKey = rootKey.get();
    const CertPtr rootX509 = makeCertificate(rootProfile);
    CertProfile impostorProfile = rootProfile;
    impostorProfile.subjectKey = otherKey.get();
    CertProfile intermediateProfile;
    intermediateProfile.subject = {{"O", "Test"}, {"CN", "Intermediate"}};
    intermediateProfile.issuer = rootProfile.subject;
    intermediateProfile.serial = {0x00, 0x42};
    intermediateProfile.subjectKey = otherKey.get();
    intermediateProfile.signingKey = rootKey.get();
    const CertPtr intermediateX509 = makeCertificate(intermediateProfile);

    const Certificate root(toPem(rootX509.get()));
    const Certificate impostor(toPem(makeCertificate(impostorProfile).get()));
    const Certificate intermediate(toPem(intermediateX509.get()));
    EXPECT_TRUE(ev_common::isIssuedBy(intermediate, ev_common::issuerIdentity(root)));
    EXPECT_FALSE(ev_common::isIssuedBy(intermediate, ev_common::issuerIdentity(impostor)));
    EXPECT_FALSE(ev_common::isIssuedBy(root, ev_common::issuerIdentity(intermediate)));

    const auto hashData = ev_common::ocppHashData(intermediate, ev_common::issuerIdentity(root));
    ASSERT_EQ(hashData.size(), 3u);
    const auto issuerName = nameDer(X509_get_issuer_name(intermediateX509.get()));
    const ASN1_BIT_STRING* keyBits = X509_get0_pubkey_bitstr(rootX509.get());
    const std::pair<const char*, const EVP_MD*> algorithms[] = {
        {"SHA256", EVP_sha256()}, {"SHA384", EVP_sha384()}, {"SHA512", EVP_sha512()}};
    for (std::size_t i = 0; i < 3; ++i) {
        const auto& [name, md] = algorithms[i];
        EXPECT_EQ(hashData[i].hashAlgorithm, name);
        EXPECT_EQ(hashData[i].issuerNameHash, digestHex(md, issuerName.data(), issuerName.size()));
        EXPECT_EQ(hashData[i].issuerKeyHash,
                  digestHex(md, ASN1_STRING_get0_data(keyBits),
                            static_cast<std::size_t>(ASN1_STRING_length(keyBits))));
        EXPECT_EQ(hashData[i].serialNumber, "42");
    }
    EXPECT_TRUE(ev_common::ocppHashData(intermediate, {}).empty());
}

TEST(CertificateDetails, NamesMatchRegardlessOfCaseAndSpacingButNotOfContent) {
    const auto root = nameDer({{"O", "Test"}, {"CN", "Root CA"}});
    EXPECT_TRUE(ev_common::sameName(root, root));
    EXPECT_TRUE(ev_common::sameName(root, nameDer({{"O", "TEST"}, {"CN", "root  ca"}})));
    EXPECT_FALSE(ev_common::sameName(root, nameDer({{"O", "Test"}, {"CN", "Root CB"}})));
    EXPECT_FALSE(ev_common::sameName(root, {}));
    EXPECT_FALSE(ev_common::sameName({}, {}));
}
