#include "ev_common/cyber/linux_ca_certificate_store.hpp"

#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <sstream>

#include <gtest/gtest.h>

#include "ca_store_sandbox.hpp"
#include "folder_snapshot.hpp"
#include "log_capture.hpp"

namespace fs = std::filesystem;
using ev_common::AddCertificateStatus;
using ev_common::Certificate;
using ev_common::CertificateInfo;
using ev_common::LinuxCaCertificateStore;
using ev_common::RemoveCertificateStatus;
using ev_common::SameName;
using ev_test::readFile;
using ev_test::writeFile;
using spdlog::level::level_enum;

namespace {

std::optional<CertificateInfo> infoNamed(LinuxCaCertificateStore& store, const std::string& name) {
    for (const auto& info : store.getCertificates()) {
        if (info.name == name) return info;
    }
    return std::nullopt;
}

std::set<std::string> fileNames(const fs::path& dir) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) names.insert(entry.path().filename());
    return names;
}

class LinuxCaCertificateStoreTest : public ::testing::Test {
protected:
    bool initStore(const std::string& command = ev_test::kUpdateTool) {
        return store.init(sandbox.linuxDir(), sandbox.userDir(), command, "--fresh",
                          sandbox.toolArguments());
    }

    uint32_t addOrFail(const std::string& name, const std::string& pem,
                       SameName sameName = SameName::refuse) {
        uint32_t id = 0;
        EXPECT_EQ(store.addCertificate(Certificate(pem), name, id, sameName),
                  AddCertificateStatus::success)
            << log.dump();
        return id;
    }

    fs::path userFile(const std::string& name) const { return sandbox.userDir() / (name + ".crt"); }
    fs::path systemEntry(const std::string& name) const {
        return sandbox.linuxDir() / (name + ".pem");
    }

    // Everything a client or the system sees of the store: the listing, every
    // certificate by identifier and by name, and both folders entry by entry.
    std::map<std::string, std::string> state() {
        std::map<std::string, std::string> all;
        for (const auto& info : store.getCertificates()) {
            const auto byId = store.getCertificate(info.id);
            const auto byName = store.getCertificateByName(info.name);
            all["list " + std::to_string(info.id)] =
                info.name + (info.isBuiltIn ? " built-in " : " user ") + info.subject + " " +
                std::to_string(info.notAfter);
            all["id " + std::to_string(info.id)] = byId ? byId->text() : "<none>";
            all["name " + info.name] = byName ? byName->text() : "<none>";
        }
        for (const auto& [name, entry] : ev_test::snapshotFolder(sandbox.userDir()))
            all["user/" + name] = entry;
        for (const auto& [name, entry] : ev_test::snapshotFolder(sandbox.linuxDir()))
            all["system/" + name] = entry;
        return all;
    }

    // A user certificate that is a link to a file of its own outside the user
    // folder, readable by its owner only; listed once the store is started.
    fs::path linkAUserCertificateToAPrivateFile(const std::string& name) {
        const fs::path target = sandbox.root() / "private" / (name + ".crt");
        fs::create_directories(target.parent_path());
        writeFile(target, ev_test::makeCaPem("Linked " + name));
        fs::permissions(target, fs::perms::owner_read | fs::perms::owner_write);
        fs::create_symlink(target, userFile(name));
        return target;
    }

    ev_test::LogCapture log;
    ev_test::CaSandbox sandbox;
    LinuxCaCertificateStore store;
};

}  // namespace

TEST_F(LinuxCaCertificateStoreTest, InitRebuildsTheSystemStoreAndListsBuiltInAndUserCertificates) {
    const std::string mine = ev_test::makeCaPem("Mine");
    writeFile(userFile("mine"), mine);
    // Left over from an earlier run: the fresh update must drop it.
    fs::create_symlink(sandbox.root() / "gone.crt", systemEntry("gone"));

    ASSERT_TRUE(initStore()) << log.dump();
    EXPECT_TRUE(log.has(level_enum::info,
                        "[ca-store] Update certificate command and clean symlinks (--fresh)"));
    EXPECT_TRUE(
        log.has(level_enum::info, "[ca-store] Loaded 4 CA certificates : built_in = 3, user = 1"))
        << log.dump();
    EXPECT_FALSE(fs::is_symlink(fs::symlink_status(systemEntry("gone"))));

    const auto all = store.getCertificates();
    ASSERT_EQ(all.size(), 4u);
    std::set<std::string> builtIns;
    for (std::size_t i = 0; i < all.size(); ++i) {
        EXPECT_EQ(all[i].id, i + 1);
        if (all[i].isBuiltIn) builtIns.insert(all[i].name);
        const Certificate onDisk(fs::path(systemEntry(all[i].name)));
        EXPECT_EQ(all[i].subject, onDisk.subjectText());
        EXPECT_EQ(all[i].notAfter, static_cast<int32_t>(onDisk.notAfter()));
    }
    EXPECT_EQ(builtIns, (std::set<std::string>{"ACCVRAIZ1", "Actalis_Authentication_Root_CA",
                                               "ISRG_Root_X1"}));
    const auto user = infoNamed(store, "mine");
    ASSERT_TRUE(user);
    EXPECT_FALSE(user->isBuiltIn);
    EXPECT_EQ(user->subject, Certificate(mine).subjectText());
    EXPECT_EQ(store.getCertificate(user->id)->text(), mine);
    EXPECT_EQ(store.getCertificateByName("ACCVRAIZ1")->text(),
              readFile(ev_test::kSystemCaFiles / "mozilla/ACCVRAIZ1.crt"));
}

