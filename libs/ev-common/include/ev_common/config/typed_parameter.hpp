// Parameter<T>: what every configuration parameter of value type T shares,
// and the value types of durations. Services read their values through it
// (IConfigParameterProvider::getValue); it needs no JSON library, so the
// service headers stay light for a daemon's own files.
#pragma once

#include "ev_common/config/i_parameter.hpp"

#include <chrono>
#include <optional>
#include <ratio>
#include <string>
#include <typeinfo>
#include <utility>

namespace ev_common {

// The duration types of the configuration. Their representation is spelled
// out as long long on purpose: std::chrono::milliseconds uses long on 64-bit
// hosts, which is a different type for getType() comparisons.
using ConfigMilliseconds = std::chrono::duration<long long, std::ratio<1, 1000>>;
using ConfigSeconds = std::chrono::duration<long long, std::ratio<1, 1>>;
using ConfigMinutes = std::chrono::duration<long long, std::ratio<60, 1>>;
using ConfigHours = std::chrono::duration<long long, std::ratio<3600, 1>>;

template <typename T>
class Parameter : public IParameter {
public:
    const std::string& getName() const override { return name_; }
    const std::string& getDescription() const override { return description_; }
    bool isReadOnly() const override { return readOnly_; }
    void reset() override { value_ = defaultValue_; }
    const std::type_info& getType() const override { return typeid(T); }

    // Whether the candidate may become the value; logs the reason when not.
    virtual bool isValid(const T& candidate) const = 0;

    const T& getValue() const { return value_; }
    const T& getDefaultValue() const { return defaultValue_; }

protected:
    Parameter(std::string name, std::string description, T defaultValue, bool readOnly)
        : value_(defaultValue),
          defaultValue_(std::move(defaultValue)),
          readOnly_(readOnly),
          name_(std::move(name)),
          description_(std::move(description)) {}

    // The last step of every fromJson: nothing is assigned unless valid.
    bool assignIfValid(std::optional<T> candidate) {
        if (!candidate || !isValid(*candidate)) return false;
        value_ = std::move(*candidate);
        return true;
    }

private:
    T value_;
    T defaultValue_;
    bool readOnly_;
    std::string name_;
    std::string description_;
};

}  // namespace ev_common
