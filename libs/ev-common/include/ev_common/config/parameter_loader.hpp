// Loaders build one parameter from its entry in the configuration description:
// the value type's "default", the forced "value" and the family's limit keys.
// The provider maps each type name ("uint", "msec", "string[]", ...) to one
// process-wide loader; a service may register more before reading.
#pragma once

#include "ev_common/config/i_parameter.hpp"
#include "ev_common/config/json_value_reader.hpp"

#include <nlohmann/json.hpp>

#include <memory>
#include <string>

namespace ev_common {

class IConfigParameterLoader {
public:
    virtual ~IConfigParameterLoader() = default;

    // The new parameter, or an empty pointer (after logging why) when the
    // definition is invalid, a pattern that does not compile included. A list
    // element of the wrong kind or out of range throws the JSON library's
    // exception (std::out_of_range for the latter).
    virtual std::shared_ptr<IParameter> createParameter(const std::string& name,
                                                        const std::string& description,
                                                        const nlohmann::json& definition) = 0;
};

// Instantiated for bool, int, unsigned int, long long, unsigned long long,
// float and double, with the value type for both arguments.
template <typename T, typename U>
class NumericParameterLoader : public IConfigParameterLoader {
public:
    std::shared_ptr<IParameter> createParameter(const std::string& name,
                                                const std::string& description,
                                                const nlohmann::json& definition) override;
};

// Instantiated for ConfigMilliseconds, ConfigSeconds, ConfigMinutes, ConfigHours.
template <typename D>
class DurationParameterLoader : public IConfigParameterLoader {
public:
    std::shared_ptr<IParameter> createParameter(const std::string& name,
                                                const std::string& description,
                                                const nlohmann::json& definition) override;
};

// Instantiated for the numeric element types above and std::string.
template <typename T>
class ListParameterLoader : public IConfigParameterLoader {
public:
    std::shared_ptr<IParameter> createParameter(const std::string& name,
                                                const std::string& description,
                                                const nlohmann::json& definition) override;
};

class StringParameterLoader : public IConfigParameterLoader {
public:
    std::shared_ptr<IParameter> createParameter(const std::string& name,
                                                const std::string& description,
                                                const nlohmann::json& definition) override;
};

}  // namespace ev_common
