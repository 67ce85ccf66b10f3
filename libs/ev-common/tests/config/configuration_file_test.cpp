#include "ev_common/config/config_parameter_provider.hpp"
#include "ev_common/config/parameter.hpp"

#include <gtest/gtest.h>

#include "config_test_support.hpp"
#include "log_capture.hpp"
#include "temp_dir.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <thread>

using config_test::providerFor;
using config_test::readText;
using config_test::valueOf;
using config_test::written;
using ev_common::ConfigParameterProvider;
using nlohmann::json;
using spdlog::level::err;
using spdlog::level::warn;
namespace fs = std::filesystem;

namespace {

const char* kEveryType = R"({"all": {"parameters": [
    {"name": "b", "type": "bool"}, {"name": "i", "type": "int"},
    {"name": "u", "type": "uint"}, {"name": "i64", "type": "int64"},
    {"name": "u64", "type": "uint64"}, {"name": "f", "type": "float"},
    {"name": "d", "type": "double"}, {"name": "s", "type": "string", "pattern": "/[a-z]+"},
    {"name": "ms", "type": "msec"}, {"name": "sec", "type": "sec"},
    {"name": "min", "type": "min", "min": 1}, {"name": "hour", "type": "hour"},
    {"name": "lb", "type": "bool[]"}, {"name": "li", "type": "int[]"},
    {"name": "lu", "type": "uint[]"}, {"name": "li64", "type": "int64[]"},
    {"name": "lu64", "type": "uint64[]"}, {"name": "lf", "type": "float[]"},
    {"name": "ld", "type": "double[]"}, {"name": "ls", "type": "string[]", "max_size": 2}]}})";

const char* kEveryValue = R"({"all": {"b": true, "i": -7, "u": 4000000000,
    "i64": -9000000000, "u64": 18000000000000000000, "f": 0.5, "d": 2.25, "s": "/data",
    "ms": 1500, "sec": 30, "min": 5, "hour": 2, "lb": [true, false], "li": [-1, 2],
    "lu": [3], "li64": [-9000000000], "lu64": [18000000000000000000], "lf": [0.25, 0.1],
    "ld": [1.5, -2.0], "ls": ["a", "\u00e9"]}})";

const char* kSmall = R"({"g": {"parameters": [
    {"name": "d", "type": "double", "default": 2.5},
    {"name": "n", "type": "int", "default": 1, "min": 0},
    {"name": "r", "type": "int", "value": 4},
    {"name": "l", "type": "int[]"}]}})";

std::vector<std::string> entriesOf(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

using config_test::startsWith;

}  // namespace

TEST(ConfigurationFile, EveryTypeRoundTripsThroughWritingAndReading) {
    ev_test::TempDir dir;
    auto first = providerFor(dir, kEveryType);
    ASSERT_TRUE(readText(*first, kEveryValue));
    const std::string path = (dir / "values.json").string();
    ASSERT_TRUE(first->saveConfigurationFile(path));

    auto second = providerFor(dir, kEveryType);
    ev_test::LogCapture log;
    ASSERT_TRUE(second->loadConfigurationFile(path, true)) << log.dump();
    EXPECT_TRUE(log.texts().empty()) << log.dump();
    EXPECT_EQ(json::parse(ev_test::readFile(path)), json::parse(written(*first)));
    // Every value survived, and nothing was added or widened on the way.
    json expected = json::parse(kEveryValue);
    expected["all"]["lf"][1] = static_cast<double>(0.1f);
    EXPECT_EQ(json::parse(written(*second)), expected);
    EXPECT_EQ(valueOf<ev_common::ConfigMilliseconds>(*second, "all.ms").count(), 1500);
    EXPECT_EQ(valueOf<ev_common::ConfigHours>(*second, "all.hour").count(), 2);
    EXPECT_EQ(valueOf<unsigned long long>(*second, "all.u64"), 18000000000000000000ull);
    EXPECT_EQ(valueOf<std::vector<std::string>>(*second, "all.ls"),
              (std::vector<std::string>{"a", "\xc3\xa9"}));
}

