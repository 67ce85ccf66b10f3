#include "ev_common/config/parameter.hpp"

#include <stdexcept>

namespace ev_common {

StringParameter::StringParameter(std::string name, std::string description,
                                 std::string defaultValue, bool readOnly, std::uint32_t minSize,
                                 std::uint32_t maxSize, std::string pattern)
    : Parameter<std::string>(std::move(name), std::move(description), std::move(defaultValue),
                             readOnly),
      minSize_(minSize),
      maxSize_(maxSize),
      pattern_(std::move(pattern)) {
    if (pattern_.empty()) return;
    std::string error;
    regex_ = FullMatchRegex::compile(pattern_, error);
    if (!regex_) throw std::invalid_argument(error);
}

bool StringParameter::isValid(const std::string& candidate) const {
    // The default always reads back, even when it breaks the description's
    // own pattern or sizes: the file written from it must load again.
    if (candidate == getDefaultValue()) return true;
    if (isReadOnly()) {
        spdlog::warn("Parameter [{}] : cannot modify value to '{}', parameter is read only",
                     bounded(getName()), bounded(candidate));
        return false;
    }
    if (regex_) {
        switch (regex_->match(candidate)) {
            case FullMatchRegex::Match::yes:
                return true;
            case FullMatchRegex::Match::no:
                spdlog::warn("Parameter [{}] : value doesn't match the regex (regex = {}) => {}",
                             bounded(getName()), bounded(pattern_), bounded(candidate));
                return false;
            case FullMatchRegex::Match::undecided:
                spdlog::warn(
                    "Parameter [{}] : value too complex to check against the regex, matching "
                    "limit reached (regex = {}) => {}",
                    bounded(getName()), bounded(pattern_), bounded(candidate));
                return false;
        }
    }
    if (candidate.size() < minSize_) {
        spdlog::warn("Parameter [{}] : value to short (min = {}) => {}", bounded(getName()),
                     minSize_, candidate.size());
        return false;
    }
    if (candidate.size() > maxSize_) {
        spdlog::warn("Parameter [{}] : value to long (max = {}) => {}", bounded(getName()),
                     maxSize_, candidate.size());
        return false;
    }
    return true;
}

nlohmann::json StringParameter::toJson() const {
    return nlohmann::json(getValue());
}

bool StringParameter::fromJson(const nlohmann::json& json) {
    return assignIfValid(json_value::readString(json));
}

}  // namespace ev_common
