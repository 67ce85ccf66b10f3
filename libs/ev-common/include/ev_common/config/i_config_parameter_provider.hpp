// What a service sees of its configuration: parameters by full name
// ("group.parameter"), and reading and writing of the configuration file.
// The service runtime hands its ConfigParameterProvider out through it.
#pragma once

#include "ev_common/config/i_parameter.hpp"

#include <iosfwd>
#include <memory>
#include <string>

namespace ev_common {

class IConfigParameterLoader;

class IConfigParameterProvider {
public:
    virtual ~IConfigParameterProvider() = default;

    // Registers a loader for a new type name; false when the name is taken.
    // The loader is not owned and must outlive the provider.
    virtual bool addLoader(const std::string& typeName, IConfigParameterLoader* loader) = 0;
    // With `strict`, any group whose values were not all accepted makes the
    // read fail; values accepted before a failure stay assigned.
    virtual bool loadConfigurationFile(const std::string& path, bool strict) = 0;
    virtual bool loadConfiguration(std::istream& input, bool strict) = 0;
    // Writes to the path given by setConfigurationFilePath; false before that.
    virtual bool saveConfiguration() = 0;
    virtual bool saveConfigurationFile(const std::string& path) = 0;
    virtual bool writeConfiguration(std::ostream& output) = 0;
    // The live parameter, or empty after logging why.
    virtual std::shared_ptr<IParameter> getParameter(const std::string& fullName) = 0;
    // Resolves like getParameter but logs nothing, for parameters a service
    // may or may not declare.
    virtual std::shared_ptr<IParameter> findParameter(const std::string& fullName) const = 0;
};

}  // namespace ev_common
