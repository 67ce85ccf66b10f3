// Flat binary encoding of the values that cross the IPC endpoint: little-endian
// 32-bit integers, one-byte bools, length-prefixed strings and vectors, records
// as their fields in order. Messages are sized with getSerializedSize first and
// then written in place; requests are read back with the same overloads.
// Used by ZmqIpcServer (client identity) and by every protocol handler.
#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

namespace ev_common {

class SerializationException : public std::exception {
public:
    const char* what() const noexcept override;
};

class DeserializationException : public std::exception {
public:
    const char* what() const noexcept override;
};

// Write cursor over memory it does not own.
struct SerializationBuffer {
    std::uint8_t* data = nullptr;
    std::uint32_t capacity = 0;
    std::uint32_t position = 0;
};

// Read cursor over a received frame it does not own. payloadStart is where the
// request payload begins once the client identity has been read; a handler that
// gives up on a request rewinds position to it.
struct DeserializationBuffer {
    const std::uint8_t* data = nullptr;
    std::uint32_t size = 0;
    std::uint32_t position = 0;
    std::uint32_t payloadStart = 0;
};

void serialize(SerializationBuffer& buffer, std::uint32_t value);
void serialize(SerializationBuffer& buffer, std::int32_t value);
// Eight bytes, little-endian: generations and other counters that must not wrap.
void serialize(SerializationBuffer& buffer, std::uint64_t value);
void serialize(SerializationBuffer& buffer, bool value);
void serialize(SerializationBuffer& buffer, const std::string& value);
void serialize(SerializationBuffer& buffer, const std::vector<std::uint8_t>& value);
// A string literal would otherwise silently pick the bool overload.
void serialize(SerializationBuffer& buffer, const char* value) = delete;

void deserialize(DeserializationBuffer& buffer, std::uint32_t& value);
void deserialize(DeserializationBuffer& buffer, std::int32_t& value);
void deserialize(DeserializationBuffer& buffer, std::uint64_t& value);
void deserialize(DeserializationBuffer& buffer, bool& value);
void deserialize(DeserializationBuffer& buffer, std::string& value);
void deserialize(DeserializationBuffer& buffer, std::vector<std::uint8_t>& value);

constexpr std::uint32_t getSerializedSize(std::uint32_t) {
    return 4;
}
constexpr std::uint32_t getSerializedSize(std::int32_t) {
    return 4;
}
constexpr std::uint32_t getSerializedSize(std::uint64_t) {
    return 8;
}
constexpr std::uint32_t getSerializedSize(bool) {
    return 1;
}
std::uint32_t getSerializedSize(const std::string& value);
std::uint32_t getSerializedSize(const std::vector<std::uint8_t>& value);
std::uint32_t getSerializedSize(const char* value) = delete;

// Enumerations travel as their value in a signed 32-bit integer.
template <typename E, std::enable_if_t<std::is_enum_v<E>, int> = 0>
void serialize(SerializationBuffer& buffer, E value) {
    serialize(buffer, static_cast<std::int32_t>(value));
}

template <typename E, std::enable_if_t<std::is_enum_v<E>, int> = 0>
void deserialize(DeserializationBuffer& buffer, E& value) {
    std::int32_t raw = 0;
    deserialize(buffer, raw);
    value = static_cast<E>(raw);
}

template <typename E, std::enable_if_t<std::is_enum_v<E>, int> = 0>
constexpr std::uint32_t getSerializedSize(E) {
    return 4;
}

// A record lists its fields once, in wire order, and is then encoded, decoded
// and sized field by field:
//
//     struct entry {
//         std::uint32_t id = 0;
//         std::string name;
//         template <typename Self>
//         static auto fields(Self& self) { return std::tie(self.id, self.name); }
//     };
template <typename R, typename = void>
struct IsRecord : std::false_type {};
template <typename R>
struct IsRecord<R, std::void_t<decltype(R::fields(std::declval<R&>()))>> : std::true_type {};

template <typename R, std::enable_if_t<IsRecord<R>::value, int> = 0>
void serialize(SerializationBuffer& buffer, const R& record);
template <typename R, std::enable_if_t<IsRecord<R>::value, int> = 0>
void deserialize(DeserializationBuffer& buffer, R& record);
template <typename R, std::enable_if_t<IsRecord<R>::value, int> = 0>
std::uint32_t getSerializedSize(const R& record);

template <typename T>
void serialize(SerializationBuffer& buffer, const std::vector<T>& values);
template <typename T>
std::uint32_t getSerializedSize(const std::vector<T>& values);
template <typename T>
void deserialize(DeserializationBuffer& buffer, std::vector<T>& values);

template <typename R, std::enable_if_t<IsRecord<R>::value, int>>
void serialize(SerializationBuffer& buffer, const R& record) {
    std::apply([&buffer](const auto&... field) { (serialize(buffer, field), ...); },
               R::fields(record));
}

template <typename R, std::enable_if_t<IsRecord<R>::value, int>>
void deserialize(DeserializationBuffer& buffer, R& record) {
    std::apply([&buffer](auto&... field) { (deserialize(buffer, field), ...); }, R::fields(record));
}

template <typename R, std::enable_if_t<IsRecord<R>::value, int>>
std::uint32_t getSerializedSize(const R& record) {
    return std::apply(
        [](const auto&... field) { return (std::uint32_t{0} + ... + getSerializedSize(field)); },
        R::fields(record));
}

// Vectors of records: the element count, then each record. The element calls
// are unqualified so that the overloads of records declared in other
// namespaces are found next to the record type.
template <typename T>
void serialize(SerializationBuffer& buffer, const std::vector<T>& values) {
    serialize(buffer, static_cast<std::uint32_t>(values.size()));
    for (const T& value : values) serialize(buffer, value);
}

template <typename T>
std::uint32_t getSerializedSize(const std::vector<T>& values) {
    std::uint32_t size = 4;
    for (const T& value : values) size += getSerializedSize(value);
    return size;
}

template <typename T>
void deserialize(DeserializationBuffer& buffer, std::vector<T>& values) {
    std::uint32_t count = 0;
    deserialize(buffer, count);
    // A default record has the smallest encoding of its type, so a count that
    // cannot fit in the bytes left is refused before anything is allocated.
    const std::uint64_t smallest = getSerializedSize(T{});
    const std::uint64_t left = buffer.position < buffer.size ? buffer.size - buffer.position : 0;
    if (smallest * count > left) throw DeserializationException();
    values.clear();
    if (smallest > 0) values.reserve(count);
    for (std::uint32_t i = 0; i < count; ++i) {
        T value{};
        deserialize(buffer, value);
        values.push_back(std::move(value));
    }
}

}  // namespace ev_common
