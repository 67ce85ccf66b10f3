#include "switchable_tool.hpp"

#include "temp_dir.hpp"

namespace ev_test {

void writeSwitchableTool(const std::filesystem::path& script, const std::string& realTool,
                         const std::filesystem::path& failSwitch) {
    std::string text = R"sh(#!/bin/sh
[ -e SWITCH ] || exec TOOL "$@"
case "$(cat SWITCH)" in
  once) rm -f SWITCH ;;
  after) rm -f SWITCH; TOOL "$@" ;;
esac
exit 1
)sh";
    const auto fill = [&text](const std::string& placeholder, const std::string& value) {
        for (std::size_t at = 0; (at = text.find(placeholder, at)) != std::string::npos;) {
            text.replace(at, placeholder.size(), value);
            at += value.size();
        }
    };
    fill("SWITCH", "'" + failSwitch.string() + "'");
    fill("TOOL", "'" + realTool + "'");
    writeFile(script, text);
    std::filesystem::permissions(script, std::filesystem::perms::owner_all);
}

}  // namespace ev_test
