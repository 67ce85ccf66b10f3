// What a 32-bit target changes on the road from a certificate file to the
// listing reply: the end of validity is 64-bit inside a certificate, cut to
// 32 bits in the store's table and on the wire, the same on every target;
// sizes on the wire are 32-bit counts whatever the width of std::size_t.
#include "cybersecurity/protocol.hpp"
#include "ev_common/cyber/linux_ca_certificate_store.hpp"
#include "req_handler.hpp"

#include "log_capture.hpp"
#include "temp_dir.hpp"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <filesystem>
#include <map>
#include <memory>

namespace fs = std::filesystem;
using namespace ev_charging_platform::cybersecurity;

namespace {

struct KeyFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct RequestFree {
    void operator()(X509_REQ* request) const { X509_REQ_free(request); }
};

// One shared key: key generation is slow under emulation.
EVP_PKEY* sharedKey() {
    static std::unique_ptr<EVP_PKEY, KeyFree> key(EVP_EC_gen("P-256"));
    return key.get();
}

ev_common::Certificate makeCertificate(const std::string& commonName, int64_t notAfter,
                                       std::size_t organisationalUnits = 0) {
    std::unique_ptr<X509_REQ, RequestFree> request(X509_REQ_new());
    X509_NAME* name = X509_REQ_get_subject_name(request.get());
    const std::string unit(60, 'u');
    for (std::size_t i = 0; i < organisationalUnits; ++i) {
        X509_NAME_add_entry_by_txt(name, "OU", MBSTRING_ASC,
                                   reinterpret_cast<const unsigned char*>(unit.c_str()), -1, -1, 0);
    }
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(commonName.c_str()), -1, -1,
                               0);
    X509_REQ_set_pubkey(request.get(), sharedKey());
    return ev_common::Certificate::issue(request.get(), nullptr, sharedKey(),
                                         ev_common::DigestAlgorithm::sha256, 1700000000, notAfter);
}

// Stands in for the system's update tool: one NAME.pem link in the system
// folder per NAME.crt of the user folder, dangling links dropped.
struct FakeTrustFolders {
    ev_test::TempDir dir;
    fs::path system = dir.path() / "system";
    fs::path user = dir.path() / "user";

    FakeTrustFolders() {
        fs::create_directories(system);
        fs::create_directories(user);
    }
    bool update() {
        for (const auto& entry : fs::directory_iterator(system)) {
            if (fs::is_symlink(entry.symlink_status()) && !fs::exists(entry.path()))
                fs::remove(entry.path());
        }
        for (const auto& entry : fs::directory_iterator(user)) {
            if (entry.path().extension() != ".crt") continue;
            const fs::path link = system / (entry.path().stem().string() + ".pem");
            if (!fs::exists(fs::symlink_status(link))) fs::create_symlink(entry.path(), link);
        }
        return true;
    }
};

std::vector<std::uint8_t> encode(const std::vector<ca_certificate_info>& records) {
    std::vector<std::uint8_t> bytes(ev_common::getSerializedSize(records));
    ev_common::SerializationBuffer out{bytes.data(), static_cast<std::uint32_t>(bytes.size()), 0};
    ev_common::serialize(out, records);
    EXPECT_EQ(out.position, bytes.size());
    return bytes;
}

std::vector<std::uint8_t> le32(std::uint32_t value) {
    return {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
            static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
}

// Offset of the not_after field in a record that starts at `at`.
std::size_t notAfterOffset(const ca_certificate_info& info, std::size_t at) {
    return at + 4 + 4 + info.name.size() + 1 + 4 + info.subject.size();
}

}  // namespace

