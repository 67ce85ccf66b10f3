// What a service sees of its configuration: parameters by full name
// ("group.parameter"), and reading and writing of the configuration file.
// The service runtime hands its ConfigParameterProvider out through it.
#pragma once

#include "ev_common/config/i_parameter.hpp"
#include "ev_common/config/typed_parameter.hpp"

#include <chrono>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <typeinfo>

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

    // The value of a parameter of type T (std::string, unsigned int,
    // std::chrono::seconds, std::vector<std::string>, ...): empty when the
    // parameter is missing (logged as getParameter does) or of another type.
    template <typename T>
    std::optional<T> getValue(const std::string& fullName) {
        return valueOf<T>(getParameter(fullName));
    }
    // The same for a parameter the description may leave out: logs nothing.
    template <typename T>
    std::optional<T> findValue(const std::string& fullName) const {
        return valueOf<T>(findParameter(fullName));
    }

    template <typename T>
    static std::optional<T> valueOf(const std::shared_ptr<IParameter>& parameter) {
        if constexpr (isDuration<T>::value) {
            // Durations are held with a long long count, which is not the
            // representation of std::chrono::seconds on every target.
            using Held = std::chrono::duration<long long, typename T::period>;
            if constexpr (!std::is_same_v<T, Held>) {
                const auto held = valueOf<Held>(parameter);
                if (!held) return std::nullopt;
                return std::chrono::duration_cast<T>(*held);
            }
        }
        if (!parameter || parameter->getType() != typeid(T)) return std::nullopt;
        const auto typed = std::dynamic_pointer_cast<Parameter<T>>(parameter);
        if (!typed) return std::nullopt;
        return typed->getValue();
    }

private:
    template <typename T>
    struct isDuration : std::false_type {};
    template <typename Rep, typename Period>
    struct isDuration<std::chrono::duration<Rep, Period>> : std::true_type {};
};

}  // namespace ev_common