TEST(ConfigurationFile, IsWrittenSortedIndentedByFourInUtf8WithoutFinalNewline) {
    ev_test::TempDir dir;
    auto provider = providerFor(dir, R"({
        "b": {"parameters": [{"name": "x", "type": "double", "default": 5.0}]},
        "a": {"parameters": [{"name": "z", "type": "string", "default": "caf\u00e9"},
                             {"name": "A", "type": "uint", "default": 1}]}})");
    EXPECT_EQ(written(*provider),
              "{\n"
              "    \"a\": {\n"
              "        \"A\": 1,\n"
              "        \"z\": \"caf\xc3\xa9\"\n"
              "    },\n"
              "    \"b\": {\n"
              "        \"x\": 5.0\n"
              "    }\n"
              "}");
    ConfigParameterProvider empty;
    EXPECT_EQ(written(empty), "null");
    std::ostringstream broken;
    broken.setstate(std::ios::badbit);
    EXPECT_FALSE(empty.writeConfiguration(broken));
}

TEST(ConfigurationFile, ARefusedValueFailsTheStrictReadAndTheSaveRestoresTheDefault) {
    ev_test::TempDir dir;
    auto provider = providerFor(dir, kSmall);
    ev_test::LogCapture log;
    const char* file = R"({"g": {"d": 3, "n": 9, "r": 5}})";
    EXPECT_FALSE(readText(*provider, file));
    EXPECT_EQ(log.texts(),
              (std::vector<std::string>{
                  "Parameter : Expected JSON float", "[g] Error reading value of parameter d",
                  "Parameter [r] : cannot modify value to 5, parameter is read only",
                  "[g] Error reading value of parameter r"}));
    EXPECT_TRUE(log.has(warn, "[g] Error reading value of parameter d"));
    EXPECT_EQ(valueOf<int>(*provider, "g.n"), 9);
    EXPECT_TRUE(readText(*provider, file, false));

    const std::string path = (dir / "values.json").string();
    ev_test::writeFile(path, file);
    EXPECT_FALSE(provider->loadConfigurationFile(path, true));
    ASSERT_TRUE(provider->saveConfigurationFile(path));
    EXPECT_EQ(json::parse(ev_test::readFile(path)),
              json::parse(R"({"g": {"d": 2.5, "l": [], "n": 9, "r": 4}})"));
    EXPECT_NE(ev_test::readFile(path).find("2.5"), std::string::npos);
}

TEST(ConfigurationFile, UndeclaredMembersAndGroupsAreReportedButDoNotFailTheRead) {
    ev_test::TempDir dir;
    auto provider = providerFor(dir, kSmall);
    ev_test::LogCapture log;
    EXPECT_TRUE(readText(*provider, R"({"g": {"extra": 1, "n": 2}, "other": {"n": 3}})"));
    EXPECT_TRUE(log.has(warn, "[g] Unknown parameter => extra"));
    EXPECT_TRUE(log.has(err, "Unknown parameter group : other"));
    EXPECT_EQ(valueOf<int>(*provider, "g.n"), 2);

    log.clear();
    EXPECT_TRUE(readText(*provider, R"([{"n": 4}, 5])"));
    EXPECT_EQ(log.texts(), (std::vector<std::string>{"Unknown parameter group : 0",
                                                     "Unknown parameter group : 1"}));
    // Only the first value counts; what follows it is never parsed.
    log.clear();
    EXPECT_TRUE(readText(*provider, R"({"g": {"n": 6}} {"g": {"n": 7}} stray [)"));
    EXPECT_TRUE(log.texts().empty()) << log.dump();
    EXPECT_EQ(valueOf<int>(*provider, "g.n"), 6);
}

