// The concrete families of typed configuration parameters: each adds its
// limits and its JSON conversion to Parameter<T>. Built only by the loaders
// from the configuration description; read by services, filled from the
// configuration file.
#pragma once

#include "ev_common/config/full_match_regex.hpp"
#include "ev_common/config/i_parameter.hpp"
#include "ev_common/config/json_value_reader.hpp"
#include "ev_common/config/typed_parameter.hpp"
#include "ev_common/system/bounded_text.hpp"

#include <spdlog/spdlog.h>

#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace ev_common {

// bool, the integer types, float and double. The second argument is always
// the value type; the limits are inclusive.
template <typename T, typename U>
class NumericParameter : public Parameter<T> {
    static_assert(std::is_same_v<T, U>, "a numeric parameter's limits have its value type");
    static_assert(std::is_arithmetic_v<T>, "numeric parameters hold arithmetic values");

public:
    NumericParameter(std::string name, std::string description, T defaultValue, bool readOnly,
                     T min, T max)
        : Parameter<T>(std::move(name), std::move(description), std::move(defaultValue), readOnly),
          min_(min),
          max_(max) {}

    bool isValid(const T& candidate) const override {
        // The default always reads back, even outside limits the description
        // set around it: the file written from it must load again.
        if (candidate == this->getDefaultValue()) return true;
        if (this->isReadOnly()) {
            spdlog::warn("Parameter [{}] : cannot modify value to {}, parameter is read only",
                         bounded(this->getName()), candidate);
            return false;
        }
        if constexpr (std::is_floating_point_v<T>) {
            // NaN passes both comparisons below, and JSON can hold neither.
            if (!std::isfinite(candidate)) {
                spdlog::warn("Parameter [{}] : value is not a finite number => {}",
                             bounded(this->getName()), candidate);
                return false;
            }
        }
        if (candidate < min_) {
            spdlog::warn("Parameter [{}] : value to low (min = {}) => {}", bounded(this->getName()),
                         min_, candidate);
            return false;
        }
        if (candidate > max_) {
            spdlog::warn("Parameter [{}] : value to high (max = {}) => {}",
                         bounded(this->getName()), max_, candidate);
            return false;
        }
        return true;
    }

    nlohmann::json toJson() const override {
        // A float is written widened to double (0.1f as 0.10000000149011612).
        if constexpr (std::is_same_v<T, float>)
            return nlohmann::json(static_cast<double>(this->getValue()));
        else
            return nlohmann::json(this->getValue());
    }

    bool fromJson(const nlohmann::json& json) override {
        return this->assignIfValid(json_value::readNumber<T>(json));
    }

    T getMin() const { return min_; }
    T getMax() const { return max_; }

private:
    T min_;
    T max_;
};

// One of the four Config* duration types; limits and values are counts of its
// unit, printed without a unit.
template <typename D>
class DurationParameter : public Parameter<D> {
public:
    DurationParameter(std::string name, std::string description, D defaultValue, bool readOnly,
                      D min, D max)
        : Parameter<D>(std::move(name), std::move(description), defaultValue, readOnly),
          min_(min),
          max_(max) {}

    bool isValid(const D& candidate) const override {
        if (candidate == this->getDefaultValue()) return true;
        if (this->isReadOnly()) {
            spdlog::warn("Parameter [{}] : cannot modify value to {}, parameter is read only",
                         bounded(this->getName()), candidate.count());
            return false;
        }
        if (candidate < min_) {
            spdlog::warn("Parameter [{}] : value to low (min = {}) => {}", bounded(this->getName()),
                         min_.count(), candidate.count());
            return false;
        }
        if (candidate > max_) {
            spdlog::warn("Parameter [{}] : value to high (max = {}) => {}",
                         bounded(this->getName()), max_.count(), candidate.count());
            return false;
        }
        return true;
    }

    nlohmann::json toJson() const override {
        return nlohmann::json(static_cast<std::uint64_t>(this->getValue().count()));
    }

    bool fromJson(const nlohmann::json& json) override {
        return this->assignIfValid(json_value::readDuration<D>(json));
    }

    D getMin() const { return min_; }
    D getMax() const { return max_; }

private:
    D min_;
    D max_;
};

// A list of bool, integers, float, double or strings; the limits bound the
// number of elements.
template <typename T>
class ListParameter : public Parameter<std::vector<T>> {
public:
    ListParameter(std::string name, std::string description, std::vector<T> defaultValue,
                  bool readOnly, std::uint32_t minSize, std::uint32_t maxSize)
        : Parameter<std::vector<T>>(std::move(name), std::move(description),
                                    std::move(defaultValue), readOnly),
          minSize_(minSize),
          maxSize_(maxSize) {}

    bool isValid(const std::vector<T>& candidate) const override {
        if (candidate == this->getDefaultValue()) return true;
        if (this->isReadOnly()) {
            spdlog::warn("Parameter [{}] : cannot modify value, parameter is read only",
                         bounded(this->getName()));
            return false;
        }
        if (candidate.size() < minSize_) {
            spdlog::warn("Parameter [{}] : not enough values (min = {}) => {}",
                         bounded(this->getName()), minSize_, candidate.size());
            return false;
        }
        if (candidate.size() > maxSize_) {
            spdlog::warn("Parameter [{}] : too much values (max = {}) => {}",
                         bounded(this->getName()), maxSize_, candidate.size());
            return false;
        }
        return true;
    }

    nlohmann::json toJson() const override {
        nlohmann::json array = nlohmann::json::array();
        for (const auto& element : this->getValue()) {
            if constexpr (std::is_same_v<T, float>)
                array.push_back(static_cast<double>(element));
            else
                array.push_back(static_cast<T>(element));  // vector<bool> yields a proxy
        }
        return array;
    }

    bool fromJson(const nlohmann::json& json) override {
        return this->assignIfValid(json_value::readList<T>(json));
    }

    std::uint32_t getMinSize() const { return minSize_; }
    std::uint32_t getMaxSize() const { return maxSize_; }

private:
    std::uint32_t minSize_;
    std::uint32_t maxSize_;
};

// A string bounded either by a pattern the whole value must match or, without
// a pattern, by its length in bytes. The expression is compiled once, here.
class StringParameter : public Parameter<std::string> {
public:
    // A non-empty pattern must compile as an ECMAScript expression
    // (std::invalid_argument with the reason otherwise); the loader then
    // passes 0 for both sizes.
    StringParameter(std::string name, std::string description, std::string defaultValue,
                    bool readOnly, std::uint32_t minSize, std::uint32_t maxSize,
                    std::string pattern);

    bool isValid(const std::string& candidate) const override;
    nlohmann::json toJson() const override;
    bool fromJson(const nlohmann::json& json) override;

    std::uint32_t getMinSize() const { return minSize_; }
    std::uint32_t getMaxSize() const { return maxSize_; }
    const std::string& getPattern() const { return pattern_; }

private:
    std::uint32_t minSize_;
    std::uint32_t maxSize_;
    std::string pattern_;
    std::optional<FullMatchRegex> regex_;
};

}  // namespace ev_common
