// Conversion of one JSON value to a parameter value type, shared by the
// parameters (reading the configuration file) and their loaders (reading the
// configuration description), so both refuse the same JSON kinds with the
// same messages.
#pragma once

#include "ev_common/config/typed_parameter.hpp"

#include <spdlog/spdlog.h>

#include <nlohmann/json.hpp>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

namespace ev_common {

namespace json_value {

// The value as F, or nothing when F cannot hold it as a finite number: JSON
// has no infinity and no NaN, so such a value could not be written back.
template <typename F>
std::optional<F> toFiniteFloating(double d) {
    if (!std::isfinite(d)) return std::nullopt;
    if constexpr (std::is_same_v<F, float>) {
        if (d > static_cast<double>(std::numeric_limits<float>::max()) ||
            d < static_cast<double>(std::numeric_limits<float>::lowest()))
            return std::nullopt;
    }
    return static_cast<F>(d);
}

// bool, integer and floating types; nothing else is instantiated.
template <typename T>
std::optional<T> readNumber(const nlohmann::json& j) {
    if constexpr (std::is_same_v<T, bool>) {
        if (!j.is_boolean()) {
            spdlog::error("Parameter : Expected JSON boolean");
            return std::nullopt;
        }
        return j.get<bool>();
    } else if constexpr (std::is_integral_v<T>) {
        // Both signed and unsigned literals; the cast wraps (-1 into an
        // unsigned int is 4294967295) and the limits judge the result.
        if (!j.is_number_integer()) {
            spdlog::error("Parameter : Expected JSON integer");
            return std::nullopt;
        }
        return j.get<T>();
    } else {
        if (!j.is_number_float()) {
            spdlog::error("Parameter : Expected JSON float");
            return std::nullopt;
        }
        std::optional<T> value = toFiniteFloating<T>(j.get<double>());
        if (!value) spdlog::error("Parameter : JSON float out of range");
        return value;
    }
}

// A non-negative integer literal counting the unit of D.
template <typename D>
std::optional<D> readDuration(const nlohmann::json& j) {
    if (!j.is_number_unsigned()) {
        spdlog::error("Parameter : Expected JSON unsigned integer");
        return std::nullopt;
    }
    // Counts are signed 64-bit: a larger literal would turn negative and be
    // written back as a number the next read refuses.
    const std::uint64_t count = j.get<std::uint64_t>();
    if (count > static_cast<std::uint64_t>(std::numeric_limits<long long>::max())) {
        spdlog::error("Parameter : JSON unsigned integer out of range");
        return std::nullopt;
    }
    return D(static_cast<long long>(count));
}

inline std::optional<std::string> readString(const nlohmann::json& j) {
    if (!j.is_string()) {
        spdlog::error("Parameter : Expected JSON string");
        return std::nullopt;
    }
    return j.get<std::string>();
}

// Numeric elements take booleans, integers and (truncated) floating numbers,
// as the JSON library converts them; a floating element the element type
// cannot hold is refused, as an element of the wrong kind is, instead of being
// cast with undefined behaviour or kept as an infinity that JSON cannot hold.
// Elements of another kind throw the library's type error.
template <typename T>
T readListElement(const nlohmann::json& element) {
    if constexpr (std::is_arithmetic_v<T> && !std::is_same_v<T, bool>) {
        if (element.is_number_float()) {
            const double d = element.get<double>();
            if constexpr (std::is_floating_point_v<T>) {
                if (std::optional<T> value = toFiniteFloating<T>(d)) return *value;
                throw std::out_of_range("list element out of range: " + element.dump());
            } else {
                const double lowest = static_cast<double>(std::numeric_limits<T>::min());
                // 2^digits exactly, the first integer past the maximum.
                const double pastMax =
                    2.0 * static_cast<double>(std::numeric_limits<T>::max() / 2 + 1);
                const double whole = std::trunc(d);
                if (!(whole >= lowest && whole < pastMax))
                    throw std::out_of_range("list element out of range: " + element.dump());
                return static_cast<T>(whole);
            }
        }
    }
    return element.get<T>();
}

template <typename T>
std::optional<std::vector<T>> readList(const nlohmann::json& j) {
    if (!j.is_array()) {
        spdlog::error("Parameter : Expected JSON array");
        return std::nullopt;
    }
    std::vector<T> values;
    values.reserve(j.size());
    for (const auto& element : j) values.push_back(readListElement<T>(element));
    return values;
}

}  // namespace json_value
}  // namespace ev_common
