#include "ev_common/cyber/certificate.hpp"
#include "ev_common/cyber/x509_document.hpp"

#include "temp_dir.hpp"
#include "test_pki.hpp"

#include <gtest/gtest.h>
#include <openssl/x509v3.h>

#include <chrono>

using ev_common::Certificate;
using ev_common::DigestAlgorithm;
using namespace x509_test;

TEST(Asn1TimeToEpoch, IsExactFrom1950To9999WhateverTheWidthOfTimeT) {
    struct Case {
        const char* text;
        int type;
        int64_t epoch;
    };
    const Case cases[] = {
        {"500101000000Z", V_ASN1_UTCTIME, -631152000},  // 1950
        {"691231235959Z", V_ASN1_UTCTIME, -1},
        {"700101000000Z", V_ASN1_UTCTIME, 0},
        {"000229120000Z", V_ASN1_UTCTIME, 951825600},  // 2000 is a leap year
        {"380119031407Z", V_ASN1_UTCTIME, 2147483647},
        {"380119031408Z", V_ASN1_UTCTIME, 2147483648},
        {"20500101000000Z", V_ASN1_GENERALIZEDTIME, 2524608000},
        {"21000301000000Z", V_ASN1_GENERALIZEDTIME, 4107542400},  // 2100 is not
        {"99991231235959Z", V_ASN1_GENERALIZEDTIME, 253402300799},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        std::unique_ptr<ASN1_TIME, decltype(&ASN1_TIME_free)> time(ASN1_TIME_new(), ASN1_TIME_free);
        ASSERT_EQ(ASN1_TIME_set_string(time.get(), c.text), 1);
        ASSERT_EQ(ASN1_STRING_type(time.get()), c.type);
        EXPECT_EQ(ev_common::asn1TimeToEpoch(time.get()), c.epoch);
    }
    EXPECT_EQ(ev_common::asn1TimeToEpoch(nullptr), 0);
}

TEST(SignatureHelpers, RoundTripForEveryDigestAndRefuseATamperedByte) {
    const KeyPtr ec = ecKey();
    std::vector<uint8_t> data(3000);
    for (size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<uint8_t>(i * 7);
    }
    ev_test::TempDir dir;
    const std::filesystem::path file = dir.path() / "data.bin";
    ev_test::writeFile(file, std::string(data.begin(), data.end()));
    const std::filesystem::path tamperedFile = dir.path() / "tampered.bin";
    std::vector<uint8_t> tampered = data;
    tampered[2500] ^= 0x01;  // in the third 1024-byte chunk
    ev_test::writeFile(tamperedFile, std::string(tampered.begin(), tampered.end()));

    for (EVP_PKEY* key : {rsaKey(0), ec.get()}) {
        for (DigestAlgorithm digest :
             {DigestAlgorithm::sha256, DigestAlgorithm::sha384, DigestAlgorithm::sha512}) {
            SCOPED_TRACE(std::to_string(EVP_PKEY_get_base_id(key)) + "/" +
                         std::to_string(static_cast<int>(digest)));
            const auto signature = ev_common::signData(data.data(), data.size(), digest, key);
            ASSERT_FALSE(signature.empty());
            EXPECT_LE(signature.size(), static_cast<size_t>(EVP_PKEY_get_size(key)));
            EXPECT_TRUE(ev_common::verifyData(signature, data.data(), data.size(), digest, key));
            EXPECT_FALSE(
                ev_common::verifyData(signature, tampered.data(), tampered.size(), digest, key));
            auto badSignature = signature;
            badSignature[badSignature.size() / 2] ^= 0x40;
            EXPECT_FALSE(
                ev_common::verifyData(badSignature, data.data(), data.size(), digest, key));

            // The chunked file form signs exactly the same bytes.
            const auto fileSignature = ev_common::signFile(file, digest, key);
            EXPECT_TRUE(
                ev_common::verifyData(fileSignature, data.data(), data.size(), digest, key));
            EXPECT_TRUE(ev_common::verifyFile(signature, file, digest, key));
            EXPECT_FALSE(ev_common::verifyFile(signature, tamperedFile, digest, key));
        }
        const auto sha384 =
            ev_common::signData(data.data(), data.size(), DigestAlgorithm::sha384, key);
        EXPECT_FALSE(
            ev_common::verifyData(sha384, data.data(), data.size(), DigestAlgorithm::sha512, key));
    }
    // RSA PKCS#1 v1.5 is deterministic, so chunking can be compared byte for byte.
    EXPECT_EQ(ev_common::signFile(file, DigestAlgorithm::sha256, rsaKey(0)),
              ev_common::signData(data.data(), data.size(), DigestAlgorithm::sha256, rsaKey(0)));
    // Values outside the enumeration select SHA-256.
    EXPECT_EQ(
        ev_common::signData(data.data(), data.size(), static_cast<DigestAlgorithm>(7), rsaKey(0)),
        ev_common::signData(data.data(), data.size(), DigestAlgorithm::sha256, rsaKey(0)));

    EXPECT_TRUE(ev_common::signData(nullptr, 0, DigestAlgorithm::sha256, ec.get()).empty());
    EXPECT_TRUE(
        ev_common::signData(data.data(), data.size(), DigestAlgorithm::sha256, nullptr).empty());
    EXPECT_FALSE(
        ev_common::verifyData({}, data.data(), data.size(), DigestAlgorithm::sha256, ec.get()));
    EXPECT_TRUE(
        ev_common::signFile(dir.path() / "missing", DigestAlgorithm::sha256, ec.get()).empty());
    EXPECT_FALSE(
        ev_common::verifyFile({1}, dir.path() / "missing", DigestAlgorithm::sha256, ec.get()));
}