TEST(ConfigurationFile, MalformedInputFailsTheReadAndKeepsWhatWasAssignedBefore) {
    ev_test::TempDir dir;
    auto provider = providerFor(dir, kSmall);
    ev_test::LogCapture log;
    EXPECT_FALSE(provider->loadConfigurationFile((dir / "missing.json").string(), true));
    std::istringstream exhausted("");
    exhausted.get();
    EXPECT_FALSE(provider->loadConfiguration(exhausted, true));
    EXPECT_TRUE(log.texts().empty()) << log.dump();

    ev_test::writeFile(dir / "empty.json", "");
    EXPECT_FALSE(provider->loadConfigurationFile((dir / "empty.json").string(), true));
    EXPECT_TRUE(startsWith(log.texts(),
                           "Invalid parameters file format : [json.exception.parse_error.101]"))
        << log.dump();
    log.clear();
    EXPECT_FALSE(readText(*provider, R"({"g": {"n": 3,})"));
    EXPECT_TRUE(startsWith(log.texts(), "Invalid parameters file format : ")) << log.dump();

    log.clear();
    EXPECT_FALSE(readText(*provider, R"({"g": [1]})"));
    EXPECT_TRUE(log.has(err, "[g] parameter group must be a JSON object"));
    EXPECT_TRUE(readText(*provider, R"({"g": [1]})", false));

    // The whole value is parsed before anything is assigned, then members are
    // read in name order: "d" before the bad list, "n" never.
    log.clear();
    EXPECT_FALSE(readText(*provider, R"({"g": {"d": 9.5, "l": [1, "x"], "n": 8}})"));
    EXPECT_TRUE(
        startsWith(log.texts(), "Invalid parameters file format : [json.exception.type_error"))
        << log.dump();
    EXPECT_DOUBLE_EQ(valueOf<double>(*provider, "g.d"), 9.5);
    EXPECT_EQ(valueOf<int>(*provider, "g.n"), 1);
    EXPECT_TRUE(valueOf<std::vector<int>>(*provider, "g.l").empty());
}

TEST(ConfigurationFile, SavingReplacesTheWholeFileAndKeepsItsModeAndLinks) {
    ev_test::TempDir dir;
    auto provider = providerFor(dir, kSmall);
    const fs::path file = dir / "values.json";
    EXPECT_FALSE(provider->saveConfiguration());
    EXPECT_FALSE(fs::exists(file));

    ev_test::writeFile(file, std::string(4096, 'x'));
    ASSERT_EQ(::chmod(file.c_str(), 0640), 0);
    fs::create_symlink(file, dir / "link.json");
    provider->setConfigurationFilePath((dir / "link.json").string());
    ASSERT_TRUE(readText(*provider, R"({"g": {"n": 5}})"));
    ASSERT_TRUE(provider->saveConfiguration());
    EXPECT_TRUE(fs::is_symlink(dir / "link.json"));
    EXPECT_EQ(ev_test::readFile(file), written(*provider));
    struct stat st {};
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(entriesOf(dir.path()),
              (std::vector<std::string>{"description.json", "link.json", "values.json"}));
}

TEST(ConfigurationFile, ASaveThatCannotOpenItsTargetTouchesNothing) {
    ev_test::TempDir dir;
    auto provider = providerFor(dir, kSmall);
    ev_test::LogCapture log;
    EXPECT_FALSE(provider->saveConfigurationFile((dir / "no" / "such" / "dir.json").string()));
    fs::create_directory(dir / "taken.json");
    ev_test::writeFile(dir / "taken.json" / "inside", "kept");
    EXPECT_FALSE(provider->saveConfigurationFile((dir / "taken.json").string()));
    EXPECT_EQ(ev_test::readFile(dir / "taken.json" / "inside"), "kept");
    EXPECT_EQ(entriesOf(dir.path()), (std::vector<std::string>{"description.json", "taken.json"}));
    EXPECT_EQ(log.texts(), std::vector<std::string>{"Configuration file is not a regular file : " +
                                                    (dir / "taken.json").string()});
}

