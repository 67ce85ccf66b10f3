// Distrusting a built-in certificate of LinuxCaCertificateStore the way the
// operating system does it: its line in the update tool's configuration
// written deselected ('!' in front), then one run of the tool, which takes
// its link out of the system folder. Restoring writes the line back.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include <spdlog/spdlog.h>

#include "ca_store_saved_file.hpp"
#include "ev_common/cyber/linux_ca_certificate_store.hpp"
#include "ev_common/system/bounded_text.hpp"
#include "ev_common/system/file_io.hpp"

namespace fs = std::filesystem;

namespace ev_common {

namespace {

const char* const kPem = ".pem";

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::string joined(const std::vector<std::string>& lines) {
    std::string text;
    for (const auto& line : lines) text += line + "\n";
    return text;
}

// The certificate a configuration line names, without its '!'.
std::string listedPath(const std::string& line) {
    return !line.empty() && line[0] == '!' ? line.substr(1) : line;
}

bool isCertificateLine(const std::string& line) {
    return !line.empty() && line[0] != '#' && !listedPath(line).empty();
}

}  // namespace

void LinuxCaCertificateStore::setUpdateConfiguration(const fs::path& file, const fs::path& folder) {
    configurationFile = file;
    certificatesFolder = folder;
}

void LinuxCaCertificateStore::loadDistrusted() {
    distrustedFiles.clear();
    if (configurationFile.empty()) return;
    std::ifstream in(configurationFile, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    std::size_t count = 0;
    for (const auto& line : linesOf(text.str())) {
        if (!isCertificateLine(line) || line[0] != '!') continue;
        const fs::path file = certificatesFolder / listedPath(line);
        const std::string name = file.stem().string();
        if (table.findByName(name) != table.end()) continue;
        const Certificate certificate(file);
        if (!certificate.valid()) continue;
        Entry entry = table.makeEntry(name, /*isBuiltIn=*/true, certificate);
        entry.info.distrusted = true;
        table.resolveIssuer(entry, certificate);
        table.insert(std::move(entry));
        distrustedFiles[name] = file;
        ++count;
    }
    if (count > 0) spdlog::info("[ca-store] Loaded {} distrusted built-in certificates", count);
}

DistrustStatus LinuxCaCertificateStore::distrustBuiltIn(uint32_t id) {
    return changeTrust(id, /*distrust=*/true);
}

DistrustStatus LinuxCaCertificateStore::restoreBuiltIn(uint32_t id) {
    return changeTrust(id, /*distrust=*/false);
}

DistrustStatus LinuxCaCertificateStore::changeTrust(uint32_t id, bool distrust) {
    const char* const verb = distrust ? "distrust" : "restore";
    const auto it = table.find(id);
    if (it == table.end()) {
        spdlog::error("[ca-store] Invalid certificate id : {}", id);
        return DistrustStatus::unknown_id;
    }
    Entry& entry = it->second;
    const std::string name = entry.info.name;
    if (!entry.info.isBuiltIn) {
        spdlog::error("[ca-store] Unable to {} certificate {} : not a built-in certificate", verb,
                      bounded(name));
        return DistrustStatus::not_built_in;
    }
    if (entry.info.distrusted == distrust) {
        spdlog::error("[ca-store] Unable to {} certificate {} : {}", verb, bounded(name),
                      distrust ? "already distrusted" : "not distrusted");
        return distrust ? DistrustStatus::already_distrusted : DistrustStatus::not_distrusted;
    }
    const auto unusable = [&](const std::string& why) {
        spdlog::error("[ca-store] Unable to {} certificate {} : {}", verb, bounded(name), why);
        return DistrustStatus::config_unusable;
    };
    if (configurationFile.empty()) return unusable("no configuration file of the update tool");
    struct stat status {};
    if (::lstat(configurationFile.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) {
        return unusable(configurationFile.string() + " is not a regular file");
    }
    if (::access(configurationFile.c_str(), W_OK) != 0 ||
        ::access(configurationFile.parent_path().c_str(), W_OK) != 0) {
        return unusable(configurationFile.string() + " is not writable: " + std::strerror(errno));
    }
    std::ifstream in(configurationFile, std::ios::binary);
    std::stringstream read;
    read << in.rdbuf();
    const std::string before = read.str();
    std::vector<std::string> lines = linesOf(before);
    std::optional<std::size_t> at;
    for (std::size_t i = 0; i < lines.size() && !at; ++i) {
        if (!isCertificateLine(lines[i]) || (lines[i][0] == '!') != !distrust) continue;
        if (fs::path(listedPath(lines[i])).stem().string() == name) at = i;
    }
    if (!at) return unusable(configurationFile.string() + " does not list it");
    const std::string listed = listedPath(lines[*at]);
    lines[*at] = distrust ? "!" + listed : listed;

    const auto write = [&](const std::string& text) {
        AtomicWriteOptions options;
        options.mode = status.st_mode & 07777;
        return writeFileAtomically(configurationFile, text, options).ok();
    };
    if (!write(joined(lines))) {
        return unusable("cannot write " + configurationFile.string());
    }
    const fs::path source = certificatesFolder / listed;
    // The tool, then the system folder as it must be now; else the line
    // goes back and the tool runs once more.
    bool done = updateCallback(/*fresh=*/false);
    if (done && distrust) {
        done = removalsTakenUp({SavedFile{id, name, {}, std::nullopt}});
    } else if (done) {
        done = Certificate(linuxDir / (name + kPem)).valid();
    }
    CertificateChange change =
        table.changeOf(distrust ? CertificateEvent::distrusted : CertificateEvent::restored, entry);
    if (!done || !admitted({change})) {
        spdlog::error(
            "[ca-store] Unable to {} certificate {} : update certificate command failed "
            "=> {}",
            verb, bounded(name), updateCommand);
        if (!write(before) || !updateCallback(/*fresh=*/false)) {
            spdlog::error("[ca-store] Unable to put {} back as it was", configurationFile.string());
        }
        return DistrustStatus::internal_error;
    }
    entry.info.distrusted = distrust;
    if (distrust) {
        distrustedFiles[name] = source;
    } else {
        distrustedFiles.erase(name);
    }
    spdlog::info("[ca-store] Built-in certificate {} : id = {}, name = {}",
                 distrust ? "distrusted" : "restored", id, bounded(name));
    table.changed(distrust ? CertificateEvent::distrusted : CertificateEvent::restored, entry);
    return DistrustStatus::success;
}

}  // namespace ev_common