TEST_F(LinuxCaCertificateStoreTest, ScanSortsAMixedDirectoryIntoUserBuiltInAndSkippedEntries) {
    const fs::path outside = sandbox.root() / "share";
    const fs::path sibling = sandbox.root() / "user-extra";
    fs::create_directories(outside);
    fs::create_directories(sibling);
    writeFile(userFile("a"), ev_test::makeCaPem("A"));
    writeFile(outside / "b.crt", ev_test::makeCaPem("B"));
    writeFile(outside / "x.crt", ev_test::makeCaPem("X"));
    writeFile(sibling / "z.crt", ev_test::makeCaPem("Z"));
    fs::create_symlink(userFile("a"), systemEntry("a"));
    fs::create_symlink(outside / "b.crt", systemEntry("b"));
    writeFile(systemEntry("c"), "not a certificate\n");
    writeFile(sandbox.linuxDir() / "d.crt", ev_test::makeCaPem("D"));
    fs::create_directories(systemEntry("e"));
    // Relative links resolve against the system folder, not our working folder.
    fs::create_symlink("../share/x.crt", systemEntry("x"));
    // A folder whose name merely starts like the user folder's is not below it.
    fs::create_symlink("../user-extra/z.crt", systemEntry("z"));

    ASSERT_TRUE(initStore()) << log.dump();
    const auto a = infoNamed(store, "a");
    const auto b = infoNamed(store, "b");
    const auto x = infoNamed(store, "x");
    const auto z = infoNamed(store, "z");
    ASSERT_TRUE(a && b && x && z) << log.dump();
    EXPECT_FALSE(a->isBuiltIn);
    EXPECT_TRUE(b->isBuiltIn);
    EXPECT_TRUE(x->isBuiltIn);
    EXPECT_TRUE(z->isBuiltIn);
    EXPECT_EQ(x->subject, Certificate(readFile(outside / "x.crt")).subjectText());
    EXPECT_TRUE(log.has(level_enum::err,
                        "[ca-store] Invalid certificate found : " + systemEntry("c").string()));
    EXPECT_FALSE(infoNamed(store, "c"));
    EXPECT_FALSE(infoNamed(store, "d"));
    EXPECT_FALSE(infoNamed(store, "e"));
    EXPECT_TRUE(
        log.has(level_enum::info, "[ca-store] Loaded 7 CA certificates : built_in = 6, user = 1"))
        << log.dump();
}

TEST_F(LinuxCaCertificateStoreTest, RecognisesUserCertificatesThroughAUserFolderThatIsALink) {
    const fs::path real = sandbox.root() / "user-real";
    fs::create_directories(real);
    const fs::path link = sandbox.root() / "user-link";
    fs::create_symlink("user-real", link);
    writeFile(real / "mine.crt", ev_test::makeCaPem("Mine"));

    // The tool knows the real folder, the store only the link (given with a
    // trailing separator, as a configuration may well write it).
    ASSERT_TRUE(store.init(sandbox.linuxDir(), link.string() + "/", ev_test::kUpdateTool, "--fresh",
                           sandbox.toolArguments(sandbox.root() / "ca-certificates.conf", real)));
    const auto mine = infoNamed(store, "mine");
    ASSERT_TRUE(mine) << log.dump();
    EXPECT_FALSE(mine->isBuiltIn);
    EXPECT_EQ(store.removeCertificate(mine->id), RemoveCertificateStatus::success) << log.dump();
    EXPECT_FALSE(fs::exists(real / "mine.crt"));
}

TEST_F(LinuxCaCertificateStoreTest, InitFailsWhenTheToolFailsIsMissingOrAFolderIsMissing) {
    writeFile(sandbox.failFlag(), "always");
    EXPECT_FALSE(initStore(sandbox.flakyTool()));
    EXPECT_TRUE(log.has(level_enum::err, "[ca-store] Update certificate command error => 1"));
    EXPECT_TRUE(store.getCertificates().empty());

    LinuxCaCertificateStore missingTool;
    const std::string missing = (sandbox.root() / "no-such-tool").string();
    EXPECT_FALSE(missingTool.init(sandbox.linuxDir(), sandbox.userDir(), missing, "--fresh", {}));
    EXPECT_TRUE(log.has(level_enum::err,
                        "[ca-store] Unable to execute update certificate command => " + missing));

    LinuxCaCertificateStore missingFolder;
    const fs::path noUser = sandbox.root() / "no-user";
    EXPECT_FALSE(
        missingFolder.init(sandbox.linuxDir(), noUser, ev_test::kUpdateTool, "--fresh",
                           sandbox.toolArguments(sandbox.root() / "ca-certificates.conf", noUser)));
    EXPECT_TRUE(log.has(level_enum::err,
                        "[ca-store] CA certificate stores do not exists or are not valid "
                        "directories : linux = " +
                            sandbox.linuxDir().string() + ", user = " + noUser.string()))
        << log.dump();
    EXPECT_TRUE(missingFolder.getCertificates().empty());
}

