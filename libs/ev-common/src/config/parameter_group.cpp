#include "ev_common/config/parameter_group.hpp"

#include "ev_common/system/bounded_text.hpp"

#include <spdlog/spdlog.h>

namespace ev_common {

ParameterGroup::ParameterGroup(std::string name, std::string description,
                               const std::vector<std::shared_ptr<IParameter>>& parameters)
    : name_(std::move(name)), description_(std::move(description)) {
    for (const auto& parameter : parameters) parameters_[parameter->getName()] = parameter;
}

std::shared_ptr<IParameter> ParameterGroup::getParameter(const std::string& name) const {
    const auto it = parameters_.find(name);
    return it == parameters_.end() ? nullptr : it->second;
}

bool ParameterGroup::readValues(const nlohmann::json& values) {
    if (!values.is_object()) {
        spdlog::error("[{}] parameter group must be a JSON object", bounded(name_));
        return false;
    }
    bool ok = true;
    for (const auto& item : values.items()) {
        const auto it = parameters_.find(item.key());
        if (it == parameters_.end()) {
            spdlog::warn("[{}] Unknown parameter => {}", bounded(name_), bounded(item.key()));
            continue;
        }
        if (!it->second->fromJson(item.value())) {
            spdlog::warn("[{}] Error reading value of parameter {}", bounded(name_),
                         bounded(item.key()));
            ok = false;
        }
    }
    return ok;
}

nlohmann::json ParameterGroup::toJson() const {
    nlohmann::json group = nlohmann::json::object();
    for (const auto& [name, parameter] : parameters_) group[name] = parameter->toJson();
    return group;
}

}  // namespace ev_common
