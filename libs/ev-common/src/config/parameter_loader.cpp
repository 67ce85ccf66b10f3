#include "ev_common/config/parameter_loader.hpp"

#include "ev_common/config/parameter.hpp"
#include "ev_common/system/bounded_text.hpp"

#include <spdlog/spdlog.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <stdexcept>
#include <vector>

namespace ev_common {
namespace {

using nlohmann::json;

// The messages differ between the families letter for letter; log readers
// elsewhere match them exactly.
struct LoaderTexts {
    const char* invalidDefault;
    const char* invalidForced;
    const char* forcedDiffers;
    const char* invalidDefinition;
};

constexpr LoaderTexts kNumericTexts{
    "NumericParameterLoader [{}] : invalid default value in json",
    "NumericParameterLoader [{}] : invalid forced value in json",
    "NumericParameterLoader [{}] forced value is different from default value",
    "[NumericParameterLoader] Invalid json"};

constexpr LoaderTexts kDurationTexts{
    "DurationParameterLoader [{}] : invalid default value in json",
    "DurationParameterLoader [{}] : invalid forced value in json",
    "DurationParameterLoader [{}] : forced value is different from default value",
    "[DurationParameterLoader] Invalid value in json"};

constexpr LoaderTexts kListTexts{
    "ListParameterLoader [{}] : invalid default value in json",
    "ListParameterLoader [{}] : invalid forced value in json",
    "ListParameterLoader [{}] : forced value is different from default value",
    "ListParameter {} : Invalid json"};

constexpr LoaderTexts kStringTexts{
    "StringParameterLoader [{}] : invalid default value in json",
    "StringParameterLoader [{}] : invalid forced value in json",
    "StringParameterLoader [{}] forced value is different from default value",
    "[StringParameterLoader] Invalid json"};

// Not every message carries the name; fmt ignores an argument it has no
// placeholder for.
void logWithName(const char* text, const std::string& name) {
    spdlog::error(fmt::runtime(text), bounded(name));
}

const json* member(const json& definition, const char* key) {
    // find() answers end() for anything but an object, so a definition that
    // is not an object simply has no keys.
    const auto it = definition.find(key);
    return it == definition.end() ? nullptr : &*it;
}

template <typename T>
struct CommonKeys {
    T defaultValue;
    bool readOnly = false;
    bool bad = false;
};

// "default" and the forced "value"; a forced value makes the parameter read
// only and must agree with an explicit default.
template <typename T, typename Reader>
CommonKeys<T> readCommonKeys(const std::string& name, const json& definition,
                             const LoaderTexts& texts, T builtInDefault, Reader read) {
    CommonKeys<T> keys{std::move(builtInDefault)};
    bool haveDefault = false;
    if (const json* j = member(definition, "default")) {
        if (std::optional<T> value = read(*j)) {
            keys.defaultValue = std::move(*value);
            haveDefault = true;
        } else {
            logWithName(texts.invalidDefault, name);
            keys.bad = true;
        }
    }
    if (const json* j = member(definition, "value")) {
        if (std::optional<T> forced = read(*j)) {
            keys.readOnly = true;
            if (!haveDefault) {
                keys.defaultValue = std::move(*forced);
            } else if (!(keys.defaultValue == *forced)) {
                logWithName(texts.forcedDiffers, name);
                keys.bad = true;
            }
        } else {
            logWithName(texts.invalidForced, name);
            keys.bad = true;
        }
    }
    return keys;
}

// An absent limit keeps its built-in value; a present one must convert.
template <typename T, typename Reader>
bool readLimit(const json& definition, const char* key, T& limit, Reader read) {
    const json* j = member(definition, key);
    if (!j) return true;
    std::optional<T> value = read(*j);
    if (!value) return false;
    limit = *value;
    return true;
}

bool readSize(const json& definition, const char* key, std::uint32_t& size, const char* refusal,
              const std::string& name) {
    const json* j = member(definition, key);
    if (!j) return true;
    if (!j->is_number_unsigned()) {
        logWithName(refusal, name);
        return false;
    }
    size = static_cast<std::uint32_t>(j->get<std::uint64_t>());
    return true;
}

}  // namespace

template <typename T, typename U>
std::shared_ptr<IParameter> NumericParameterLoader<T, U>::createParameter(
    const std::string& name, const std::string& description, const json& definition) {
    const auto read = [](const json& j) { return json_value::readNumber<T>(j); };
    CommonKeys<T> keys = readCommonKeys<T>(name, definition, kNumericTexts, T{}, read);
    T min = std::numeric_limits<T>::lowest();
    T max = std::numeric_limits<T>::max();
    if (!readLimit(definition, "min", min, read)) keys.bad = true;
    if (!readLimit(definition, "max", max, read)) keys.bad = true;
    if (keys.bad) {
        logWithName(kNumericTexts.invalidDefinition, name);
        return nullptr;
    }
    return std::make_shared<NumericParameter<T, U>>(name, description, keys.defaultValue,
                                                    keys.readOnly, min, max);
}

template <typename D>
std::shared_ptr<IParameter> DurationParameterLoader<D>::createParameter(
    const std::string& name, const std::string& description, const json& definition) {
    const auto read = [](const json& j) { return json_value::readDuration<D>(j); };
    CommonKeys<D> keys = readCommonKeys<D>(name, definition, kDurationTexts, D(0), read);
    D min(0);
    D max(std::numeric_limits<long long>::max());
    if (!readLimit(definition, "min", min, read)) keys.bad = true;
    if (!readLimit(definition, "max", max, read)) keys.bad = true;
    if (keys.bad) {
        logWithName(kDurationTexts.invalidDefinition, name);
        return nullptr;
    }
    return std::make_shared<DurationParameter<D>>(name, description, keys.defaultValue,
                                                  keys.readOnly, min, max);
}

template <typename T>
std::shared_ptr<IParameter> ListParameterLoader<T>::createParameter(const std::string& name,
                                                                    const std::string& description,
                                                                    const json& definition) {
    const auto read = [](const json& j) { return json_value::readList<T>(j); };
    CommonKeys<std::vector<T>> keys =
        readCommonKeys<std::vector<T>>(name, definition, kListTexts, {}, read);
    std::uint32_t minSize = 0;
    std::uint32_t maxSize = std::numeric_limits<std::uint32_t>::max();
    if (!readSize(definition, "min_size", minSize,
                  "ListParameter {} : min size must be an unsigned integer", name))
        keys.bad = true;
    if (!readSize(definition, "max_size", maxSize,
                  "ListParameter {} : max size must be an unsigned integer", name))
        keys.bad = true;
    if (keys.bad) {
        logWithName(kListTexts.invalidDefinition, name);
        return nullptr;
    }
    return std::make_shared<ListParameter<T>>(name, description, std::move(keys.defaultValue),
                                              keys.readOnly, minSize, maxSize);
}

std::shared_ptr<IParameter> StringParameterLoader::createParameter(const std::string& name,
                                                                   const std::string& description,
                                                                   const json& definition) {
    CommonKeys<std::string> keys =
        readCommonKeys<std::string>(name, definition, kStringTexts, {}, json_value::readString);
    std::uint32_t minSize = 0;
    std::uint32_t maxSize = std::numeric_limits<std::uint32_t>::max();
    if (!readSize(definition, "min_size", minSize,
                  "StringParameter {} : min size must be an unsigned integer", name))
        keys.bad = true;
    if (!readSize(definition, "max_size", maxSize,
                  "StringParameter {} : max size must be an unsigned integer", name))
        keys.bad = true;
    std::string pattern;
    if (const json* j = member(definition, "pattern")) {
        if (j->is_string()) {
            pattern = j->get<std::string>();
        } else {
            logWithName("StringParameter {} : pattern must be a string", name);
            keys.bad = true;
        }
    }
    if (keys.bad) {
        logWithName(kStringTexts.invalidDefinition, name);
        return nullptr;
    }
    // A pattern replaces the length limits altogether.
    if (!pattern.empty()) minSize = maxSize = 0;
    try {
        return std::make_shared<StringParameter>(name, description, std::move(keys.defaultValue),
                                                 keys.readOnly, minSize, maxSize, pattern);
    } catch (const std::invalid_argument& e) {
        spdlog::error("StringParameter {} : pattern does not compile ({}) => {}", bounded(name),
                      e.what(), bounded(pattern));
        logWithName(kStringTexts.invalidDefinition, name);
        return nullptr;
    }
}

template class NumericParameterLoader<bool, bool>;
template class NumericParameterLoader<int, int>;
template class NumericParameterLoader<unsigned int, unsigned int>;
template class NumericParameterLoader<long long, long long>;
template class NumericParameterLoader<unsigned long long, unsigned long long>;
template class NumericParameterLoader<float, float>;
template class NumericParameterLoader<double, double>;

template class DurationParameterLoader<ConfigMilliseconds>;
template class DurationParameterLoader<ConfigSeconds>;
template class DurationParameterLoader<ConfigMinutes>;
template class DurationParameterLoader<ConfigHours>;

template class ListParameterLoader<bool>;
template class ListParameterLoader<int>;
template class ListParameterLoader<unsigned int>;
template class ListParameterLoader<long long>;
template class ListParameterLoader<unsigned long long>;
template class ListParameterLoader<float>;
template class ListParameterLoader<double>;
template class ListParameterLoader<std::string>;

}  // namespace ev_common