TEST_F(LinuxCaCertificateStoreTest, RefusesBadNamesAndInvalidCertificatesBeforeTouchingTheDisk) {
    ASSERT_TRUE(initStore());
    const auto before = fileNames(sandbox.userDir());
    const Certificate good(ev_test::makeCaPem("Good"));
    uint32_t id = 12345;
    for (const std::string name : {"my cert", "a/b", "..", ".", "", "../user/x", "n\xc3\xa9"}) {
        log.clear();
        EXPECT_EQ(store.addCertificate(good, name, id, SameName::replace),
                  AddCertificateStatus::invalid_name)
            << name;
        EXPECT_TRUE(log.has(level_enum::err, "[ca-store] Invalid certificate name: " + name));
        EXPECT_TRUE(
            log.has(level_enum::err, "[ca-store] Unable to add certificate : invalid name"));
    }
    // A client can send a name of any length; checking it must not exhaust the stack.
    EXPECT_EQ(store.addCertificate(good, std::string(1 << 20, 'a') + "/", id, SameName::replace),
              AddCertificateStatus::invalid_name);

    log.clear();
    EXPECT_EQ(store.addCertificate(Certificate(std::string("-----BEGIN junk-----")), "fine", id,
                                   SameName::replace),
              AddCertificateStatus::invalid_cert);
    EXPECT_TRUE(log.has(level_enum::err,
                        "[ca-store] Unable to add certificate fine : invalid certificate"));
    EXPECT_EQ(id, 12345u);
    EXPECT_EQ(fileNames(sandbox.userDir()), before);
    EXPECT_EQ(store.getCertificates().size(), 3u);
}

TEST_F(LinuxCaCertificateStoreTest, AddsAUserCertificateAndRefusesTheSameNameWithoutReplace) {
    ASSERT_TRUE(initStore());
    const std::string pem = ev_test::makeCaPem("Added");
    const uint32_t id = addOrFail("added", pem);
    EXPECT_EQ(id, 4u);
    EXPECT_TRUE(log.has(level_enum::info,
                        "[ca-store] User certificate added to the store : id = 4, name = added"));
    EXPECT_EQ(readFile(userFile("added")), pem);
    EXPECT_EQ(fs::status(userFile("added")).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                  fs::perms::others_read);
    EXPECT_EQ(fs::canonical(systemEntry("added")), fs::canonical(userFile("added")));
    const auto info = store.getCertificateInfo(id);
    ASSERT_TRUE(info);
    EXPECT_EQ(info->name, "added");
    EXPECT_FALSE(info->isBuiltIn);
    EXPECT_EQ(info->subject, Certificate(pem).subjectText());
    EXPECT_EQ(info->notAfter, static_cast<int32_t>(Certificate(pem).notAfter()));
    EXPECT_EQ(store.getCertificate(id)->text(), pem);
    EXPECT_EQ(store.getCertificateByName("added")->text(), pem);
    // Only the certificate itself is left in the user folder.
    EXPECT_EQ(fileNames(sandbox.userDir()), (std::set<std::string>{"added.crt"}));

    uint32_t other = 0;
    log.clear();
    EXPECT_EQ(store.addCertificate(Certificate(ev_test::makeCaPem("Other")), "added", other,
                                   SameName::refuse),
              AddCertificateStatus::already_exists);
    EXPECT_TRUE(log.has(level_enum::err,
                        "[ca-store] Unable to add certificate added : a certificate with the same "
                        "name already exists"));
    EXPECT_EQ(other, 0u);
    EXPECT_EQ(readFile(userFile("added")), pem);
    EXPECT_EQ(store.getCertificates().size(), 4u);
}

