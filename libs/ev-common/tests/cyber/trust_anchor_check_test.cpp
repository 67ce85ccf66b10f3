// What may become a trust anchor of a domain: every refusal names its check,
// and the ISO 15118 limits apply only where the domain's rules ask for them.
#include "ev_common/cyber/trust_anchor_check.hpp"

#include "ev_common/cyber/certificate_profile.hpp"

#include <gtest/gtest.h>
#include <openssl/objects.h>

#include <optional>
#include <string>
#include <vector>

#include "test_chain.hpp"
#include "test_pki.hpp"

using ev_common::Certificate;
using ev_common::TrustAnchorRules;
using CP = ev_common::CertificateProfile;
using namespace x509_test;

namespace {

// 2030-06-01T00:00:00Z, inside the profiles' default validity (2024-2034).
constexpr std::int64_t kNow = 1906502400;

const Extensions kCa = {{NID_basic_constraints, "critical,CA:TRUE"},
                        {NID_key_usage, "critical,keyCertSign,cRLSign"}};

struct Case {
    const char* what;
    std::string pem;
    bool iso15118;
    std::optional<std::string> refusal;
};

std::string issue(CertProfile profile) {
    return toPem(makeCertificate(profile).get());
}

}  // namespace

TEST(TrustAnchorCheck, AcceptsOnlySelfSignedCasWithinTheirValidityAndTheIso15118Limits) {
    const KeyPtr ec = ecKey();
    const KeyPtr other = ecKey();
    const KeyPtr p384(EVP_EC_gen("P-384"));
    ASSERT_NE(p384, nullptr);

    CertProfile root;
    root.subject = {{"CN", "Root"}};
    root.extensions = kCa;
    root.subjectKey = ec.get();
    CertProfile rsaRoot = root;
    rsaRoot.subjectKey = rsaKey();
    CertProfile p384Root = root;
    p384Root.subjectKey = p384.get();
    CertProfile leaf = root;
    leaf.extensions = {{NID_basic_constraints, "critical,CA:FALSE"}};
    CertProfile bare = root;
    bare.extensions = {};
    CertProfile noKeyUsage = root;
    noKeyUsage.extensions = {kCa.front()};
    CertProfile cannotSign = root;
    cannotSign.extensions = {kCa.front(), {NID_key_usage, "critical,digitalSignature,cRLSign"}};
    CertProfile intermediate = root;
    intermediate.subject = {{"CN", "Sub CA"}};
    intermediate.issuer = {{"CN", "Root"}};
    intermediate.signingKey = other.get();
    CertProfile forged = root;
    forged.signingKey = other.get();
    CertProfile expired = root;
    expired.notAfter = "20300531235959Z";
    CertProfile lastSecond = root;
    lastSecond.notAfter = "20300601000000Z";
    CertProfile early = root;
    early.notBefore = "20300601000001Z";
    CertProfile large = root;
    large.extensions.push_back({NID_netscape_comment, std::string(700, 'x')});

    const std::vector<Case> cases = {
        {"EC root", issue(root), true, std::nullopt},
        {"RSA root, general rules", issue(rsaRoot), false, std::nullopt},
        {"RSA root, ISO 15118", issue(rsaRoot), true,
         "fits neither ISO 15118-2 (not an ECDSA P-256 key) nor ISO 15118-20 (neither an ECDSA "
         "secp521r1 nor an Ed448 key)"},
        {"P-384 root, ISO 15118", issue(p384Root), true,
         "fits neither ISO 15118-2 (not an ECDSA P-256 key) nor ISO 15118-20 (neither an ECDSA "
         "secp521r1 nor an Ed448 key)"},
        {"leaf, CA:FALSE", issue(leaf), false,
         "not a CA certificate (no basicConstraints CA:TRUE)"},
        {"no basicConstraints", issue(bare), false,
         "not a CA certificate (no basicConstraints CA:TRUE)"},
        {"CA without keyUsage", issue(noKeyUsage), true, std::nullopt},
        {"keyUsage without keyCertSign", issue(cannotSign), false,
         "cannot sign certificates (keyUsage without keyCertSign)"},
        {"intermediate", issue(intermediate), false,
         "not self-signed (the issuer is not the subject)"},
        {"own name, other key", issue(forged), false,
         "not self-signed (the signature does not verify with its own key)"},
        {"expired", issue(expired), false, "expired on 2030-05-31T23:59:59Z"},
        {"valid through its last second", issue(lastSecond), true, std::nullopt},
        {"not yet valid", issue(early), false, "not valid before 2030-06-01T00:00:01Z"},
        {"large root, general rules", issue(large), false, std::nullopt},
        {"two certificates", issue(root) + issue(rsaRoot), false,
         "the text holds 2 PEM blocks, not one certificate"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const Certificate certificate(c.pem);
        ASSERT_TRUE(certificate.valid());
        TrustAnchorRules rules;
        rules.iso15118 = c.iso15118;
        EXPECT_EQ(ev_common::trustAnchorRefusal(certificate, rules, kNow), c.refusal);
    }

    // The refusal says how large the root is.
    TrustAnchorRules iso;
    iso.iso15118 = true;
    const auto oversize = ev_common::trustAnchorRefusal(Certificate(issue(large)), iso, kNow);
    ASSERT_TRUE(oversize.has_value());
    EXPECT_NE(oversize->find(" bytes of DER, more than 800"), std::string::npos) << *oversize;
}

TEST(TrustAnchorCheck, TheIso15118DomainsAreV2gMoAndOem) {
    for (const char* domain : {"v2g", "mo", "oem"}) {
        EXPECT_TRUE(ev_common::trustAnchorRulesFor(domain).iso15118) << domain;
    }
    for (const char* domain : {"csms", "manufacturer", "system", "v2g2", "MO"}) {
        EXPECT_FALSE(ev_common::trustAnchorRulesFor(domain).iso15118) << domain;
    }
}

// ISO 15118-2 (P-256, ecdsa-with-SHA256, 800 bytes) or ISO 15118-20 (P-521
// with ecdsa-with-SHA512 or Ed448, 1600 bytes), each to its last byte.
TEST(TrustAnchorCheck, AnIso15118RootFitsEitherProfileUpToItsSize) {
    const KeyPtr p521(EVP_EC_gen("P-521"));
    const KeyPtr ed448(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED448"));
    ASSERT_NE(p521, nullptr);
    ASSERT_NE(ed448, nullptr);
    CertProfile p521Profile;
    p521Profile.subjectKey = p521.get();
    p521Profile.digest = EVP_sha512();
    CertProfile p521Sha256 = p521Profile;
    p521Sha256.digest = EVP_sha256();
    CertProfile ed448Profile;
    ed448Profile.subjectKey = ed448.get();
    ed448Profile.digest = nullptr;
    struct Fit {
        const char* what;
        Party root;
        std::optional<ev_common::CertificateProfile> profile;
    };
    std::vector<Fit> fits;
    fits.push_back({"P-256, 800 bytes", issueSizedParty("V2G 2", nullptr, 800), CP::iso15118_2});
    fits.push_back({"P-256, 801 bytes", issueSizedParty("V2G 2", nullptr, 801), std::nullopt});
    fits.push_back({"P-521, 1600 bytes", issueSizedParty("V2G 20", nullptr, 1600, p521Profile),
                    CP::iso15118_20});
    fits.push_back(
        {"P-521, 1601 bytes", issueSizedParty("V2G 20", nullptr, 1601, p521Profile), std::nullopt});
    fits.push_back(
        {"P-521 signed with SHA-256", issueParty("V2G 20", nullptr, p521Sha256), std::nullopt});
    fits.push_back({"Ed448", issueParty("V2G 20", nullptr, ed448Profile), CP::iso15118_20});
    TrustAnchorRules rules;
    rules.iso15118 = true;
    for (const auto& fit : fits) {
        SCOPED_TRACE(fit.what);
        std::string why;
        EXPECT_EQ(ev_common::anchorProfile(fit.root.certificate.get(), &why), fit.profile) << why;
        const auto refusal =
            ev_common::trustAnchorRefusal(Certificate(fit.root.pem()), rules, kNow);
        EXPECT_EQ(refusal.has_value(), !fit.profile.has_value());
        if (refusal) {
            EXPECT_EQ(refusal->rfind("fits neither ISO 15118-2 (", 0), 0u) << *refusal;
        }
    }
    const auto big = ev_common::trustAnchorRefusal(Certificate(fits[3].root.pem()), rules, kNow);
    ASSERT_TRUE(big.has_value());
    EXPECT_NE(big->find("ISO 15118-20 (1601 bytes of DER, more than 1600)"), std::string::npos)
        << *big;
}

// A csms root signed by a root the domain holds passes like a self-signed
// one; where only the current root may sign, a self-signed one does not.
TEST(TrustAnchorCheck, ARootSignedByAHeldRootPassesWhereTheRulesAllowIt) {
    const Party a = issueParty("CSMS A", nullptr);
    const Party b = issueParty("CSMS B", &a);
    const Party other = issueParty("Other", nullptr);
    const Party c = issueParty("CSMS C", &other);
    const ev_common::IssuerIdentity held = ev_common::issuerIdentity(Certificate(a.pem()));

    TrustAnchorRules general;
    EXPECT_EQ(ev_common::trustAnchorRefusal(Certificate(b.pem()), general, kNow),
              "not self-signed (the issuer is not the subject)");
    TrustAnchorRules csms = ev_common::trustAnchorRulesFor("csms");
    EXPECT_TRUE(csms.heldRootsSign);
    csms.issuers = {held};
    EXPECT_EQ(ev_common::trustAnchorRefusal(Certificate(b.pem()), csms, kNow), std::nullopt);
    EXPECT_EQ(ev_common::trustAnchorRefusal(Certificate(a.pem()), csms, kNow), std::nullopt);
    EXPECT_EQ(ev_common::trustAnchorRefusal(Certificate(c.pem()), csms, kNow),
              "neither self-signed nor signed by a root of the domain");

    TrustAnchorRules rotation;
    rotation.issuers = {held};
    rotation.issuedOnly = true;
    rotation.issuersText = "the current CSMS root";
    EXPECT_EQ(ev_common::trustAnchorRefusal(Certificate(b.pem()), rotation, kNow), std::nullopt);
    for (const Party* refused : {&other, &c}) {
        EXPECT_EQ(ev_common::trustAnchorRefusal(Certificate(refused->pem()), rotation, kNow),
                  "not signed by the current CSMS root");
    }
}
