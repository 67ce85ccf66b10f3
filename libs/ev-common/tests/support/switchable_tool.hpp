// Test helper: a stand-in for the system update tool that runs the real tool
// until a switch file exists. Then it exits 1 at once, or after running the
// real tool when the switch holds "after"; a switch holding "once" or "after"
// removes itself as it fails, one with any other content stays.
#pragma once

#include <filesystem>
#include <string>

namespace ev_test {

// Writes the stand-in as an executable shell script at `script`.
void writeSwitchableTool(const std::filesystem::path& script, const std::string& realTool,
                         const std::filesystem::path& failSwitch);

}  // namespace ev_test