TEST_F(LinuxCaCertificateStoreTest, SaysWhetherAnAdditionReplacesAUserEntry) {
    ASSERT_TRUE(initStore());
    addOrFail("mine", ev_test::makeCaPem("Mine"));
    const struct {
        std::string name;
        SameName sameName;
        AddCertificateStatus status;
        bool replacing;
    } cases[] = {
        {"fresh", SameName::refuse, AddCertificateStatus::success, false},
        {"mine", SameName::replace, AddCertificateStatus::success, true},
        {"mine", SameName::refuse, AddCertificateStatus::already_exists, true},
        // A built-in is never replaced.
        {"ACCVRAIZ1", SameName::replace, AddCertificateStatus::already_exists, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        uint32_t id = 0;
        bool replacing = !c.replacing;
        EXPECT_EQ(store.addCertificate(Certificate(ev_test::makeCaPem("New " + c.name)), c.name, id,
                                       c.sameName, &replacing),
                  c.status)
            << log.dump();
        EXPECT_EQ(replacing, c.replacing);
    }
}

TEST_F(LinuxCaCertificateStoreTest, AReplacementTakesANewIdentifierAndDropsTheOldEntry) {
    ASSERT_TRUE(initStore());
    const uint32_t oldId = addOrFail("mine", ev_test::makeCaPem("Old"));
    const std::string newer = ev_test::makeCaPem("New");
    log.clear();
    const uint32_t newId = addOrFail("mine", newer, SameName::replace);
    EXPECT_GT(newId, oldId);
    EXPECT_TRUE(
        log.has(level_enum::warn, "Existing certificate mine will be deleted and replaced"));
    EXPECT_FALSE(store.getCertificateInfo(oldId));
    EXPECT_EQ(readFile(userFile("mine")), newer);
    EXPECT_EQ(store.getCertificate(newId)->subjectText(), Certificate(newer).subjectText());
    EXPECT_EQ(store.getCertificateInfo(newId)->subject, Certificate(newer).subjectText());
    EXPECT_EQ(store.getCertificates().size(), 4u);
}

TEST_F(LinuxCaCertificateStoreTest, StoresAWholeBundleUnderTheSubjectOfItsFirstCertificate) {
    ASSERT_TRUE(initStore());
    const std::string first = ev_test::makeCaPem("First of bundle");
    const std::string bundle = first + ev_test::makeCaPem("Second of bundle");
    const uint32_t id = addOrFail("bundle", bundle);
    EXPECT_EQ(readFile(userFile("bundle")), bundle);
    EXPECT_EQ(store.getCertificateInfo(id)->subject, Certificate(first).subjectText());
    EXPECT_EQ(store.getCertificate(id)->text(), bundle);
}

TEST_F(LinuxCaCertificateStoreTest, RemovesUserCertificatesOnlyAndNeverReusesIdentifiers) {
    ASSERT_TRUE(initStore());
    const uint32_t builtIn = infoNamed(store, "ISRG_Root_X1")->id;
    EXPECT_EQ(store.removeCertificate(builtIn), RemoveCertificateStatus::built_in);
    EXPECT_TRUE(log.has(level_enum::err, "[ca-store] Unable to remove certificate " +
                                             std::to_string(builtIn) + " : builtin certificate"));
    EXPECT_EQ(store.removeCertificate(999), RemoveCertificateStatus::unknown_id);
    EXPECT_TRUE(log.has(level_enum::err, "[ca-store] Invalid certificate id : 999"));
    EXPECT_TRUE(fs::exists(systemEntry("ISRG_Root_X1")));

    const uint32_t id = addOrFail("gone", ev_test::makeCaPem("Gone"));
    const fs::path target = ev_test::linkTarget(systemEntry("gone"));
    log.clear();
    EXPECT_EQ(store.removeCertificate(id), RemoveCertificateStatus::success) << log.dump();
    EXPECT_TRUE(
        log.has(level_enum::info, "[ca-store] User certificate removed from the store : id = " +
                                      std::to_string(id) + ", name = gone"));
    // The tool leaves a dead link behind, which the store cleans away.
    EXPECT_TRUE(log.has(level_enum::info,
                        "[ca-store] Removed dead symlink: " + systemEntry("gone").string() +
                            " -> " + target.string()))
        << log.dump();
    EXPECT_FALSE(fs::exists(fs::symlink_status(systemEntry("gone"))));
    EXPECT_FALSE(fs::exists(userFile("gone")));
    EXPECT_FALSE(store.getCertificateInfo(id));
    EXPECT_EQ(store.removeCertificate(id), RemoveCertificateStatus::unknown_id);

    const uint32_t again = addOrFail("gone", ev_test::makeCaPem("Gone again"));
    EXPECT_GT(again, id);
    EXPECT_EQ(store.getCertificates().size(), 4u);
}

TEST_F(LinuxCaCertificateStoreTest, AFailedAdditionLeavesNoFileAndNoEntry) {
    ASSERT_TRUE(initStore(sandbox.flakyTool()));
    const auto before = state();
    // The tool fails at once, or after it took the new file up.
    for (const std::string failure : {"always", "after"}) {
        writeFile(sandbox.failFlag(), failure);
        uint32_t id = 0;
        EXPECT_EQ(store.addCertificate(Certificate(ev_test::makeCaPem("Doomed")), "doomed", id,
                                       SameName::replace),
                  AddCertificateStatus::internal_error);
        EXPECT_TRUE(log.has(level_enum::err, "[ca-store] Update certificate command error => 1"));
        EXPECT_EQ(id, 0u);
        fs::remove(sandbox.failFlag());
        EXPECT_EQ(state(), before) << failure << "\n" << log.dump();
    }
    writeFile(sandbox.failFlag(), "always");
    uint32_t id = 0;

    // A file of that name which the store never listed is not its to delete.
    const std::string stray = ev_test::makeCaPem("Stray");
    writeFile(userFile("stray"), stray);
    EXPECT_EQ(store.addCertificate(Certificate(ev_test::makeCaPem("Doomed")), "stray", id,
                                   SameName::refuse),
              AddCertificateStatus::internal_error);
    EXPECT_EQ(readFile(userFile("stray")), stray);
    EXPECT_EQ(fileNames(sandbox.userDir()), (std::set<std::string>{"stray.crt"}));
    fs::remove(userFile("stray"));

    // Once the tool works again, the identifiers go on where they were.
    fs::remove(sandbox.failFlag());
    EXPECT_EQ(addOrFail("doomed", ev_test::makeCaPem("Doomed")), 4u);
}

TEST_F(LinuxCaCertificateStoreTest, AFailedReplacementKeepsThePreviousCertificateExactly) {
    ASSERT_TRUE(initStore(sandbox.flakyTool()));
    const std::string previous = ev_test::makeCaPem("Previous");
    const uint32_t id = addOrFail("mine", previous);
    const auto infoBefore = store.getCertificateInfo(id);

    // The tool fails once: the store puts the old file back and runs it again.
    writeFile(sandbox.failFlag(), "once");
    uint32_t newId = 0;
    log.clear();
    EXPECT_EQ(store.addCertificate(Certificate(ev_test::makeCaPem("Replacement")), "mine", newId,
                                   SameName::replace),
              AddCertificateStatus::internal_error);
    EXPECT_EQ(newId, 0u);
    EXPECT_TRUE(log.has(level_enum::warn,
                        "[ca-store] Previous certificate mine kept after the failed replacement"))
        << log.dump();
    EXPECT_EQ(readFile(userFile("mine")), previous);
    EXPECT_EQ(fs::canonical(systemEntry("mine")), fs::canonical(userFile("mine")));
    const auto infoAfter = store.getCertificateInfo(id);
    ASSERT_TRUE(infoAfter);
    EXPECT_EQ(infoAfter->subject, infoBefore->subject);
    EXPECT_EQ(store.getCertificate(id)->text(), previous);
    EXPECT_EQ(fileNames(sandbox.userDir()), (std::set<std::string>{"mine.crt"}));

    // A tool that keeps failing: the file and the entry still stay as they were.
    writeFile(sandbox.failFlag(), "always");
    EXPECT_EQ(store.addCertificate(Certificate(ev_test::makeCaPem("Again")), "mine", newId,
                                   SameName::replace),
              AddCertificateStatus::internal_error);
    EXPECT_TRUE(log.has(level_enum::err,
                        "[ca-store] Unable to restore certificate mine in the system store"));
    EXPECT_EQ(readFile(userFile("mine")), previous);
    EXPECT_EQ(store.getCertificate(id)->text(), previous);
}

TEST_F(LinuxCaCertificateStoreTest, AFailedRemovalLeavesTheStoreExactlyAsItWas) {
    const fs::path privateFile = linkAUserCertificateToAPrivateFile("linked");
    ASSERT_TRUE(initStore(sandbox.flakyTool())) << log.dump();
    const uint32_t fileId = addOrFail("mine", ev_test::makeCaPem("Mine"));
    const uint32_t linkId = infoNamed(store, "linked")->id;
    const auto before = state();

    // The tool fails before it does anything, after it has dropped the
    // certificate from the system folder, or on every run, the put-back
    // included.
    for (const std::string failure : {"once", "after", "always"}) {
        for (const uint32_t id : {fileId, linkId}) {
            writeFile(sandbox.failFlag(), failure);
            log.clear();
            EXPECT_EQ(store.removeCertificate(id), RemoveCertificateStatus::internal_error)
                << failure;
            fs::remove(sandbox.failFlag());
            EXPECT_EQ(state(), before) << failure << " " << id << "\n" << log.dump();
        }
    }
    EXPECT_EQ(fs::status(privateFile).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);

    // Nothing was lost: the removal works once the tool does.
    EXPECT_EQ(store.removeCertificate(fileId), RemoveCertificateStatus::success) << log.dump();
    EXPECT_EQ(store.removeCertificate(linkId), RemoveCertificateStatus::success) << log.dump();
    EXPECT_TRUE(fs::exists(privateFile));
}

TEST_F(LinuxCaCertificateStoreTest, AFailedReplacementPutsBackALinkAsTheSameLink) {
    const fs::path privateFile = linkAUserCertificateToAPrivateFile("linked");
    ASSERT_TRUE(initStore(sandbox.flakyTool())) << log.dump();
    const auto before = state();
    for (const std::string failure : {"after", "always"}) {
        writeFile(sandbox.failFlag(), failure);
        uint32_t id = 0;
        EXPECT_EQ(store.addCertificate(Certificate(ev_test::makeCaPem("New")), "linked", id,
                                       SameName::replace),
                  AddCertificateStatus::internal_error);
        fs::remove(sandbox.failFlag());
        EXPECT_EQ(state(), before) << failure << "\n" << log.dump();
        EXPECT_EQ(fs::read_symlink(userFile("linked")), privateFile);
    }
    EXPECT_EQ(fs::status(privateFile).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
}

TEST_F(LinuxCaCertificateStoreTest, RefusesATextThatHoldsAPrivateKeyAndNeverLogsTheKey) {
    ASSERT_TRUE(initStore());
    const auto before = state();
    const std::string certificate = ev_test::makeCaPem("With key");
    const std::string key = ev_test::makePrivateKeyPem();
    auto relabelled = [&key](const std::string& label) {
        std::string block = key;
        for (std::size_t at = 0; (at = block.find("PRIVATE KEY", at)) != std::string::npos;) {
            block.replace(at, 11, label);
            at += label.size();
        }
        return block;
    };
    for (const std::string label : {"PRIVATE KEY", "RSA PRIVATE KEY", "EC PRIVATE KEY",
                                    "ENCRYPTED PRIVATE KEY", "OPENSSH PRIVATE KEY"}) {
        const std::string block = relabelled(label);
        for (const std::string& text : {block + certificate, certificate + block,
                                        certificate + "note\r\n" + block + certificate}) {
            log.clear();
            uint32_t id = 0;
            EXPECT_EQ(store.addCertificate(Certificate(text), "withkey", id, SameName::replace),
                      AddCertificateStatus::invalid_cert)
                << text;
            // One line, which says why without quoting anything of the key.
            EXPECT_TRUE(log.has(level_enum::warn,
                                "[ca-store] Unable to add certificate withkey "
                                ": the text holds a private key"));
            EXPECT_EQ(log.texts().size(), 1u) << log.dump();
        }
    }
    EXPECT_EQ(state(), before);

    // A public key beside the certificate is no secret.
    const std::string publicKey = "-----BEGIN PUBLIC KEY-----\n" +
                                  key.substr(key.find('\n') + 1, 64) +
                                  "\n-----END PUBLIC KEY-----\n";
    addOrFail("withpublickey", certificate + publicKey);
}

TEST_F(LinuxCaCertificateStoreTest, RefusesABuiltInsNameWhetherOrNotReplacing) {
    ASSERT_TRUE(initStore());
    const auto before = state();
    for (const SameName sameName : {SameName::refuse, SameName::replace}) {
        log.clear();
        uint32_t id = 0;
        EXPECT_EQ(store.addCertificate(Certificate(ev_test::makeCaPem("Shadow")), "ACCVRAIZ1", id,
                                       sameName),
                  AddCertificateStatus::already_exists);
        EXPECT_EQ(id, 0u);
        EXPECT_EQ(log.texts(), (std::vector<std::string>{
                                   "[ca-store] Unable to add certificate ACCVRAIZ1 : a built-in "
                                   "certificate has the same name"}));
        EXPECT_EQ(state(), before) << static_cast<int>(sameName);
    }
}

TEST_F(LinuxCaCertificateStoreTest, AnswersInternalErrorWithoutWaitingWhenTheUserFileIsNoFile) {
    ASSERT_TRUE(initStore());
    const uint32_t mine = addOrFail("mine", ev_test::makeCaPem("Mine"));
    // Its own file turned into a FIFO behind the store's back; other names
    // are taken by entries the store never wrote.
    fs::remove(userFile("mine"));
    ASSERT_EQ(::mkfifo(userFile("mine").c_str(), 0644), 0);
    ASSERT_EQ(::mkfifo(userFile("fifo").c_str(), 0644), 0);
    fs::create_directories(userFile("folder") / "inside");
    fs::create_directories(userFile("empty"));
    const int socketFd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, userFile("socket").c_str(), sizeof(address.sun_path) - 1);
    ASSERT_EQ(::bind(socketFd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)), 0);
    ::close(socketFd);
    const auto before = state();

    for (const std::string name : {"mine", "fifo", "folder", "empty", "socket"}) {
        log.clear();
        uint32_t id = 0;
        auto status = AddCertificateStatus::success;
        EXPECT_NO_THROW(status = store.addCertificate(Certificate(ev_test::makeCaPem("New")), name,
                                                      id, SameName::replace));
        EXPECT_EQ(status, AddCertificateStatus::internal_error) << name;
        EXPECT_TRUE(log.has(level_enum::err, "[ca-store] Unable to add certificate " + name +
                                                 " : unable to write certificate in the user "
                                                 "store directory => " +
                                                 userFile(name).string()))
            << log.dump();
        EXPECT_EQ(state(), before) << name;
    }
    EXPECT_TRUE(store.getCertificateInfo(mine));
}

