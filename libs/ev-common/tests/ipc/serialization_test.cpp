#include "ev_common/ipc/serialization.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace other_service {

enum class Status : std::int32_t { Fine = 0, Broken = 3, Negative = -2 };

// A record living outside ev_common, as the services' wire records do.
struct Entry {
    std::uint32_t id = 0;
    std::string name;
    bool flag = false;
    std::vector<std::uint8_t> blob;
};

void serialize(ev_common::SerializationBuffer& buffer, const Entry& entry) {
    ev_common::serialize(buffer, entry.id);
    ev_common::serialize(buffer, entry.name);
    ev_common::serialize(buffer, entry.flag);
    ev_common::serialize(buffer, entry.blob);
}

void deserialize(ev_common::DeserializationBuffer& buffer, Entry& entry) {
    ev_common::deserialize(buffer, entry.id);
    ev_common::deserialize(buffer, entry.name);
    ev_common::deserialize(buffer, entry.flag);
    ev_common::deserialize(buffer, entry.blob);
}

std::uint32_t getSerializedSize(const Entry& entry) {
    return ev_common::getSerializedSize(entry.id) + ev_common::getSerializedSize(entry.name) +
           ev_common::getSerializedSize(entry.flag) + ev_common::getSerializedSize(entry.blob);
}

}  // namespace other_service

