// Feeds arbitrary bytes to the configuration loaders: a configuration
// description and a configuration file (the input split at its first NUL
// byte; without one, the whole input is a configuration file for a
// description with every parameter type). Whatever was read is then written
// and must read back, strictly and without a change: a configuration file the
// daemon writes that it cannot load again would cost the next start-up its
// settings. Only regular files are used.
#include "ev_common/config/config_parameter_provider.hpp"

#include <spdlog/sinks/null_sink.h>
#include <spdlog/spdlog.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace {

const char* const kEveryType = R"({"all": {"parameters": [
    {"name": "b", "type": "bool"}, {"name": "i", "type": "int", "min": -5, "max": 5},
    {"name": "u", "type": "uint"}, {"name": "i64", "type": "int64"},
    {"name": "u64", "type": "uint64"}, {"name": "f", "type": "float"},
    {"name": "d", "type": "double", "value": 1.5}, {"name": "p", "type": "string", "pattern": "/.+"},
    {"name": "s", "type": "string", "max_size": 8}, {"name": "ms", "type": "msec"},
    {"name": "sec", "type": "sec", "min": 1, "default": 120}, {"name": "min", "type": "min"},
    {"name": "hour", "type": "hour"}, {"name": "lb", "type": "bool[]"},
    {"name": "li", "type": "int[]"}, {"name": "lu", "type": "uint[]"},
    {"name": "li64", "type": "int64[]"}, {"name": "lu64", "type": "uint64[]"},
    {"name": "lf", "type": "float[]"}, {"name": "ld", "type": "double[]"},
    {"name": "ls", "type": "string[]", "max_size": 2}]}})";

[[noreturn]] void fail(const char* why, const std::string& detail) {
    std::fprintf(stderr, "fuzz_configuration: %s\n%s\n", why, detail.c_str());
    std::abort();
}

// A folder of this process for the description file, removed at exit.
class Scratch {
public:
    Scratch() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "fuzz-configuration-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) fail("no scratch folder", pattern);
        dir_ = pattern;
        // Formatting of every log line still runs, only the output is dropped.
        auto logger = std::make_shared<spdlog::logger>(
            "fuzz", std::make_shared<spdlog::sinks::null_sink_mt>());
        logger->set_level(spdlog::level::trace);
        spdlog::set_default_logger(logger);
    }
    ~Scratch() {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
    std::string write(const std::string& text) const {
        const std::string path = (dir_ / "description.json").string();
        std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
        return path;
    }

private:
    std::filesystem::path dir_;
};

std::string written(ev_common::ConfigParameterProvider& provider, const std::string& input) {
    std::ostringstream out;
    if (!provider.writeConfiguration(out)) fail("writing failed", input);
    return out.str();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Scratch scratch;
    const std::string input(reinterpret_cast<const char*>(data), size);
    const std::size_t split = input.find('\0');
    const std::string description =
        split == std::string::npos ? kEveryType : input.substr(0, split);
    const std::string configuration = split == std::string::npos ? input : input.substr(split + 1);
    const std::string path = scratch.write(description);

    ev_common::ConfigParameterProvider first;
    first.loadDescriptionFile(path);
    std::istringstream file(configuration);
    first.loadConfiguration(file, true);
    const std::string text = written(first, input);

    ev_common::ConfigParameterProvider second;
    second.loadDescriptionFile(path);
    std::istringstream again(text);
    if (!second.loadConfiguration(again, true)) fail("written configuration refused", text);
    if (written(second, input) != text) fail("configuration changed on reading back", text);
    return 0;
}
