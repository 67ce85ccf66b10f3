// The service's durable state on files of its own: what it refuses to use,
// what survives a reopen, how a change cut short is settled, and that the
// hash chain of the journal holds through trims.
#include "trust_state.hpp"
#include "journal_record.hpp"
#include "log_capture.hpp"
#include "temp_dir.hpp"

#include "ev_common/database/database.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>

using namespace ev_charging_platform::cybersecurity;
namespace fs = std::filesystem;
using json = nlohmann::json;

namespace {

const caller_credentials kAdmin = ev_common::PeerCredentials{0, 0, 41};
const caller_credentials kReader = ev_common::PeerCredentials{1000, 1000, 42};

std::string contents(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

ev_common::CertificateChange change(ev_common::CertificateEvent event, std::uint64_t generation,
                                    const std::string& name) {
    ev_common::CertificateChange made;
    made.event = event;
    made.generation = generation;
    made.domain = "csms";
    made.id = 100 + static_cast<std::uint32_t>(generation);
    made.name = name;
    made.sha256 = "sha-" + name;
    return made;
}

// An addition of `name` through begin() and the change gate.
void add(trust_state& state, const std::string& name) {
    ASSERT_TRUE(state.begin(kAdmin, {{"add", "csms", std::nullopt, name, "sha-" + name}}));
    ASSERT_TRUE(
        state.commit({change(ev_common::CertificateEvent::added, state.generation() + 1, name)}));
}

json since(trust_state& state, std::uint64_t generation) {
    return json::parse(state.changes_since(generation));
}

// What `journal --verify` does: every row chained to the one before it.
bool chainHolds(const json& reply) {
    std::string previous = reply["chain_base"];
    for (const auto& row : reply["changes"]) {
        if (journal_chain(previous, journal_record_from_json(row)) != row["chain"]) return false;
        previous = row["chain"];
    }
    return previous == reply["head"];
}

class TrustStateTest : public ::testing::Test {
protected:
    std::unique_ptr<trust_state> open() {
        auto state = std::make_unique<trust_state>();
        EXPECT_TRUE(state->open(path_.string()));
        return state;
    }

    ev_test::TempDir dir_;
    fs::path path_ = dir_.path() / "state" / "state.db";
};

TEST_F(TrustStateTest, RefusesFilesItCannotUseAndOverwritesNothing) {
    const std::vector<std::pair<std::string, std::function<void(const fs::path&)>>> cases = {
        {"not SQLite", [](const fs::path& file) { std::ofstream(file) << "not a database\n"; }},
        {"a folder", [](const fs::path& file) { fs::create_directory(file); }},
        {"newer schema",
         [](const fs::path& file) {
             { trust_state().open(file.string()); }
             ev_common::Database database;
             ASSERT_TRUE(database.open(file.string()));
             ASSERT_TRUE(database.setSchemaVersion("journal", 2));
         }},
        {"corrupt",
         [](const fs::path& file) {
             {
                 trust_state state;
                 ASSERT_TRUE(state.open(file.string()));
                 ASSERT_TRUE(state.reconcile({}));
                 for (int i = 0; i < 40; ++i) add(state, "root" + std::to_string(i));
             }
             std::string bytes = contents(file);
             ASSERT_GT(bytes.size(), 8192u);
             for (std::size_t i = 4096; i < bytes.size(); i += 7) bytes[i] = '\x5a';
             std::ofstream(file, std::ios::binary | std::ios::trunc) << bytes;
         }},
    };
    for (const auto& [what, make] : cases) {
        ev_test::TempDir dir;
        const fs::path file = dir.path() / "state.db";
        make(file);
        const std::string before = fs::is_regular_file(file) ? contents(file) : std::string();
        ev_test::LogCapture capture;
        trust_state state;
        EXPECT_FALSE(state.open(file.string())) << what;
        const std::string expected =
            "[cybersecurity_service] Unable to use the state database " + file.string() + " : ";
        bool said = false;
        for (const auto& line : capture.lines()) {
            said = said || (line.level == spdlog::level::critical &&
                            line.text.compare(0, expected.size(), expected) == 0);
        }
        EXPECT_TRUE(said) << what << "\n" << capture.dump();
        if (!before.empty()) {
            EXPECT_EQ(contents(file), before) << what;
        }
    }
}

TEST_F(TrustStateTest, KeepsItsIdentityGenerationAndJournalAcrossAReopen) {
    std::string id;
    {
        auto state = open();
        id = state->store_id();
        EXPECT_EQ(id.size(), 36u);
        EXPECT_EQ(fs::status(path_).permissions(), fs::perms::owner_read | fs::perms::owner_write);
        ASSERT_TRUE(state->reconcile({{"system", 1, "builtin", "sha-builtin", {}}}));
        add(*state, "a");
        state->record_refused(kReader, {"add", "csms", std::nullopt, "b\nforged", "sha-b"},
                              "not_authorized");
        add(*state, "c");
    }
    auto state = open();
    EXPECT_EQ(state->store_id(), id);
    EXPECT_EQ(state->generation(), 2u);
    // Nothing was found or lost: the built-in held when the state was made
    // is still there.
    ASSERT_TRUE(state->reconcile({{"system", 1, "builtin", "sha-builtin", {}},
                                  {"csms", 101, "a", "sha-a", {}},
                                  {"csms", 102, "c", "sha-c", {}}}));
    const json all = since(*state, 0);
    EXPECT_EQ(all["store_id"], id);
    EXPECT_TRUE(all["complete"]);
    ASSERT_EQ(all["changes"].size(), 3u);
    EXPECT_EQ(all["changes"][1]["uid"], 1000);
    EXPECT_EQ(all["changes"][1]["name"], "b\\nforged");
    EXPECT_EQ(all["changes"][1]["result"], "not_authorized");
    EXPECT_EQ(all["changes"][2]["generation"], 2);
    EXPECT_TRUE(chainHolds(all));
    // A refusal at the generation a caller read may have come after it.
    EXPECT_EQ(since(*state, 1)["changes"].size(), 2u);
    EXPECT_TRUE(since(*state, 2)["changes"].empty());
    const json ahead = since(*state, 3);
    EXPECT_FALSE(ahead["complete"]);
    EXPECT_TRUE(ahead["changes"].empty());
}

TEST_F(TrustStateTest, SettlesAChangeCutShortByWhatTheFilesShow) {
    {
        auto state = open();
        ASSERT_TRUE(state->reconcile(
            {{"csms", 1, "kept", "sha-kept", {}}, {"csms", 2, "gone", "sha-gone", {}}}));
        // Killed once its rows were written, before the gate: the file made it.
        ASSERT_TRUE(state->begin(kAdmin, {{"add", "csms", std::nullopt, "new", "sha-new"}}));
    }
    {
        auto state = open();
        ASSERT_TRUE(state->reconcile({{"csms", 1, "kept", "sha-kept", {}},
                                      {"csms", 3, "new", "sha-new", {}},
                                      {"csms", 4, "by_hand", "sha-hand", {}}}));
        // Killed again: this time the removal's file was still there.
        ASSERT_TRUE(state->begin(kAdmin, {{"remove", "csms", 1, "kept", "sha-kept"}}));
    }
    auto state = open();
    ASSERT_TRUE(state->reconcile({{"csms", 1, "kept", "sha-kept", {}},
                                  {"csms", 3, "new", "sha-new", {}},
                                  {"csms", 4, "by_hand", "sha-hand", {}}}));
    const json all = since(*state, 0);
    std::vector<std::string> seen;
    for (const auto& row : all["changes"]) {
        seen.push_back(row["operation"].get<std::string>() + " " + row["name"].get<std::string>() +
                       " " + row["result"].get<std::string>() + " " +
                       std::to_string(row["generation"].get<int>()));
    }
    EXPECT_EQ(seen,
              (std::vector<std::string>{"add new success 1", "vanished gone success 2",
                                        "found by_hand success 3", "remove kept interrupted 3"}));
    EXPECT_EQ(all["changes"][0]["pid"], 41);
    EXPECT_EQ(state->generation(), 3u);
    EXPECT_TRUE(chainHolds(all));
}

TEST_F(TrustStateTest, TrimsTheOldestRowsIntoARowOfItsOwnAndStaysVerifiable) {
    auto state = open();
    state->set_max_entries(5);
    ASSERT_TRUE(state->reconcile({}));
    for (int i = 0; i < 8; ++i) add(*state, "r" + std::to_string(i));
    const json all = since(*state, 0);
    EXPECT_FALSE(all["complete"]);
    EXPECT_LE(all["changes"].size(), 5u);
    std::uint64_t trimmed = 0;
    std::uint64_t lastAdded = 0;
    for (const auto& row : all["changes"]) {
        if (row["operation"] == "add") lastAdded = row["generation"];
        if (row["operation"] != "journal_trimmed") continue;
        trimmed += row["rows"].get<std::uint64_t>();
        EXPECT_GE(row["through_generation"].get<int>(), 1);
    }
    EXPECT_GE(trimmed, 3u) << all.dump(1);
    EXPECT_EQ(lastAdded, 8u);
    EXPECT_TRUE(chainHolds(all));
    EXPECT_TRUE(since(*state, 8)["complete"]);

    // Hash data recorded once are recalled after a reopen.
    ev_common::OcppHashData data{"SHA256", "aa", "bb", "1f"};
    state->remember({{"csms", 1, "r1", "sha-r1", {data}}});
    state.reset();
    state = open();
    const auto recalled = state->recall("sha-r1");
    ASSERT_EQ(recalled.size(), 1u);
    EXPECT_EQ(recalled[0].serialNumber, "1f");
    EXPECT_TRUE(state->recall("sha-unknown").empty());
}

}  // namespace