namespace {

using ev_common::DeserializationBuffer;
using ev_common::DeserializationException;
using ev_common::SerializationBuffer;
using ev_common::SerializationException;
using Bytes = std::vector<std::uint8_t>;
using ev_common::deserialize;
using ev_common::getSerializedSize;
using ev_common::serialize;

SerializationBuffer writer(Bytes& storage) {
    return SerializationBuffer{storage.data(), static_cast<std::uint32_t>(storage.size())};
}

DeserializationBuffer reader(const Bytes& storage) {
    return DeserializationBuffer{storage.data(), static_cast<std::uint32_t>(storage.size())};
}

TEST(Serialization, WritesIntegersLittleEndianEnumsAsInt32AndBoolsAsOneByte) {
    const std::uint32_t unsignedValue = 0x01020304u;
    const std::int32_t minusOne = -1;
    const auto status = other_service::Status::Negative;
    Bytes storage(getSerializedSize(unsignedValue) + getSerializedSize(minusOne) +
                  getSerializedSize(status) + getSerializedSize(true) + getSerializedSize(false));
    ASSERT_EQ(storage.size(), 14u);

    SerializationBuffer out = writer(storage);
    serialize(out, unsignedValue);
    serialize(out, minusOne);
    serialize(out, status);
    serialize(out, true);
    serialize(out, false);
    EXPECT_EQ(out.position, out.capacity);
    EXPECT_EQ(storage, (Bytes{0x04, 0x03, 0x02, 0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0xFE, 0xFF, 0xFF,
                              0xFF, 0x01, 0x00}));

    DeserializationBuffer in = reader(storage);
    std::uint32_t u = 0;
    std::int32_t i = 0;
    other_service::Status s = other_service::Status::Fine;
    bool t = false;
    bool f = true;
    deserialize(in, u);
    deserialize(in, i);
    deserialize(in, s);
    deserialize(in, t);
    deserialize(in, f);
    EXPECT_EQ(u, unsignedValue);
    EXPECT_EQ(i, -1);
    EXPECT_EQ(s, other_service::Status::Negative);
    EXPECT_TRUE(t);
    EXPECT_FALSE(f);
    EXPECT_EQ(in.position, in.size);

    // Any non-zero byte reads as true.
    const Bytes odd{0x7F};
    DeserializationBuffer oddIn = reader(odd);
    bool b = false;
    deserialize(oddIn, b);
    EXPECT_TRUE(b);
}

TEST(Serialization, WritesStringsAndByteVectorsWithTheirLengthInFront) {
    const std::string empty;
    const std::string withZero("a\0b", 3);
    const Bytes blob{0x00, 0xFF};
    Bytes storage(getSerializedSize(empty) + getSerializedSize(withZero) + getSerializedSize(blob));
    ASSERT_EQ(storage.size(), 4u + 7u + 6u);

    SerializationBuffer out = writer(storage);
    serialize(out, empty);
    serialize(out, withZero);
    serialize(out, blob);
    EXPECT_EQ(storage, (Bytes{0, 0, 0, 0, 3, 0, 0, 0, 'a', 0, 'b', 2, 0, 0, 0, 0x00, 0xFF}));

    DeserializationBuffer in = reader(storage);
    std::string first = "previous content";
    deserialize(in, first);
    EXPECT_EQ(first, "");
    EXPECT_EQ(in.position, 4u);
    std::string second;
    Bytes third{9, 9, 9};
    deserialize(in, second);
    deserialize(in, third);
    EXPECT_EQ(second, withZero);
    EXPECT_EQ(third, blob);
    EXPECT_EQ(in.position, in.size);
}

TEST(Serialization, RefusesWritesPastCapacityAndKeepsWhatWasWritten) {
    Bytes storage(7, 0xAA);
    SerializationBuffer out = writer(storage);
    serialize(out, std::uint32_t{0x11223344u});
    try {
        serialize(out, std::int32_t{5});
        FAIL() << "second integer must not fit";
    } catch (const SerializationException& e) {
        EXPECT_STREQ(e.what(), "Not space left available");
    }
    EXPECT_EQ(out.position, 4u);
    EXPECT_EQ(storage, (Bytes{0x44, 0x33, 0x22, 0x11, 0xAA, 0xAA, 0xAA}));

    // The length and the content of a string are checked one after the other.
    Bytes small(6, 0xAA);
    SerializationBuffer stringOut = writer(small);
    EXPECT_THROW(serialize(stringOut, std::string("abcdef")), SerializationException);
    EXPECT_EQ(stringOut.position, 4u);
    EXPECT_EQ(small, (Bytes{6, 0, 0, 0, 0xAA, 0xAA}));

    SerializationBuffer full = writer(small);
    full.position = 6;
    EXPECT_THROW(serialize(full, true), SerializationException);
    EXPECT_EQ(full.position, 6u);
}

TEST(Serialization, RefusesShortReadsWithoutMovingTheCursor) {
    const Bytes three{1, 2, 3};
    DeserializationBuffer in = reader(three);
    std::uint32_t value = 77;
    try {
        deserialize(in, value);
        FAIL() << "three bytes are not an integer";
    } catch (const DeserializationException& e) {
        EXPECT_STREQ(e.what(), "Not enough data available");
    }
    EXPECT_EQ(in.position, 0u);
    EXPECT_EQ(value, 77u);

    const Bytes none;
    DeserializationBuffer emptyIn = reader(none);
    bool flag = false;
    EXPECT_THROW(deserialize(emptyIn, flag), DeserializationException);
    std::string text;
    EXPECT_THROW(deserialize(emptyIn, text), DeserializationException);
    EXPECT_EQ(emptyIn.position, 0u);
}

TEST(Serialization, RefusesAnAnnouncedLengthPastTheFrameBeforeResizing) {
    // A corrupt length near 4 GiB must be refused, not allocated.
    const Bytes corrupt{0xF0, 0xFF, 0xFF, 0xFF, 'x', 'y'};
    DeserializationBuffer in = reader(corrupt);
    std::string text = "kept";
    EXPECT_THROW(deserialize(in, text), DeserializationException);
    EXPECT_EQ(in.position, 4u);
    EXPECT_EQ(text, "kept");

    DeserializationBuffer blobIn = reader(corrupt);
    Bytes blob{1};
    EXPECT_THROW(deserialize(blobIn, blob), DeserializationException);
    EXPECT_EQ(blobIn.position, 4u);
    EXPECT_EQ(blob, Bytes{1});

    // One byte short of the announced length.
    const Bytes shortByOne{3, 0, 0, 0, 'a', 'b'};
    DeserializationBuffer shortIn = reader(shortByOne);
    EXPECT_THROW(deserialize(shortIn, text), DeserializationException);
    EXPECT_EQ(shortIn.position, 4u);
}

TEST(Serialization, SizesAndWritesVectorsOfForeignRecordsExactly) {
    const std::vector<other_service::Entry> entries{{7, "root", true, {}},
                                                    {8, "", false, {0xDE, 0xAD}}};
    const std::uint32_t size = getSerializedSize(entries);
    EXPECT_EQ(size, 4u + (4 + 8 + 1 + 4) + (4 + 4 + 1 + 6));
    Bytes storage(size);
    SerializationBuffer out = writer(storage);
    serialize(out, entries);
    EXPECT_EQ(out.position, out.capacity);
    EXPECT_EQ(Bytes(storage.begin(), storage.begin() + 8), (Bytes{2, 0, 0, 0, 7, 0, 0, 0}));

    DeserializationBuffer in = reader(storage);
    std::vector<other_service::Entry> back;
    deserialize(in, back);
    ASSERT_EQ(back.size(), 2u);
    EXPECT_EQ(back[0].name, "root");
    EXPECT_TRUE(back[0].flag);
    EXPECT_EQ(back[1].id, 8u);
    EXPECT_EQ(back[1].blob, (Bytes{0xDE, 0xAD}));
    EXPECT_EQ(in.position, in.size);

    // A count that cannot fit in what is left is refused before allocating.
    const Bytes hugeCount{0xFF, 0xFF, 0xFF, 0xFF, 1, 0, 0, 0};
    DeserializationBuffer hugeIn = reader(hugeCount);
    EXPECT_THROW(deserialize(hugeIn, back), DeserializationException);
    EXPECT_EQ(hugeIn.position, 4u);
}

TEST(Serialization, BuildsTheRemoveRequestFrameOfClientAb) {
    const std::string identity = "ab";
    const std::int32_t operation = 1;
    const std::uint32_t id = 5;
    Bytes frame(getSerializedSize(identity) + getSerializedSize(operation) + getSerializedSize(id));
    SerializationBuffer out = writer(frame);
    serialize(out, identity);
    serialize(out, operation);
    serialize(out, id);
    EXPECT_EQ(frame, (Bytes{0x02, 0x00, 0x00, 0x00, 0x61, 0x62, 0x01, 0x00, 0x00, 0x00, 0x05, 0x00,
                            0x00, 0x00}));
}

}  // namespace