TEST_F(LinuxCaCertificateStoreTest, NeverWaitsOnAFifoBehindASystemEntry) {
    // The update does nothing here, so the system folder stays as built below.
    LinuxCaCertificateStore quiet([](bool) { return true; });
    const fs::path pipe = sandbox.root() / "pipe.crt";
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0644), 0);
    fs::create_symlink(pipe, systemEntry("pipe"));
    writeFile(userFile("mine"), ev_test::makeCaPem("Mine"));
    fs::create_symlink(userFile("mine"), systemEntry("mine"));
    ASSERT_TRUE(quiet.init(sandbox.linuxDir(), sandbox.userDir(), "unused", "--fresh", {}));
    EXPECT_TRUE(
        log.has(level_enum::err, "[ca-store] Invalid certificate found : " + pipe.string()));

    const auto mine = infoNamed(quiet, "mine");
    ASSERT_TRUE(mine);
    fs::remove(userFile("mine"));
    ASSERT_EQ(::mkfifo(userFile("mine").c_str(), 0644), 0);
    EXPECT_FALSE(quiet.getCertificate(mine->id));
    EXPECT_FALSE(quiet.getCertificateByName("mine"));
}

TEST_F(LinuxCaCertificateStoreTest, InitRemovesLeftoversOfItsOwnTemporaryNamesAndNothingElse) {
    writeFile(userFile("mine"), ev_test::makeCaPem("Mine"));
    // What a write or a put-back of a link leaves when the process is killed
    // before its rename.
    const std::vector<std::string> leftovers = {".mine.crt.Ab12Z9", ".a-b_C.crt.XXXXXX",
                                                ".mine.crt.000000", ".link.crt.Qw12er"};
    for (std::size_t i = 0; i + 1 < leftovers.size(); ++i) {
        writeFile(sandbox.userDir() / leftovers[i], "partial");
    }
    fs::create_symlink(sandbox.root() / "elsewhere.crt", sandbox.userDir() / leftovers.back());
    std::set<std::string> kept = {"mine.crt",           ".mine.crt.Ab12Z",  ".mine.crt.Ab12Z99",
                                  "mine.crt.Ab12Z9",    ".mine.pem.Ab12Z9", ".my cert.crt.Ab12Z9",
                                  "..crt.Ab12Z9",       ".mine.crt.Ab-2Z9", ".mine.crt.",
                                  ".mine.crt.Ab12Z9.x", "notes.txt"};
    for (const auto& name : kept) {
        if (name != "mine.crt") writeFile(sandbox.userDir() / name, "not ours");
    }
    fs::create_directories(sandbox.userDir() / ".dir.crt.Qw12er");
    kept.insert(".dir.crt.Qw12er");

    ASSERT_TRUE(initStore()) << log.dump();
    for (const auto& name : leftovers) {
        EXPECT_EQ(log.count("[ca-store] Removed leftover temporary file " +
                            (sandbox.userDir() / name).string()),
                  1u)
            << log.dump();
    }
    EXPECT_EQ(fileNames(sandbox.userDir()), kept);
    EXPECT_TRUE(infoNamed(store, "mine"));
}

