#include "ev_common/cyber/certificate.hpp"

#include "test_pki.hpp"

#include <gtest/gtest.h>
#include <openssl/x509v3.h>

using ev_common::Certificate;
using namespace x509_test;

namespace {

const NameEntries kLeafSubject{{"C", "DE"},
                               {"ST", "Hessen"},
                               {"L", "Frankfurt"},
                               {"O", "Example"},
                               {"OU", "First Unit"},
                               {"OU", "Second Unit"},
                               {"CN", "leaf.example"},
                               {"emailAddress", "pki@example.org"}};

Certificate rsaLeaf() {
    CertProfile profile;
    profile.subject = kLeafSubject;
    profile.issuer = {{"C", "DE"}, {"O", "Example"}, {"CN", "Example Issuing CA"}};
    profile.serial = {0x0a, 0xff};
    profile.notBefore = "20240229120000Z";
    profile.notAfter = "20500101000000Z";
    profile.subjectKey = rsaKey(0);
    profile.signingKey = rsaKey(1);
    profile.extensions = {
        {NID_subject_alt_name,
         "DNS:leaf.example, IP:10.1.2.3, IP:2001:db8::1, URI:https://leaf.example/"},
        {NID_info_access,
         "OCSP;URI:http://ocsp.example/, caIssuers;URI:http://ca.example/issuing.crt"},
    };
    return Certificate(toPem(makeCertificate(profile).get()));
}

}  // namespace

TEST(Certificate, ReadsNamesSerialTimesAndExtensionsOfAnRsaLeaf) {
    const Certificate leaf = rsaLeaf();
    ASSERT_TRUE(leaf.valid());

    EXPECT_EQ(leaf.subjectText(),
              "C = DE, ST = Hessen, L = Frankfurt, O = Example, OU = First Unit, OU = Second Unit, "
              "CN = leaf.example, emailAddress = pki@example.org");
    EXPECT_EQ(leaf.subject().country, "DE");
    EXPECT_EQ(leaf.subject().stateOrProvince, "Hessen");
    EXPECT_EQ(leaf.subject().locality, "Frankfurt");
    EXPECT_EQ(leaf.subject().organization, "Example");
    EXPECT_EQ(leaf.subject().organizationalUnit, "Second Unit");  // the later entry wins
    EXPECT_EQ(leaf.subject().commonName, "leaf.example");
    EXPECT_EQ(leaf.subject().emailAddress, "pki@example.org");

    EXPECT_EQ(leaf.issuerText(), "C = DE, O = Example, CN = Example Issuing CA");
    EXPECT_EQ(leaf.issuer().commonName, "Example Issuing CA");
    EXPECT_TRUE(leaf.issuer().organizationalUnit.empty());
    unsigned char* der = nullptr;
    const int derLength = i2d_X509_NAME(X509_get_issuer_name(leaf.handle()), &der);
    EXPECT_EQ(leaf.issuerDer(), std::vector<uint8_t>(der, der + derLength));
    OPENSSL_free(der);
    EXPECT_FALSE(leaf.selfSigned());

    EXPECT_EQ(leaf.serialNumber(), (std::vector<uint8_t>{0x0a, 0xff}));
    EXPECT_EQ(leaf.serialHex(), "0a:ff");
    EXPECT_EQ(leaf.serialHexCompact(), "0aff");

    EXPECT_EQ(leaf.notBefore(), 1709208000);          // 2024-02-29T12:00:00Z
    EXPECT_EQ(leaf.notAfter(), int64_t{2524608000});  // beyond 2^31
    EXPECT_GT(leaf.notAfter(), int64_t{1} << 31);

    EXPECT_EQ(leaf.subjectAltNames(), (std::vector<std::string>{"leaf.example", "10.1.2.3"}));
    EXPECT_TRUE(leaf.issuerAltNames().empty());
    EXPECT_EQ(leaf.ocspResponders(), (std::vector<std::string>{"http://ocsp.example/"}));
    EXPECT_EQ(leaf.caIssuers(), (std::vector<std::string>{"http://ca.example/issuing.crt"}));
    EXPECT_EQ(leaf.extensionNames(), (std::vector<std::string>{"X509v3 Subject Alternative Name",
                                                               "Authority Information Access"}));

    EXPECT_FALSE(leaf.basicConstraints().present);
    EXPECT_FALSE(leaf.basicConstraints().ca);
    EXPECT_EQ(leaf.basicConstraints().pathLength, 0);

    EXPECT_EQ(leaf.signatureAlgorithm(), "RSA-SHA256");
    EXPECT_EQ(leaf.signatureDigest(), "SHA256");
}

