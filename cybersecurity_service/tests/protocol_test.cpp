#include "cybersecurity/protocol.hpp"

#include <gtest/gtest.h>

using namespace ev_charging_platform::cybersecurity;

TEST(Protocol, NamesEveryStatusAndFlagsValuesOutsideTheTables) {
    EXPECT_EQ(to_string(AddCertificateStatus::ipc_error), "ipc_error");
    EXPECT_EQ(to_string(AddCertificateStatus::success), "success");
    EXPECT_EQ(to_string(AddCertificateStatus::invalid_cert), "invalid_cert");
    EXPECT_EQ(to_string(AddCertificateStatus::invalid_name), "invalid_name");
    EXPECT_EQ(to_string(AddCertificateStatus::already_exists), "already_exists");
    EXPECT_EQ(to_string(AddCertificateStatus::internal_error), "internal_error");
    EXPECT_EQ(to_string(AddCertificateStatus::not_authorized), "not_authorized");
    EXPECT_EQ(static_cast<int>(AddCertificateStatus::not_authorized), 5);
    EXPECT_EQ(to_string(AddCertificateStatus::store_full), "store_full");
    EXPECT_EQ(static_cast<int>(AddCertificateStatus::store_full), 6);
    EXPECT_EQ(to_string(static_cast<AddCertificateStatus>(7)), "INVALID_ENUM_VALUE");
    EXPECT_EQ(to_string(static_cast<AddCertificateStatus>(-2)), "INVALID_ENUM_VALUE");

    EXPECT_EQ(to_string(RemoveCertificateStatus::ipc_error), "ipc_error");
    EXPECT_EQ(to_string(RemoveCertificateStatus::unknown_id), "unknown_id");
    EXPECT_EQ(to_string(RemoveCertificateStatus::built_in), "built_in");
    EXPECT_EQ(to_string(RemoveCertificateStatus::internal_error), "internal_error");
    EXPECT_EQ(to_string(RemoveCertificateStatus::not_authorized), "not_authorized");
    EXPECT_EQ(static_cast<int>(RemoveCertificateStatus::not_authorized), 4);
    EXPECT_EQ(to_string(RemoveCertificateStatus::last_root), "last_root");
    EXPECT_EQ(static_cast<int>(RemoveCertificateStatus::last_root), 5);
    EXPECT_EQ(to_string(static_cast<RemoveCertificateStatus>(6)), "INVALID_ENUM_VALUE");
    EXPECT_EQ(to_string(operation_id::confirm_csms_root), "confirm_csms_root");
    EXPECT_EQ(to_string(operation_id::get_ca_certificate_by_name), "get_ca_certificate_by_name");
    EXPECT_EQ(to_string(operation_id::get_ca_certificate_details), "get_ca_certificate_details");
    EXPECT_EQ(to_string(operation_id::remove_ca_certificate_by_hash),
              "remove_ca_certificate_by_hash");
    EXPECT_EQ(to_string(operation_id::add_ca_certificate_to_domain),
              "add_ca_certificate_to_domain");
    EXPECT_EQ(to_string(operation_id::get_changes_since), "get_changes_since");
    EXPECT_EQ(to_string(static_cast<operation_id>(200)), "INVALID_ENUM_VALUE");
}

TEST(Protocol, ListingRecordsFillTheirBufferExactlyAndReadBackFieldByField) {
    ca_certificate_info plain{7, "my_ca", true, "CN = Root", -1, "", {}};
    EXPECT_EQ(getSerializedSize(plain), 25u + 5u + 9u);

    // Clients skip whatever a future service puts in the two extra fields.
    ca_certificate_info extra{0xfffffffeu, "", false, "", 2147483647, "note", {1, 2, 3}};
    std::vector<ca_certificate_info> records{plain, extra};
    const std::uint32_t size = ev_common::getSerializedSize(records);
    EXPECT_EQ(size, 4u + 39u + 25u + 4u + 3u);

    std::vector<std::uint8_t> bytes(size);
    ev_common::SerializationBuffer out{bytes.data(), size, 0};
    ev_common::serialize(out, records);
    EXPECT_EQ(out.position, size);
    // Count, then the first record's id and name length, little-endian.
    EXPECT_EQ(std::vector<std::uint8_t>(bytes.begin(), bytes.begin() + 12),
              (std::vector<std::uint8_t>{2, 0, 0, 0, 7, 0, 0, 0, 5, 0, 0, 0}));

    ev_common::DeserializationBuffer in{bytes.data(), size, 0, 0};
    std::vector<ca_certificate_info> back;
    ev_common::deserialize(in, back);
    EXPECT_EQ(in.position, size);
    ASSERT_EQ(back.size(), 2u);
    EXPECT_EQ(back[0].name, "my_ca");
    EXPECT_TRUE(back[0].built_in);
    EXPECT_EQ(back[0].not_after, -1);
    EXPECT_EQ(back[1].id, 0xfffffffeu);
    EXPECT_EQ(back[1].additional_text, "note");
    EXPECT_EQ(back[1].additional_data, (std::vector<std::uint8_t>{1, 2, 3}));

    // One byte short of the last record is refused.
    ev_common::DeserializationBuffer shortIn{bytes.data(), size - 1, 0, 0};
    EXPECT_THROW(ev_common::deserialize(shortIn, back), ev_common::DeserializationException);
}
