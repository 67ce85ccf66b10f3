// What may become a trust anchor of a domain: every refusal names its check,
// and the ISO 15118 limits apply only where the domain's rules ask for them.
#include "ev_common/cyber/trust_anchor_check.hpp"

#include <gtest/gtest.h>
#include <openssl/objects.h>

#include <optional>
#include <string>
#include <vector>

#include "test_pki.hpp"

using ev_common::Certificate;
using ev_common::TrustAnchorRules;
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
        {"RSA root, ISO 15118", issue(rsaRoot), true, "not an ECDSA P-256 key (rsaEncryption)"},
        {"P-384 root, ISO 15118", issue(p384Root), true,
         "not an ECDSA P-256 key (id-ecPublicKey secp384r1)"},
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
    const auto oversize = ev_common::trustAnchorRefusal(Certificate(issue(large)), {true}, kNow);
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
