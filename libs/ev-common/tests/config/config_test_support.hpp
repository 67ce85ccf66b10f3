// Shared by the configuration tests: a provider loaded from a description
// given as text, and typed reads of its parameters.
#pragma once

#include "ev_common/config/config_parameter_provider.hpp"
#include "ev_common/config/parameter.hpp"

#include <gtest/gtest.h>

#include "temp_dir.hpp"

#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace config_test {

// Whether any of the captured lines begins with `prefix`.
inline bool startsWith(const std::vector<std::string>& lines, const std::string& prefix) {
    for (const auto& line : lines)
        if (line.rfind(prefix, 0) == 0) return true;
    return false;
}

inline std::unique_ptr<ev_common::ConfigParameterProvider> providerFor(
    const ev_test::TempDir& dir, const std::string& description) {
    auto provider = std::make_unique<ev_common::ConfigParameterProvider>();
    ev_test::writeFile(dir / "description.json", description);
    EXPECT_TRUE(provider->loadDescriptionFile((dir / "description.json").string()));
    return provider;
}

template <typename T>
T valueOf(ev_common::IConfigParameterProvider& provider, const std::string& fullName) {
    auto parameter = provider.findParameter(fullName);
    EXPECT_NE(parameter, nullptr) << fullName;
    if (!parameter) return T{};
    EXPECT_TRUE(parameter->getType() == typeid(T)) << fullName;
    auto typed = std::dynamic_pointer_cast<ev_common::Parameter<T>>(parameter);
    return typed ? typed->getValue() : T{};
}

inline std::string written(ev_common::IConfigParameterProvider& provider) {
    std::ostringstream out;
    EXPECT_TRUE(provider.writeConfiguration(out));
    return out.str();
}

inline bool readText(ev_common::IConfigParameterProvider& provider, const std::string& text,
                     bool strict = true) {
    std::istringstream in(text);
    return provider.loadConfiguration(in, strict);
}

}  // namespace config_test
