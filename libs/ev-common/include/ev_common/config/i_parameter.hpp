// One named, typed configuration value as services and the configuration file
// see it, whatever its type. Services read the typed value by comparing
// getType() with the type they expect and casting to Parameter<T>; the
// configuration file reads and writes it through fromJson/toJson.
#pragma once

#include <nlohmann/json_fwd.hpp>

#include <string>
#include <typeinfo>

namespace ev_common {

class IParameter {
public:
    virtual ~IParameter() = default;

    virtual const std::string& getName() const = 0;
    virtual const std::string& getDescription() const = 0;
    virtual bool isReadOnly() const = 0;
    // Back to the default value, without validation.
    virtual void reset() = 0;
    virtual nlohmann::json toJson() const = 0;
    // Checks the JSON kind, converts, validates and assigns; on false the value
    // is unchanged. A list element of the wrong kind throws the JSON library's
    // type error.
    virtual bool fromJson(const nlohmann::json& json) = 0;
    // Type information of the value type.
    virtual const std::type_info& getType() const = 0;
};

}  // namespace ev_common
