// The configuration registry of a service: the loaders by type name, the
// parameter groups read from the configuration description and the path of
// the configuration file. The service runtime owns one and loads both files
// into it at start-up; services then look their parameters up by full name.
#pragma once

#include "ev_common/config/i_config_parameter_provider.hpp"
#include "ev_common/config/parameter_group.hpp"
#include "ev_common/config/parameter_loader.hpp"

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace ev_common {

class ConfigParameterProvider : public IConfigParameterProvider {
public:
    // Registers the standard loaders: bool, int, uint, int64, uint64, float,
    // double, string, msec, sec, min, hour and the list form "T[]" of every
    // numeric type and string.
    ConfigParameterProvider();

    // Adds the groups of a configuration description, replacing groups of the
    // same names; true when every group was read without error.
    bool loadDescriptionFile(const std::string& path);
    void setConfigurationFilePath(const std::string& path);

    bool addLoader(const std::string& typeName, IConfigParameterLoader* loader) override;
    bool loadConfigurationFile(const std::string& path, bool strict) override;
    bool loadConfiguration(std::istream& input, bool strict) override;
    bool saveConfiguration() override;
    // Replaces the file atomically: on any failure the old file stays intact.
    bool saveConfigurationFile(const std::string& path) override;
    bool writeConfiguration(std::ostream& output) override;
    std::shared_ptr<IParameter> getParameter(const std::string& fullName) override;
    std::shared_ptr<IParameter> findParameter(const std::string& fullName) const override;

private:
    std::vector<std::shared_ptr<IParameter>> parseParameters(const std::string& groupName,
                                                             const nlohmann::json& parameters);
    std::shared_ptr<IParameter> resolve(const std::string& fullName, bool report) const;

    std::map<std::string, IConfigParameterLoader*> loaders_;
    std::map<std::string, std::shared_ptr<ParameterGroup>> groups_;
    std::string configFilePath_;
};

}  // namespace ev_common
