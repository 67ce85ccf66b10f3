// A named group of parameters from the configuration description, and its
// member of the configuration file: readValues assigns the values of that
// member, toJson produces it. Owned by the configuration provider.
#pragma once

#include "ev_common/config/i_parameter.hpp"

#include <nlohmann/json.hpp>

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace ev_common {

class ParameterGroup {
public:
    // Parameters are keyed by getName(); of two with the same name the later
    // one in the list is kept.
    ParameterGroup(std::string name, std::string description,
                   const std::vector<std::shared_ptr<IParameter>>& parameters);

    const std::string& getName() const { return name_; }
    const std::string& getDescription() const { return description_; }

    // Empty when the group has no parameter of that name; logs nothing.
    std::shared_ptr<IParameter> getParameter(const std::string& name) const;

    // False when the member is not an object or a value was refused; refused
    // values leave their parameter as it was, unknown names are only logged.
    // A list element of the wrong kind throws the JSON library's type error.
    bool readValues(const nlohmann::json& values);

    // Every parameter's current value, by name.
    nlohmann::json toJson() const;

private:
    std::string name_;
    std::string description_;
    std::map<std::string, std::shared_ptr<IParameter>> parameters_;
};

}  // namespace ev_common
