#include "ev_common/config/config_parameter_provider.hpp"

#include "ev_common/config/json_value_reader.hpp"
#include "ev_common/system/bounded_text.hpp"
#include "ev_common/system/file_io.hpp"

#include <spdlog/spdlog.h>

#include <cstring>
#include <exception>
#include <iomanip>
#include <sstream>

namespace ev_common {
namespace {

using nlohmann::json;

// One stateless instance per loader type, shared by every provider.
template <typename Loader>
IConfigParameterLoader* sharedLoader() {
    static Loader loader;
    return &loader;
}

std::string optionalString(const json& object, const char* key) {
    const auto it = object.find(key);
    // A non-string throws the JSON library's type error, which fails the file.
    return it == object.end() ? std::string() : it->get<std::string>();
}

}  // namespace

ConfigParameterProvider::ConfigParameterProvider() {
    addLoader("bool", sharedLoader<NumericParameterLoader<bool, bool>>());
    addLoader("int", sharedLoader<NumericParameterLoader<int, int>>());
    addLoader("uint", sharedLoader<NumericParameterLoader<unsigned int, unsigned int>>());
    addLoader("int64", sharedLoader<NumericParameterLoader<long long, long long>>());
    addLoader("uint64",
              sharedLoader<NumericParameterLoader<unsigned long long, unsigned long long>>());
    addLoader("float", sharedLoader<NumericParameterLoader<float, float>>());
    addLoader("double", sharedLoader<NumericParameterLoader<double, double>>());
    addLoader("string", sharedLoader<StringParameterLoader>());
    addLoader("msec", sharedLoader<DurationParameterLoader<ConfigMilliseconds>>());
    addLoader("sec", sharedLoader<DurationParameterLoader<ConfigSeconds>>());
    addLoader("min", sharedLoader<DurationParameterLoader<ConfigMinutes>>());
    addLoader("hour", sharedLoader<DurationParameterLoader<ConfigHours>>());
    addLoader("bool[]", sharedLoader<ListParameterLoader<bool>>());
    addLoader("int[]", sharedLoader<ListParameterLoader<int>>());
    addLoader("uint[]", sharedLoader<ListParameterLoader<unsigned int>>());
    addLoader("int64[]", sharedLoader<ListParameterLoader<long long>>());
    addLoader("uint64[]", sharedLoader<ListParameterLoader<unsigned long long>>());
    addLoader("float[]", sharedLoader<ListParameterLoader<float>>());
    addLoader("double[]", sharedLoader<ListParameterLoader<double>>());
    addLoader("string[]", sharedLoader<ListParameterLoader<std::string>>());
}

bool ConfigParameterProvider::addLoader(const std::string& typeName,
                                        IConfigParameterLoader* loader) {
    if (loaders_.count(typeName) != 0) {
        spdlog::error("A loader is already registered for this parameter type => {}",
                      bounded(typeName));
        return false;
    }
    // An empty loader would only fail later, when a parameter of the type is read.
    if (loader == nullptr) {
        spdlog::error("Refusing an empty loader for parameter type => {}", bounded(typeName));
        return false;
    }
    loaders_.emplace(typeName, loader);
    spdlog::debug("Parameter loader added for type {}", bounded(typeName));
    return true;
}

void ConfigParameterProvider::setConfigurationFilePath(const std::string& path) {
    configFilePath_ = path;
}

bool ConfigParameterProvider::loadDescriptionFile(const std::string& path) {
    spdlog::info("Loading configuration description from {}", path);
    std::error_code error;
    const auto text = readRegularFile(path, error);
    if (!text && fileKind(path) == FileKind::other) {
        spdlog::error("Configuration description file is not a regular file : {}", path);
        return false;
    }
    if (!text) {
        spdlog::error("Unable to open configuration description file : {}", path);
        return false;
    }
    try {
        const json root =
            json::parse(*text, nullptr, /*allow_exceptions=*/true, /*ignore_comments=*/false);
        if (!root.is_object()) {
            spdlog::error("Invalid JSON format in configuration description file : {}", path);
            return false;
        }
        bool result = true;
        for (const auto& item : root.items()) {
            const std::string& groupName = item.key();
            const json& group = item.value();
            if (!group.is_object()) {
                spdlog::error("Invalid JSON format in parameter group : {}", bounded(groupName));
                result = false;
                continue;
            }
            const std::string description = optionalString(group, "description");
            const auto parameters = group.find("parameters");
            if (parameters == group.end() || !parameters->is_array() || parameters->empty()) {
                spdlog::error("Invalid JSON format for parameters in parameter group : {}",
                              bounded(groupName));
                result = false;
                continue;
            }
            const auto list = parseParameters(groupName, *parameters);
            if (list.empty()) {
                result = false;
                continue;
            }
            groups_[groupName] = std::make_shared<ParameterGroup>(groupName, description, list);
        }
        return result;
    } catch (const std::exception& e) {
        spdlog::error("Invalid JSON format in configuration description file : {} - {}", path,
                      bounded(e.what()));
        return false;
    }
}

std::vector<std::shared_ptr<IParameter>> ConfigParameterProvider::parseParameters(
    const std::string& groupName, const json& parameters) {
    std::vector<std::shared_ptr<IParameter>> list;
    for (const json& entry : parameters) {
        if (!entry.is_object()) {
            spdlog::error("Invalid JSON format for parameters in parameter group : {}",
                          bounded(groupName));
            continue;
        }
        const auto nameIt = entry.find("name");
        if (nameIt == entry.end()) {
            spdlog::error("Missing name for parameter in parameter group : {}", bounded(groupName));
            continue;
        }
        const std::string name = nameIt->get<std::string>();
        const std::string description = optionalString(entry, "description");
        const auto typeIt = entry.find("type");
        if (typeIt == entry.end()) {
            spdlog::error("Missing type for parameter {} in parameter group : {}", bounded(name),
                          bounded(groupName));
            continue;
        }
        const std::string type = typeIt->get<std::string>();
        const auto loader = loaders_.find(type);
        if (loader == loaders_.end()) {
            spdlog::error("Unknown type {} for parameter {} in parameter group : {}", bounded(type),
                          bounded(name), bounded(groupName));
            continue;
        }
        if (auto parameter = loader->second->createParameter(name, description, entry))
            list.push_back(std::move(parameter));
    }
    return list;
}

bool ConfigParameterProvider::loadConfigurationFile(const std::string& path, bool strict) {
    std::error_code error;
    const auto content = readRegularFile(path, error);
    if (!content && fileKind(path) == FileKind::other) {
        spdlog::error("Configuration file is not a regular file : {}", path);
        return false;
    }
    if (!content) return false;
    std::istringstream text(*content);
    return loadConfiguration(text, strict);
}

bool ConfigParameterProvider::loadConfiguration(std::istream& input, bool strict) {
    if (input.eof()) return false;
    try {
        // Stream extraction stops after the first complete value; whatever
        // follows it is not looked at.
        json root;
        input >> root;
        bool result = true;
        for (const auto& item : root.items()) {
            const auto group = groups_.find(item.key());
            if (group == groups_.end()) {
                spdlog::error("Unknown parameter group : {}", bounded(item.key()));
                continue;
            }
            if (!group->second->readValues(item.value()) && strict) result = false;
        }
        return result;
    } catch (const std::exception& e) {
        spdlog::error("Invalid parameters file format : {}", bounded(e.what()));
        return false;
    }
}

bool ConfigParameterProvider::writeConfiguration(std::ostream& output) {
    if (output.bad()) return false;
    json root;  // stays null without groups
    for (const auto& [name, group] : groups_) root[name] = group->toJson();
    try {
        output << std::setw(4) << root;
    } catch (const std::exception& e) {
        // Only a string that is not valid UTF-8 gets here; such a value never
        // came from either file, both being parsed as UTF-8.
        spdlog::error("Unable to write configuration : {}", bounded(e.what()));
        return false;
    }
    return !output.bad();
}

bool ConfigParameterProvider::saveConfigurationFile(const std::string& path) {
    std::ostringstream text;
    if (!writeConfiguration(text)) return false;
    // The configuration file may be a link to the real one: it stays a link.
    AtomicWriteOptions options;
    options.throughLink = true;
    const AtomicWriteResult result = writeFileAtomically(path, text.str(), options);
    if (result.status == AtomicWriteResult::Status::notRegular)
        spdlog::error("Configuration file is not a regular file : {}", path);
    if (result.status == AtomicWriteResult::Status::failed ||
        result.status == AtomicWriteResult::Status::notSynced)
        spdlog::error("Unable to write configuration file [{}] : {} failed ({})", path, result.step,
                      std::strerror(result.error));
    return result.ok();
}

bool ConfigParameterProvider::saveConfiguration() {
    if (configFilePath_.empty()) return false;
    return saveConfigurationFile(configFilePath_);
}

std::shared_ptr<IParameter> ConfigParameterProvider::getParameter(const std::string& fullName) {
    return resolve(fullName, /*report=*/true);
}

std::shared_ptr<IParameter> ConfigParameterProvider::findParameter(
    const std::string& fullName) const {
    return resolve(fullName, /*report=*/false);
}

std::shared_ptr<IParameter> ConfigParameterProvider::resolve(const std::string& fullName,
                                                             bool report) const {
    // Exactly one full stop: "a.b.c", "a" and "a..b" are all malformed.
    const auto dot = fullName.find('.');
    if (dot == std::string::npos || fullName.find('.', dot + 1) != std::string::npos) {
        if (report) spdlog::error("Invalid parameter name : {}", bounded(fullName));
        return nullptr;
    }
    const std::string groupName = fullName.substr(0, dot);
    const std::string parameterName = fullName.substr(dot + 1);
    const auto group = groups_.find(groupName);
    if (group == groups_.end()) {
        if (report) spdlog::error("Unknown parameter group : {}", bounded(groupName));
        return nullptr;
    }
    auto parameter = group->second->getParameter(parameterName);
    if (!parameter && report) spdlog::error("Unknown parameter : {}", bounded(parameterName));
    return parameter;
}

}  // namespace ev_common