TEST(Certificate, DescribesAnRsaPublicKeyByTheSameBytesInEveryForm) {
    const Certificate leaf = rsaLeaf();
    const auto& key = leaf.publicKey();
    EXPECT_EQ(key.keyType, "rsaEncryption");
    EXPECT_EQ(key.keySize, 2048);
    EXPECT_TRUE(key.curveName.empty());

    const ASN1_BIT_STRING* bits = X509_get0_pubkey_bitstr(leaf.handle());
    const std::vector<uint8_t> expected(ASN1_STRING_get0_data(bits),
                                        ASN1_STRING_get0_data(bits) + ASN1_STRING_length(bits));
    EXPECT_EQ(key.keyData, expected);
    ASSERT_FALSE(key.keyData.empty());
    EXPECT_EQ(key.keyHexCompact.size(), 2 * expected.size());
    EXPECT_EQ(key.keyHex.size(), 3 * expected.size() - 1);
    EXPECT_EQ(key.keyHexCompact.substr(0, 4), "3082");  // RSAPublicKey SEQUENCE
    EXPECT_EQ(key.keyHex.substr(0, 6), "30:82:");
    EXPECT_NE(key.keyHex.back(), ':');

    unsigned char* der = nullptr;
    const int length = i2d_PUBKEY(X509_get0_pubkey(leaf.handle()), &der);
    EXPECT_EQ(key.spkiDer, std::vector<uint8_t>(der, der + length));
    OPENSSL_free(der);
}

TEST(Certificate, ReadsAnEcKeyAndEveryFormOfBasicConstraints) {
    const KeyPtr key = ecKey();
    CertProfile profile;
    profile.subjectKey = key.get();
    profile.serial = {0x05};

    profile.extensions = {{NID_basic_constraints, "critical,CA:TRUE"}};
    const Certificate caWithoutLength(toPem(makeCertificate(profile).get()));
    profile.extensions = {{NID_basic_constraints, "critical,CA:TRUE,pathlen:2"}};
    const Certificate caWithLength(toPem(makeCertificate(profile).get()));
    profile.extensions = {{NID_basic_constraints, "CA:FALSE"}};
    const Certificate endEntity(toPem(makeCertificate(profile).get()));

    ASSERT_TRUE(caWithoutLength.valid());
    EXPECT_EQ(caWithoutLength.publicKey().keyType, "id-ecPublicKey");
    EXPECT_EQ(caWithoutLength.publicKey().curveName, "prime256v1");
    EXPECT_EQ(caWithoutLength.publicKey().keySize, 256);
    EXPECT_EQ(caWithoutLength.publicKey().keyData.size(), 65u);  // uncompressed point
    EXPECT_EQ(caWithoutLength.publicKey().keyHexCompact.substr(0, 2), "04");
    EXPECT_EQ(caWithoutLength.signatureAlgorithm(), "ecdsa-with-SHA256");
    EXPECT_EQ(caWithoutLength.signatureDigest(), "SHA256");
    EXPECT_EQ(caWithoutLength.serialHex(), "05");
    EXPECT_EQ(caWithoutLength.serialHexCompact(), "05");
    EXPECT_TRUE(caWithoutLength.selfSigned());
    EXPECT_EQ(caWithoutLength.extensionNames(),
              (std::vector<std::string>{"X509v3 Basic Constraints"}));

    EXPECT_TRUE(caWithoutLength.basicConstraints().present);
    EXPECT_TRUE(caWithoutLength.basicConstraints().ca);
    EXPECT_EQ(caWithoutLength.basicConstraints().pathLength, 0);

    EXPECT_TRUE(caWithLength.basicConstraints().present);
    EXPECT_TRUE(caWithLength.basicConstraints().ca);
    EXPECT_EQ(caWithLength.basicConstraints().pathLength, 2);

    EXPECT_TRUE(endEntity.basicConstraints().present);
    EXPECT_FALSE(endEntity.basicConstraints().ca);
    EXPECT_EQ(endEntity.basicConstraints().pathLength, 0);
}

TEST(Certificate, CallsASelfIssuedCertificateSelfSignedEvenWhenAnotherKeySignedIt) {
    const KeyPtr subjectKey = ecKey();
    const KeyPtr otherKey = ecKey();
    CertProfile profile;
    profile.subject = {{"O", "Example"}, {"CN", "Same Name"}};
    profile.issuer = profile.subject;
    profile.subjectKey = subjectKey.get();
    profile.signingKey = otherKey.get();
    const Certificate certificate(toPem(makeCertificate(profile).get()));
    ASSERT_TRUE(certificate.valid());
    EXPECT_TRUE(certificate.selfSigned());
}

TEST(Certificate, TakesIssuerAndSubjectAlternativeNamesAsDnsEmailAndIpv4Only) {
    const KeyPtr key = ecKey();
    CertProfile profile;
    profile.subjectKey = key.get();
    profile.extensions = {
        {NID_issuer_alt_name, "email:ca@example.org, URI:http://ca.example/, IP:192.168.0.1"},
        {NID_subject_alt_name, "IP:::1, DNS:a.example, DNS:b.example"},
    };
    const Certificate certificate(toPem(makeCertificate(profile).get()));
    EXPECT_EQ(certificate.issuerAltNames(),
              (std::vector<std::string>{"ca@example.org", "192.168.0.1"}));
    EXPECT_EQ(certificate.subjectAltNames(), (std::vector<std::string>{"a.example", "b.example"}));
    EXPECT_EQ(certificate.extensionNames(),
              (std::vector<std::string>{"X509v3 Issuer Alternative Name",
                                        "X509v3 Subject Alternative Name"}));
}