namespace {

// Should a read block on a FIFO after all, this opens its writing end after a
// generous while so that the test fails instead of hanging.
class FifoRescue {
public:
    explicit FifoRescue(fs::path fifo)
        : fifo_(std::move(fifo)), thread_([this] {
              std::unique_lock<std::mutex> lock(mutex_);
              if (done_.wait_for(lock, std::chrono::seconds(20), [this] { return finished_; }))
                  return;
              rescued_ = true;
              const int fd = ::open(fifo_.c_str(), O_WRONLY | O_NONBLOCK);
              if (fd >= 0) ::close(fd);
          }) {}
    ~FifoRescue() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            finished_ = true;
        }
        done_.notify_all();
        thread_.join();
    }
    bool rescued() {
        std::lock_guard<std::mutex> lock(mutex_);
        return rescued_;
    }

private:
    fs::path fifo_;
    std::mutex mutex_;
    std::condition_variable done_;
    bool finished_ = false;
    bool rescued_ = false;
    std::thread thread_;
};

const char* kFloatList = R"({"g": {"parameters": [
    {"name": "a", "type": "int", "default": 1},
    {"name": "lf", "type": "float[]", "default": [1.0]},
    {"name": "z", "type": "string", "default": "kept"}]}})";

}  // namespace

TEST(ConfigurationFile, NeitherFileIsReadOrReplacedUnlessItIsARegularFile) {
    ev_test::TempDir dir;
    auto provider = providerFor(dir, kSmall);
    ev_test::LogCapture log;
    const fs::path fifo = dir / "fifo.json";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    fs::create_symlink(fifo, dir / "to-fifo.json");
    {
        FifoRescue rescue(fifo);
        EXPECT_FALSE(provider->loadDescriptionFile(fifo.string()));
        EXPECT_FALSE(provider->loadConfigurationFile((dir / "to-fifo.json").string(), true));
        EXPECT_FALSE(provider->saveConfigurationFile(fifo.string()));
        EXPECT_FALSE(rescue.rescued()) << "a read blocked on the FIFO";
    }
    EXPECT_TRUE(
        log.has(err, "Configuration description file is not a regular file : " + fifo.string()));
    EXPECT_EQ(log.count("Configuration file is not a regular file : " + fifo.string()), 1u);
    EXPECT_TRUE(log.has(
        err, "Configuration file is not a regular file : " + (dir / "to-fifo.json").string()));
    EXPECT_TRUE(fs::is_fifo(fifo));

    // A device node (made here, never the machine's own) is left alone, read
    // or written, directly or through a link.
    const fs::path device = dir / "null";
    if (::mknod(device.c_str(), S_IFCHR | 0666, ::makedev(1, 3)) == 0) {
        fs::create_symlink(device, dir / "to-null.json");
        for (const fs::path& path : {device, dir / "to-null.json"}) {
            EXPECT_FALSE(provider->loadConfigurationFile(path.string(), true));
            EXPECT_FALSE(provider->saveConfigurationFile(path.string()));
        }
        struct stat st {};
        ASSERT_EQ(::lstat(device.c_str(), &st), 0);
        EXPECT_TRUE(S_ISCHR(st.st_mode));
        EXPECT_EQ(st.st_rdev, ::makedev(1, 3));
    }
    EXPECT_EQ(entriesOf(dir.path()).size(), fs::exists(device) ? 5u : 3u);

    // A link to a regular file is read and written through as before.
    ev_test::writeFile(dir / "real.json", R"({"g": {"n": 12}})");
    fs::create_symlink(dir / "real.json", dir / "link.json");
    EXPECT_TRUE(provider->loadConfigurationFile((dir / "link.json").string(), true));
    EXPECT_EQ(valueOf<int>(*provider, "g.n"), 12);
}