TEST(WideValues, DatesPast2038ArriveOnTheWireCutTo32BitsTheSameOnEveryTarget) {
    ev_test::LogCapture capture;
    FakeTrustFolders folders;
    // Built-ins: the last second a 32-bit count holds, the one after it, and
    // 2050-01-01T00:00:00Z.
    struct Case {
        std::string name;
        int64_t notAfter;
        int32_t inTable;
        std::vector<std::uint8_t> onWire;
    };
    const std::vector<Case> builtins = {
        {"last32", 2147483647, 2147483647, {0xff, 0xff, 0xff, 0x7f}},
        {"first_past", 2147483648LL, INT32_MIN, {0x00, 0x00, 0x00, 0x80}},
        // 2524608000 - 2^32: a client that reads the field as a date sees 1913-11-25.
        {"year2050", 2524608000LL, -1770359296, {0x00, 0x76, 0x7a, 0x96}},
    };
    for (const auto& c : builtins) {
        const auto certificate = makeCertificate(c.name, c.notAfter);
        ASSERT_TRUE(certificate.valid()) << c.name;
        // Inside the certificate the date is whole on 32-bit targets too.
        EXPECT_EQ(certificate.notAfter(), c.notAfter) << c.name;
        ASSERT_TRUE(certificate.save(folders.system / (c.name + ".pem")));
    }

    ev_common::LinuxCaCertificateStore store([&](bool) { return folders.update(); });
    ASSERT_TRUE(store.init(folders.system, folders.user, "unused", "--fresh", {}))
        << capture.dump();
    // A user certificate valid to 9999-12-31T23:59:59Z goes through the
    // addition path, which reads the date back from the system entry.
    const auto last = makeCertificate("year9999", 253402300799LL);
    ASSERT_EQ(last.notAfter(), 253402300799LL);
    std::uint32_t id = 0;
    ASSERT_EQ(store.addCertificate(last, "year9999", id, ev_common::SameName::refuse),
              ev_common::AddCertificateStatus::success)
        << capture.dump();

    std::map<std::string, ev_common::CertificateInfo> table;
    for (const auto& info : store.getCertificates()) table[info.name] = info;
    ASSERT_EQ(table.size(), 4u);
    for (const auto& c : builtins) EXPECT_EQ(table[c.name].notAfter, c.inTable) << c.name;
    // 253402300799 mod 2^32 is 4294197631, i.e. -769665: late December 1969.
    EXPECT_EQ(table["year9999"].notAfter, -769665);
    EXPECT_FALSE(table["year9999"].isBuiltIn);

    cybersecurity_req_handler handler("cybersecurity_service", &store);
    const auto records = handler.get_ca_certificates(requester::this_process());
    ASSERT_EQ(records.size(), 4u);
    const auto bytes = encode(records);
    std::size_t at = 4;
    for (const auto& record : records) {
        const std::size_t field = notAfterOffset(record, at);
        const std::vector<std::uint8_t> wire(
            bytes.begin() + static_cast<std::ptrdiff_t>(field),
            bytes.begin() + static_cast<std::ptrdiff_t>(field + 4));
        std::vector<std::uint8_t> expected = le32(0xfff4417fu);  // year9999
        for (const auto& c : builtins) {
            if (c.name == record.name) expected = c.onWire;
        }
        EXPECT_EQ(wire, expected) << record.name;
        at += getSerializedSize(record);
    }
    EXPECT_EQ(at, bytes.size());

    // Read back as a client does: the cut value, not the date.
    ev_common::DeserializationBuffer in{bytes.data(), static_cast<std::uint32_t>(bytes.size()), 0,
                                        0};
    std::vector<ca_certificate_info> back;
    ev_common::deserialize(in, back);
    ASSERT_EQ(back.size(), records.size());
    for (std::size_t i = 0; i < back.size(); ++i)
        EXPECT_EQ(back[i].not_after, records[i].not_after);
}

TEST(WideValues, LongSubjectsAndNamesAreSizedAndPrefixedAsThirtyTwoBitCounts) {
    // A subject past 65535 bytes needs the third length byte; every size on
    // the wire is a 32-bit count whether std::size_t has 32 or 64 bits.
    ca_certificate_info big{42, std::string(300, 'n'), false, std::string(70000, 's'), -1, "", {}};
    EXPECT_EQ(getSerializedSize(big), 25u + 300u + 70000u);
    const auto bytes = encode({big});
    ASSERT_EQ(bytes.size(), 4u + 25u + 300u + 70000u);
    EXPECT_EQ(std::vector<std::uint8_t>(bytes.begin() + 8, bytes.begin() + 12), le32(300));
    const std::size_t subjectPrefix = 4 + 4 + 4 + 300 + 1;  // count, id, name, built_in
    EXPECT_EQ(
        std::vector<std::uint8_t>(bytes.begin() + subjectPrefix, bytes.begin() + subjectPrefix + 4),
        (std::vector<std::uint8_t>{0x70, 0x11, 0x01, 0x00}));

    // The real thing: a certificate whose one-line subject is thousands of
    // bytes, through the store and the handler.
    ev_test::LogCapture capture;
    FakeTrustFolders folders;
    const auto wide = makeCertificate("wide", 2000000000, 60);
    ASSERT_TRUE(wide.valid());
    ASSERT_GT(wide.subjectText().size(), 3600u);
    ASSERT_TRUE(wide.save(folders.system / "wide.pem"));
    ev_common::LinuxCaCertificateStore store([&](bool) { return folders.update(); });
    ASSERT_TRUE(store.init(folders.system, folders.user, "unused", "--fresh", {}))
        << capture.dump();
    cybersecurity_req_handler handler("cybersecurity_service", &store);
    const auto records = handler.get_ca_certificates(requester::this_process());
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].subject, wide.subjectText());
    EXPECT_EQ(records[0].not_after, 2000000000);
    EXPECT_EQ(ev_common::getSerializedSize(records), 4u + 25u + 4u + wide.subjectText().size());
    const auto listing = encode(records);
    ev_common::DeserializationBuffer in{listing.data(), static_cast<std::uint32_t>(listing.size()),
                                        0, 0};
    std::vector<ca_certificate_info> back;
    ev_common::deserialize(in, back);
    ASSERT_EQ(back.size(), 1u);
    EXPECT_EQ(back[0].subject, wide.subjectText());
    EXPECT_EQ(in.position, listing.size());
}