TEST(SignatureHelpers, CertificateVerifiesWithItsOwnPublicKeyOnly) {
    const KeyPtr key = ecKey();
    const KeyPtr other = ecKey();
    CertProfile profile;
    profile.subjectKey = key.get();
    const Certificate certificate(toPem(makeCertificate(profile).get()));
    const std::string message = "firmware image";
    const auto signature =
        ev_common::signData(message.data(), message.size(), DigestAlgorithm::sha512, key.get());
    const auto foreign =
        ev_common::signData(message.data(), message.size(), DigestAlgorithm::sha512, other.get());
    EXPECT_TRUE(certificate.verifySignature(signature, message.data(), message.size(),
                                            DigestAlgorithm::sha512));
    EXPECT_FALSE(certificate.verifySignature(foreign, message.data(), message.size(),
                                             DigestAlgorithm::sha512));
    ev_test::TempDir dir;
    ev_test::writeFile(dir.path() / "m", message);
    EXPECT_TRUE(certificate.verifySignature(signature, dir.path() / "m", DigestAlgorithm::sha512));
    EXPECT_FALSE(
        Certificate(std::string())
            .verifySignature(signature, message.data(), message.size(), DigestAlgorithm::sha512));
}

TEST(CertificateIssue, SelfIssuesARootAndIssuesALeafThatVerifiesAgainstIt) {
    const KeyPtr rootKey = ecKey();
    const KeyPtr leafKey = ecKey();
    const auto rootRequest = makeRequest({{"O", "Example"}, {"CN", "Issued Root"}}, rootKey.get(),
                                         {{NID_basic_constraints, "critical,CA:TRUE,pathlen:1"},
                                          {NID_key_usage, "critical,keyCertSign,cRLSign"},
                                          {NID_subject_alt_name, "DNS:root.example"}});
    // 2020-01-01 to 2060-01-01: past 2038 even where time_t has 32 bits.
    const Certificate root = Certificate::issue(rootRequest.get(), nullptr, rootKey.get(),
                                                DigestAlgorithm::sha384, 1577836800, 2840140800);
    ASSERT_TRUE(root.valid());
    EXPECT_EQ(root.notBefore(), 1577836800);
    EXPECT_EQ(root.notAfter(), int64_t{2840140800});
    EXPECT_EQ(root.subjectText(), "O = Example, CN = Issued Root");
    EXPECT_TRUE(root.selfSigned());
    EXPECT_EQ(root.signatureDigest(), "SHA384");
    EXPECT_EQ(root.basicConstraints().pathLength, 1);
    EXPECT_EQ(root.subjectAltNames(), (std::vector<std::string>{"root.example"}));
    EXPECT_EQ(root.issuerAltNames(), (std::vector<std::string>{"root.example"}));
    EXPECT_EQ(root.extensionNames().back(), "X509v3 Issuer Alternative Name");
    EXPECT_EQ(X509_get_version(root.handle()), X509_VERSION_3);
    EXPECT_GE(root.serialNumber().size(), 16u);
    EXPECT_LE(root.serialNumber().size(), 20u);
    EXPECT_TRUE(root.verify({root}));

    const auto leafRequest = makeRequest({{"CN", "device-0001"}}, leafKey.get(),
                                         {{NID_subject_alt_name, "DNS:device.example"}});
    const Certificate leaf =
        Certificate::issue(leafRequest.get(), &root, rootKey.get(), DigestAlgorithm::sha256, 30);
    ASSERT_TRUE(leaf.valid());
    EXPECT_EQ(leaf.issuerText(), root.subjectText());
    EXPECT_FALSE(leaf.selfSigned());
    EXPECT_EQ(leaf.subjectAltNames(), (std::vector<std::string>{"device.example"}));
    EXPECT_EQ(leaf.issuerAltNames(), (std::vector<std::string>{"root.example"}));
    unsigned char* der = nullptr;
    const int derLength = i2d_PUBKEY(leafKey.get(), &der);
    EXPECT_EQ(leaf.publicKey().spkiDer,
              std::vector<uint8_t>(der, der + derLength));  // the request's key
    OPENSSL_free(der);
    EXPECT_EQ(leaf.notAfter() - leaf.notBefore(), 30 * 86400);
    const int64_t now = std::chrono::duration_cast<std::chrono::seconds>(
                            std::chrono::system_clock::now().time_since_epoch())
                            .count();
    EXPECT_LE(leaf.notBefore(), now);
    EXPECT_GT(leaf.notBefore(), now - 3600);
    EXPECT_NE(leaf.serialNumber(), root.serialNumber());
    EXPECT_TRUE(leaf.verify({root}));
    EXPECT_TRUE(Certificate(leaf.text() + root.text()).verifyChain());

    const Certificate withoutExtensions =
        Certificate::issue(makeRequest({{"CN", "plain"}}, leafKey.get(), {}).get(), nullptr,
                           leafKey.get(), DigestAlgorithm::sha512, 1);
    EXPECT_TRUE(withoutExtensions.valid());
    EXPECT_EQ(withoutExtensions.signatureDigest(), "SHA512");
    EXPECT_TRUE(withoutExtensions.extensionNames().empty());
    // Any digest value beyond the two named ones signs with SHA-512.
    for (const int other : {3, 7, -1}) {
        EXPECT_EQ(Certificate::issue(leafRequest.get(), &root, rootKey.get(),
                                     static_cast<DigestAlgorithm>(other), 1)
                      .signatureDigest(),
                  "SHA512")
            << other;
    }

    EXPECT_FALSE(
        Certificate::issue(nullptr, nullptr, rootKey.get(), DigestAlgorithm::sha256, 1).valid());
    EXPECT_FALSE(Certificate::issue(leafRequest.get(), nullptr, nullptr, DigestAlgorithm::sha256, 1)
                     .valid());
    const Certificate invalidIssuer(std::string{});
    EXPECT_FALSE(Certificate::issue(leafRequest.get(), &invalidIssuer, rootKey.get(),
                                    DigestAlgorithm::sha256, 1)
                     .valid());
}
