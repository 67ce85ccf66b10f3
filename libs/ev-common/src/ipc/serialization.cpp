#include "ev_common/ipc/serialization.hpp"

#include <cstring>

namespace ev_common {
namespace {

std::uint32_t bytesLeft(const DeserializationBuffer& buffer) {
    return buffer.position < buffer.size ? buffer.size - buffer.position : 0;
}

void writeBytes(SerializationBuffer& buffer, const void* bytes, std::size_t count) {
    const std::uint32_t free =
        buffer.position < buffer.capacity ? buffer.capacity - buffer.position : 0;
    if (count > free) throw SerializationException();
    if (count > 0) std::memcpy(buffer.data + buffer.position, bytes, count);
    buffer.position += static_cast<std::uint32_t>(count);
}

void writeU32(SerializationBuffer& buffer, std::uint32_t value) {
    const std::uint8_t bytes[4] = {
        static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
        static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
    writeBytes(buffer, bytes, sizeof bytes);
}

// Checked before anything moves, so a short read leaves position unchanged.
const std::uint8_t* take(DeserializationBuffer& buffer, std::uint32_t count) {
    if (count > bytesLeft(buffer)) throw DeserializationException();
    const std::uint8_t* at = buffer.data + buffer.position;
    buffer.position += count;
    return at;
}

std::uint32_t readU32(DeserializationBuffer& buffer) {
    const std::uint8_t* b = take(buffer, 4);
    return static_cast<std::uint32_t>(b[0]) | static_cast<std::uint32_t>(b[1]) << 8 |
           static_cast<std::uint32_t>(b[2]) << 16 | static_cast<std::uint32_t>(b[3]) << 24;
}

// The announced length is checked against what is left before the target is
// resized: a corrupt length must not turn into a huge allocation.
template <typename Container>
void readSized(DeserializationBuffer& buffer, Container& value) {
    const std::uint32_t length = readU32(buffer);
    const std::uint8_t* bytes = take(buffer, length);
    value.assign(bytes, bytes + length);
}

template <typename Container>
void writeSized(SerializationBuffer& buffer, const Container& value) {
    writeU32(buffer, static_cast<std::uint32_t>(value.size()));
    writeBytes(buffer, value.data(), value.size());
}

}  // namespace

const char* SerializationException::what() const noexcept {
    return "Not space left available";
}
const char* DeserializationException::what() const noexcept {
    return "Not enough data available";
}

void serialize(SerializationBuffer& buffer, std::uint32_t value) {
    writeU32(buffer, value);
}
void serialize(SerializationBuffer& buffer, std::int32_t value) {
    writeU32(buffer, static_cast<std::uint32_t>(value));
}
void serialize(SerializationBuffer& buffer, std::uint64_t value) {
    std::uint8_t bytes[8];
    for (int i = 0; i < 8; ++i) bytes[i] = static_cast<std::uint8_t>(value >> (8 * i));
    writeBytes(buffer, bytes, sizeof bytes);
}
void serialize(SerializationBuffer& buffer, bool value) {
    const std::uint8_t byte = value ? 0x01 : 0x00;
    writeBytes(buffer, &byte, 1);
}
void serialize(SerializationBuffer& buffer, const std::string& value) {
    writeSized(buffer, value);
}
void serialize(SerializationBuffer& buffer, const std::vector<std::uint8_t>& value) {
    writeSized(buffer, value);
}

void deserialize(DeserializationBuffer& buffer, std::uint32_t& value) {
    value = readU32(buffer);
}
void deserialize(DeserializationBuffer& buffer, std::int32_t& value) {
    value = static_cast<std::int32_t>(readU32(buffer));
}
void deserialize(DeserializationBuffer& buffer, std::uint64_t& value) {
    const std::uint8_t* bytes = take(buffer, 8);
    value = 0;
    for (int i = 7; i >= 0; --i) value = (value << 8) | bytes[i];
}
void deserialize(DeserializationBuffer& buffer, bool& value) {
    value = *take(buffer, 1) != 0;
}
void deserialize(DeserializationBuffer& buffer, std::string& value) {
    readSized(buffer, value);
}
void deserialize(DeserializationBuffer& buffer, std::vector<std::uint8_t>& value) {
    readSized(buffer, value);
}

std::uint32_t getSerializedSize(const std::string& value) {
    return 4 + static_cast<std::uint32_t>(value.size());
}
std::uint32_t getSerializedSize(const std::vector<std::uint8_t>& value) {
    return 4 + static_cast<std::uint32_t>(value.size());
}

}  // namespace ev_common