TEST_F(LinuxCaCertificateStoreTest, RefusesNamesLongerThan200CharactersBeforeWritingAnything) {
    ASSERT_TRUE(initStore());
    const std::string pem = ev_test::makeCaPem("Long");
    const auto before = state();
    const std::string longest(200, 'n');
    uint32_t id = 0;
    log.clear();
    EXPECT_EQ(store.addCertificate(Certificate(pem), longest + "n", id, SameName::replace),
              AddCertificateStatus::invalid_name);
    EXPECT_EQ(log.texts(),
              (std::vector<std::string>{"[ca-store] Unable to add certificate " + longest +
                                        "n : the name is longer than 200 "
                                        "characters"}));
    // A name of any size is quoted with at most 256 of its bytes.
    log.clear();
    EXPECT_EQ(
        store.addCertificate(Certificate(pem), std::string(1 << 20, 'n'), id, SameName::replace),
        AddCertificateStatus::invalid_name);
    EXPECT_EQ(
        log.texts(),
        (std::vector<std::string>{"[ca-store] Unable to add certificate " + std::string(256, 'n') +
                                  "… (1048576 bytes) : the name is longer than 200 characters"}));
    EXPECT_EQ(id, 0u);
    EXPECT_EQ(state(), before);

    id = addOrFail(longest, pem);
    EXPECT_EQ(store.getCertificate(id)->text(), pem);
}

