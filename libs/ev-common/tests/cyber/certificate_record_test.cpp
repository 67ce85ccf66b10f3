#include "ev_common/cyber/certificate.hpp"

#include "temp_dir.hpp"
#include "test_pki.hpp"

#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>

#include <type_traits>

using ev_common::Certificate;
using namespace x509_test;

namespace {

std::string pemWithName(const std::string& commonName, EVP_PKEY* key) {
    CertProfile profile;
    profile.subject = {{"CN", commonName}};
    profile.subjectKey = key;
    return toPem(makeCertificate(profile).get());
}

void expectEmptyAndInvalid(const Certificate& c) {
    EXPECT_FALSE(c.valid());
    EXPECT_EQ(c.handle(), nullptr);
    EXPECT_TRUE(c.subjectText().empty());
    EXPECT_TRUE(c.issuerText().empty());
    EXPECT_TRUE(c.subject().commonName.empty());
    EXPECT_TRUE(c.serialNumber().empty());
    EXPECT_TRUE(c.serialHex().empty());
    EXPECT_EQ(c.notBefore(), 0);
    EXPECT_EQ(c.notAfter(), 0);
    EXPECT_TRUE(c.publicKey().keyData.empty());
    EXPECT_TRUE(c.publicKey().keyType.empty());
    EXPECT_TRUE(c.extensionNames().empty());
    EXPECT_TRUE(c.signatureAlgorithm().empty());
    EXPECT_FALSE(c.selfSigned());
    EXPECT_FALSE(c.verifyChain());
}

// A certificate that is an X509 once parsed, but whose key algorithm libcrypto
// does not know (rsaEncryption's OID with its last arc changed).
std::vector<uint8_t> derWithUnknownKeyAlgorithm() {
    CertProfile profile;
    profile.subjectKey = rsaKey(0);
    std::vector<uint8_t> der = toDer(makeCertificate(profile).get());
    const std::vector<uint8_t> rsaOid{0x06, 0x09, 0x2a, 0x86, 0x48, 0x86,
                                      0xf7, 0x0d, 0x01, 0x01, 0x01};
    auto at = std::search(der.begin(), der.end(), rsaOid.begin(), rsaOid.end());
    if (at != der.end()) {
        *(at + 10) = 0x63;
    }
    return der;
}

}  // namespace

// Overload resolution is what callers rely on: literals and strings are PEM
// text, paths are files.
static_assert(std::is_constructible_v<Certificate, const char*>);
static_assert(std::is_constructible_v<Certificate, std::string>);
static_assert(std::is_constructible_v<Certificate, std::filesystem::path>);
static_assert(!std::is_convertible_v<std::string, Certificate>);

TEST(Certificate, SplitsABundleAndTakesItsFieldsFromTheFirstBlock) {
    const KeyPtr key = ecKey();
    const std::string first = pemWithName("first", key.get());
    const std::string second = pemWithName("second", key.get());
    const std::string third = pemWithName("third", key.get());
    const std::string text = "Bag Attributes\n    friendlyName: first\n" + first +
                             "subject=CN = second\n" + second + "\n# comment\n" + third +
                             "trailing text\n";

    const Certificate bundle(text);
    ASSERT_TRUE(bundle.valid());
    EXPECT_EQ(bundle.text(), text);
    EXPECT_EQ(bundle.subject().commonName, "first");
    ASSERT_EQ(bundle.pemBlocks().size(), 3u);
    // Each block runs from its BEGIN line to the end of its END line.
    EXPECT_EQ(bundle.pemBlocks()[0] + "\n", first);
    EXPECT_EQ(bundle.pemBlocks()[1] + "\n", second);
    EXPECT_EQ(bundle.pemBlocks()[2] + "\n", third);
    ASSERT_EQ(bundle.chain().size(), 3u);
    EXPECT_EQ(bundle.chain()[0].subject().commonName, "first");
    EXPECT_EQ(bundle.chain()[1].subject().commonName, "second");
    EXPECT_EQ(bundle.chain()[2].subject().commonName, "third");
    for (const Certificate& element : bundle.chain()) {
        EXPECT_TRUE(element.valid());
        EXPECT_EQ(element.pemBlocks().size(), 1u);
        EXPECT_EQ(element.chain().size(), 1u);
    }
}

TEST(Certificate, GivesASingleCertificateAChainOfItsOwnCopy) {
    const KeyPtr key = ecKey();
    const Certificate single(pemWithName("only", key.get()));
    ASSERT_EQ(single.pemBlocks().size(), 1u);
    ASSERT_EQ(single.chain().size(), 1u);
    const Certificate& copy = single.chain()[0];
    EXPECT_TRUE(copy.valid());
    EXPECT_TRUE(copy.chain().empty());
    EXPECT_EQ(copy.text(), single.text());
    EXPECT_EQ(copy.subjectText(), single.subjectText());
    EXPECT_EQ(copy.serialHex(), single.serialHex());
    EXPECT_EQ(copy.publicKey().spkiDer, single.publicKey().spkiDer);
    ASSERT_NE(copy.handle(), nullptr);
    EXPECT_NE(copy.handle(), single.handle());
    EXPECT_EQ(X509_cmp(copy.handle(), single.handle()), 0);
    EXPECT_FALSE(single.verifyChain());
}