TEST(ConfigurationFile, AFloatListElementOutOfRangeIsRefusedAndNothingIsWrittenAsNull) {
    ev_test::TempDir dir;
    auto provider = providerFor(dir, kFloatList);
    ev_test::LogCapture log;
    EXPECT_FALSE(readText(*provider, R"({"g": {"a": 5, "lf": [2.5, 1e39], "z": "mine"}})"));
    EXPECT_TRUE(log.has(err, "Invalid parameters file format : list element out of range: 1e+39"))
        << log.dump();
    EXPECT_EQ(valueOf<std::vector<float>>(*provider, "g.lf"), std::vector<float>{1.0f});
    const std::string text = written(*provider);
    EXPECT_EQ(text.find("null"), std::string::npos) << text;
    EXPECT_TRUE(readText(*providerFor(dir, kFloatList), text));
}

TEST(ConfigurationFile, WhateverIsWrittenReadsBackUnchangedEvenAtTheExtremes) {
    // Defaults at the ends of their types, outside their own limits, against
    // their own pattern; then values at the ends of what the limits allow.
    const char* description = R"({"x": {"parameters": [
        {"name": "b", "type": "bool", "default": true, "max": false},
        {"name": "i", "type": "int", "default": -2147483648, "min": 0},
        {"name": "u", "type": "uint", "default": 4294967295},
        {"name": "i64", "type": "int64", "default": -9223372036854775808},
        {"name": "u64", "type": "uint64", "default": 18446744073709551615},
        {"name": "f", "type": "float", "default": 3.4028234663852886e+38, "max": 1.0},
        {"name": "ft", "type": "float", "default": 1e-45},
        {"name": "d", "type": "double", "default": -1.7976931348623157e+308},
        {"name": "dt", "type": "double", "default": 5e-324},
        {"name": "dz", "type": "double", "default": -0.0},
        {"name": "s", "type": "string", "pattern": "/.+", "default": ""},
        {"name": "sz", "type": "string", "max_size": 1, "default": "a\u0000\u00e9\ud83d\ude00"},
        {"name": "ms", "type": "msec", "default": 9223372036854775807},
        {"name": "h", "type": "hour", "default": 0, "min": 5},
        {"name": "lb", "type": "bool[]", "min_size": 1},
        {"name": "li", "type": "int[]", "default": [-2147483648, 2147483647], "max_size": 1},
        {"name": "lu", "type": "uint64[]", "default": [18446744073709551615]},
        {"name": "lf", "type": "float[]",
         "default": [3.4028234663852886e+38, -3.4028234663852886e+38, 1e-45]},
        {"name": "ld", "type": "double[]", "default": [1.7976931348623157e+308, 5e-324, -0.0]},
        {"name": "ls", "type": "string[]", "default": ["a"], "min_size": 3}]}})";
    const char* extremes = R"({"x": {"f": -3.4028234663852886e+38, "d": 1.7976931348623157e+308,
        "i": 2147483647, "i64": 9223372036854775807, "u64": 0, "ms": 0, "h": 5,
        "lf": [1.17549435e-38], "ls": ["", "\u00ff", "z"], "s": "/\u0001"}})";
    for (const char* values : {"{}", extremes}) {
        ev_test::TempDir dir;
        auto first = providerFor(dir, description);
        ASSERT_TRUE(readText(*first, values)) << values;
        const std::string path = (dir / "values.json").string();
        ASSERT_TRUE(first->saveConfigurationFile(path));
        const std::string text = ev_test::readFile(path);
        EXPECT_EQ(text.find("null"), std::string::npos) << text;

        auto second = providerFor(dir, description);
        ev_test::LogCapture log(spdlog::level::warn);
        EXPECT_TRUE(second->loadConfigurationFile(path, true)) << log.dump();
        EXPECT_TRUE(log.texts().empty()) << log.dump();
        EXPECT_EQ(written(*second), text);
    }
}