TEST_F(LinuxCaCertificateStoreTest, ReadsCertificatesAnewAndReportsFilesDeletedBehindItsBack) {
    ASSERT_TRUE(initStore());
    const uint32_t id = addOrFail("mine", ev_test::makeCaPem("Mine"));
    // Changed behind the store's back: the lookup sees the file as it is now.
    const std::string changed = ev_test::makeCaPem("Changed");
    writeFile(userFile("mine"), changed);
    EXPECT_EQ(store.getCertificate(id)->text(), changed);

    fs::remove(userFile("mine"));
    log.clear();
    EXPECT_FALSE(store.getCertificate(id));
    EXPECT_TRUE(log.has(level_enum::err, "[ca-store] Unable to load certificate : id = " +
                                             std::to_string(id) + ", name = mine"));
    EXPECT_FALSE(store.getCertificateByName("mine"));
    EXPECT_TRUE(log.has(level_enum::err, "[ca-store] Unable to load certificate : name = mine"));

    log.clear();
    EXPECT_FALSE(store.getCertificate(777));
    EXPECT_FALSE(store.getCertificateInfo(778));
    EXPECT_TRUE(log.has(level_enum::err, "[ca-store] Invalid certificate id : 777"));
    EXPECT_TRUE(log.has(level_enum::err, "[ca-store] Invalid certificate id : 778"));
    EXPECT_FALSE(store.getCertificateByName("unknown"));
    EXPECT_EQ(log.texts().size(), 2u) << log.dump();
}