TEST(Certificate, GivesACompleteInvalidObjectForTextThatHoldsNoCertificate) {
    const KeyPtr key = ecKey();
    const std::string good = pemWithName("x", key.get());
    const std::string beginOnly = good.substr(0, good.find("-----END"));
    std::string corrupted = good;
    corrupted.replace(corrupted.find('\n') + 1, 8, "!!!!!!!!");

    for (const std::string& text : {std::string(), std::string("no markers at all\n"), beginOnly}) {
        SCOPED_TRACE(text);
        const Certificate c(text);
        expectEmptyAndInvalid(c);
        EXPECT_EQ(c.text(), text);
        EXPECT_TRUE(c.pemBlocks().empty());
        EXPECT_TRUE(c.chain().empty());
    }
    // One well-formed block that libcrypto refuses still makes a chain of one.
    const Certificate rejected(corrupted);
    expectEmptyAndInvalid(rejected);
    EXPECT_EQ(rejected.pemBlocks().size(), 1u);
    ASSERT_EQ(rejected.chain().size(), 1u);
    EXPECT_FALSE(rejected.chain()[0].valid());

    expectEmptyAndInvalid(Certificate(std::vector<uint8_t>{}));
    expectEmptyAndInvalid(Certificate(std::vector<uint8_t>{0x30, 0x03, 0x02, 0x01, 0x01}));
    expectEmptyAndInvalid(Certificate(static_cast<const X509*>(nullptr)));
    expectEmptyAndInvalid(Certificate(nullptr));
    expectEmptyAndInvalid(Certificate(std::filesystem::path("/nonexistent/dir/ca.crt")));
    EXPECT_FALSE(Certificate(std::string()).verify({}));
}

TEST(Certificate, TreatsAnUnreadableFileLikeAnEmptyOne) {
    ev_test::TempDir dir;
    // A directory opens for reading but has no size; it must not be sized from -1.
    const Certificate fromDirectory(dir.path());
    expectEmptyAndInvalid(fromDirectory);
    EXPECT_TRUE(fromDirectory.text().empty());
    // A FIFO without a writer, directly or behind a link, must not hold the reader.
    const std::filesystem::path fifo = dir / "pipe.crt";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
    std::filesystem::create_symlink(fifo, dir / "pipe.pem");
    EXPECT_TRUE(Certificate(fifo).text().empty());
    EXPECT_FALSE(Certificate(dir / "pipe.pem").valid());
}

TEST(Certificate, KeepsTheRestOfACertificateWhoseKeyLibcryptoCannotDecode) {
    const Certificate certificate(derWithUnknownKeyAlgorithm());
    ASSERT_TRUE(certificate.valid());
    EXPECT_EQ(certificate.subject().commonName, "test");
    EXPECT_EQ(certificate.serialHex(), "01");
    EXPECT_TRUE(certificate.publicKey().keyType.empty());
    EXPECT_TRUE(certificate.publicKey().keyData.empty());
    EXPECT_TRUE(certificate.publicKey().spkiDer.empty());
    EXPECT_EQ(certificate.publicKey().keySize, 0);
    EXPECT_FALSE(
        certificate.verifySignature({1, 2, 3}, "data", 4, ev_common::DigestAlgorithm::sha256));
}

TEST(Certificate, BuildsTheSameRecordFromPemDerX509AndFile) {
    const KeyPtr key = ecKey();
    CertProfile profile;
    profile.subject = {{"CN", "same"}};
    profile.subjectKey = key.get();
    const CertPtr x509 = makeCertificate(profile);
    const std::string pem = toPem(x509.get());
    ev_test::TempDir dir;
    const std::filesystem::path file = dir.path() / "same.crt";
    ev_test::writeFile(file, pem);

    const Certificate fromPem(pem);
    const Certificate fromLiteral(pem.c_str());
    const Certificate fromDer(toDer(x509.get()));
    const Certificate fromX509(static_cast<const X509*>(x509.get()));
    const Certificate fromFile(file);
    for (const Certificate* c : {&fromPem, &fromLiteral, &fromDer, &fromX509, &fromFile}) {
        EXPECT_TRUE(c->valid());
        EXPECT_EQ(c->text(), pem);
        EXPECT_EQ(c->subjectText(), "CN = same");
        EXPECT_NE(c->handle(), x509.get());  // never adopted
    }
}

TEST(Certificate, SavesItsTextUnchangedAndReportsAFailedWrite) {
    const KeyPtr key = ecKey();
    const std::string text = "leading comment\n" + pemWithName("saved", key.get());
    const Certificate certificate(text);
    ev_test::TempDir dir;
    const std::filesystem::path file = dir.path() / "saved.crt";
    ev_test::writeFile(
        file, "an older and much longer content that must disappear entirely ...............\n");

    ASSERT_TRUE(certificate.save(file));
    EXPECT_EQ(ev_test::readFile(file), text);
    EXPECT_EQ(Certificate(file).subject().commonName, "saved");

    EXPECT_FALSE(certificate.save(dir.path() / "missing" / "x.crt"));
    // The open succeeds but no byte can be written: that is not a saved file.
    if (std::filesystem::exists("/dev/full")) {
        EXPECT_FALSE(certificate.save("/dev/full"));
    }
}