TEST(LinuxCaCertificateStoreRealData, ListsEveryCertificateOfTheMachinesConfiguration) {
    ev_test::LogCapture log;
    ev_test::CaSandbox sandbox(std::vector<std::string>{});
    std::set<std::string> listed;
    std::ifstream conf("/etc/ca-certificates.conf");
    for (std::string line; std::getline(conf, line);) {
        if (line.empty() || line[0] == '#' || line[0] == '!') continue;
        if (fs::exists(ev_test::kSystemCaFiles / line)) listed.insert(fs::path(line).stem());
    }
    if (listed.empty()) GTEST_SKIP() << "no CA certificates configured on this machine";

    LinuxCaCertificateStore store;
    ASSERT_TRUE(store.init(sandbox.linuxDir(), sandbox.userDir(), ev_test::kUpdateTool, "--fresh",
                           sandbox.toolArguments("/etc/ca-certificates.conf", sandbox.userDir())));
    std::set<std::string> names;
    for (const auto& info : store.getCertificates()) {
        EXPECT_TRUE(info.isBuiltIn) << info.name;
        EXPECT_FALSE(info.subject.empty()) << info.name;
        EXPECT_TRUE(names.insert(info.name).second) << info.name;
    }
    EXPECT_EQ(names, listed);
    EXPECT_TRUE(log.has(level_enum::info, "[ca-store] Loaded " + std::to_string(listed.size()) +
                                              " CA certificates : built_in = " +
                                              std::to_string(listed.size()) + ", user = 0"));
}

namespace {

// Mounts a tiny file system on the user folder inside a private mount
// namespace of this test process; skipped where that is not permitted.
class FullUserFolderTest : public LinuxCaCertificateStoreTest {
protected:
    void SetUp() override {
        if (::unshare(CLONE_NEWNS) != 0 ||
            ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
            GTEST_SKIP() << "no private mount namespace here: " << std::strerror(errno);
        }
        if (::mount("tmpfs", sandbox.userDir().c_str(), "tmpfs", 0, "size=64k") != 0) {
            GTEST_SKIP() << "cannot mount a tmpfs: " << std::strerror(errno);
        }
        mounted = true;
    }
    void TearDown() override {
        if (mounted) ::umount2(sandbox.userDir().c_str(), MNT_DETACH);
    }

    void fillUserFolder() {
        std::ofstream filler(sandbox.userDir() / "filler", std::ios::binary);
        const std::string block(4096, 'x');
        for (int i = 0; i < 64 && filler; ++i)
            filler.write(block.data(), block.size()), filler.flush();
    }

    bool mounted = false;
};

}  // namespace

TEST_F(FullUserFolderTest, AWriteErrorGivesInternalErrorAndLeavesNothingBehind) {
    ASSERT_TRUE(initStore()) << log.dump();
    const std::string previous = ev_test::makeCaPem("Previous");
    const uint32_t id = addOrFail("mine", previous);
    fillUserFolder();
    const auto before = fileNames(sandbox.userDir());

    uint32_t newId = 0;
    EXPECT_EQ(store.addCertificate(Certificate(ev_test::makeCaPem("New")), "fresh", newId,
                                   SameName::refuse),
              AddCertificateStatus::internal_error);
    EXPECT_TRUE(log.has(level_enum::err,
                        "[ca-store] Unable to add certificate fresh : unable to write certificate "
                        "in the user store directory => " +
                            userFile("fresh").string()));
    EXPECT_EQ(store.addCertificate(Certificate(ev_test::makeCaPem("Replacement")), "mine", newId,
                                   SameName::replace),
              AddCertificateStatus::internal_error);
    EXPECT_TRUE(log.has(level_enum::err,
                        "[ca-store] Unable to add certificate mine : unable to write certificate "
                        "in the user store directory => " +
                            userFile("mine").string()));
    EXPECT_EQ(newId, 0u);
    EXPECT_EQ(fileNames(sandbox.userDir()), before);
    EXPECT_EQ(readFile(userFile("mine")), previous);
    EXPECT_EQ(store.getCertificate(id)->text(), previous);
    EXPECT_FALSE(infoNamed(store, "fresh"));
    EXPECT_EQ(store.getCertificates().size(), 4u);
}