TEST(Certificate, CopiesDuplicateTheHandleAndMovesLeaveTheSourceInvalid) {
    const KeyPtr key = ecKey();
    const std::string pemA = pemWithName("a", key.get());
    const std::string pemB = pemWithName("b", key.get());

    auto source = std::make_unique<Certificate>(pemA);
    Certificate copy(*source);
    EXPECT_NE(copy.handle(), source->handle());
    source.reset();  // the copy must not depend on the source's handle
    ASSERT_NE(copy.handle(), nullptr);
    EXPECT_EQ(toPem(copy.handle()), pemA);
    EXPECT_EQ(copy.subject().commonName, "a");
    EXPECT_EQ(copy.chain().size(), 1u);

    Certificate assigned(pemB);
    assigned = copy;  // releases b's handle
    EXPECT_EQ(assigned.subject().commonName, "a");
    EXPECT_NE(assigned.handle(), copy.handle());
    EXPECT_EQ(X509_cmp(assigned.handle(), copy.handle()), 0);

    Certificate& alias = assigned;
    assigned = alias;
    EXPECT_TRUE(assigned.valid());
    EXPECT_EQ(toPem(assigned.handle()), pemA);
    assigned = std::move(alias);
    EXPECT_TRUE(assigned.valid());
    EXPECT_EQ(toPem(assigned.handle()), pemA);

    X509* const moving = copy.handle();
    Certificate moved(std::move(copy));
    EXPECT_EQ(moved.handle(), moving);
    EXPECT_TRUE(moved.valid());
    EXPECT_FALSE(copy.valid());  // NOLINT(bugprone-use-after-move): a moved-from certificate is
                                 // invalid by contract
    EXPECT_EQ(copy.handle(), nullptr);

    Certificate target(pemB);
    target = std::move(moved);  // releases b's handle
    EXPECT_EQ(target.handle(), moving);
    EXPECT_EQ(target.subject().commonName, "a");
    EXPECT_FALSE(moved.valid());
    EXPECT_EQ(moved.handle(), nullptr);

    // An invalid certificate assigned over, as the store does with its placeholder.
    Certificate placeholder("");
    placeholder = target;
    EXPECT_TRUE(placeholder.valid());
    placeholder = Certificate(std::string());
    EXPECT_FALSE(placeholder.valid());
    EXPECT_EQ(placeholder.handle(), nullptr);

    std::vector<Certificate> many;
    for (int i = 0; i < 20; ++i) {
        many.push_back(target);  // reallocation moves the elements
    }
    for (const Certificate& c : many) {
        EXPECT_EQ(X509_cmp(c.handle(), target.handle()), 0);
    }
}

TEST(Certificate, VerifiesAChainLeafToIntermediateToRootAndRefusesABrokenOne) {
    const KeyPtr rootKey = ecKey();
    const KeyPtr intermediateKey = ecKey();
    const KeyPtr leafKey = ecKey();
    const KeyPtr strangerKey = ecKey();

    CertProfile root;
    root.subject = {{"CN", "Root"}};
    root.subjectKey = rootKey.get();
    root.extensions = {{NID_basic_constraints, "critical,CA:TRUE"},
                       {NID_key_usage, "critical,keyCertSign"}};
    CertProfile intermediate = root;
    intermediate.subject = {{"CN", "Intermediate"}};
    intermediate.issuer = root.subject;
    intermediate.subjectKey = intermediateKey.get();
    intermediate.signingKey = rootKey.get();
    CertProfile leaf;
    leaf.subject = {{"CN", "Leaf"}};
    leaf.issuer = intermediate.subject;
    leaf.subjectKey = leafKey.get();
    leaf.signingKey = intermediateKey.get();
    CertProfile forged = intermediate;  // same name, wrong signer
    forged.signingKey = strangerKey.get();

    const std::string rootPem = toPem(makeCertificate(root).get());
    const std::string intermediatePem = toPem(makeCertificate(intermediate).get());
    const std::string leafPem = toPem(makeCertificate(leaf).get());
    const std::string forgedPem = toPem(makeCertificate(forged).get());

    const Certificate good(leafPem + intermediatePem + rootPem);
    EXPECT_TRUE(good.verifyChain());
    const Certificate broken(leafPem + forgedPem + rootPem);
    EXPECT_FALSE(broken.verifyChain());
    const Certificate gap(leafPem + rootPem);
    EXPECT_FALSE(gap.verifyChain());

    const Certificate leafOnly(leafPem);
    const Certificate rootCert(rootPem);
    const Certificate intermediateCert(intermediatePem);
    EXPECT_TRUE(leafOnly.verify({intermediateCert, Certificate(std::string()), rootCert}));
    EXPECT_FALSE(leafOnly.verify({intermediateCert}));  // no anchor
    EXPECT_TRUE(intermediateCert.verify({rootCert}));
}
