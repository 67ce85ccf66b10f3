#include "cybersecurity_service.hpp"

#include "certificate_json.hpp"
#include "ev_common/system/bounded_text.hpp"
#include "ev_common/system/user_database.hpp"
#include "trust_domains.hpp"

#include <spdlog/spdlog.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>

namespace ev_charging_platform::cybersecurity {

namespace {

const char* const kServiceName = "cybersecurity_service";
const char* const kUpdateCommand = "/usr/sbin/update-ca-certificates";
const char* const kFreshArgument = "--fresh";
constexpr std::chrono::seconds kUpdateTimeout{120};
// The service counts as stuck once one request has kept every client waiting
// for half the update tool's time limit: a tool that hangs stops the watchdog
// refreshes well before its own limit ends it, so systemd learns of the stall
// (and restarts the daemon) rather than seeing a healthy service.
std::chrono::milliseconds stuck_after(std::chrono::seconds update_timeout) {
    return std::max<std::chrono::milliseconds>(update_timeout / 2, std::chrono::seconds(1));
}
// Where a daemon running as root keeps the lock of its endpoint: a folder
// only root may write (the unit's RuntimeDirectory).
const char* const kRuntimeFolder = "/run/cybersecurity_service";
constexpr unsigned int kExpiryWarningDays = 30;
// Enough for every client library and tool one user runs at once; each
// connection costs the daemon a descriptor.
constexpr unsigned int kMaxConnectionsPerUid = 32;
const char* const kDomainsPath = "/var/lib/cybersecurity_service/domains";
const char* const kCsmsDomain = "csms";
// The folder and the bundle (with ".pem") of the csms domain's fallback root.
const char* const kCsmsFallback = "csms-fallback";
const char* const kStateDatabase = "/var/lib/cybersecurity_service/state.db";
const char* const kUpdateConfiguration = "/etc/ca-certificates.conf";
const char* const kBuiltinCertificates = "/usr/share/ca-certificates";
constexpr unsigned int kBatchMaxChanges = 100;

// The value after `option` among the update tool's arguments.
std::optional<std::string> argument_after(const std::vector<std::string>& arguments,
                                          const std::string& option) {
    for (std::size_t i = 0; i + 1 < arguments.size(); ++i) {
        if (arguments[i] == option) return arguments[i + 1];
    }
    return std::nullopt;
}
constexpr unsigned int kDomainMaxCertificates = 20;
// Keeps the bundle's name and the temporaries of its writes well within the
// 255 bytes of a file name.
constexpr std::size_t kDomainNameMaxLength = 64;
constexpr std::chrono::hours kExpiryCheckPeriod{24};
// A hundred years stands for "never again" without overflowing the clock.
constexpr std::chrono::hours kLongestPeriod{24 * 365 * 100};

// Only root may create files in the runtime folder (the socket unit creates
// the event socket there on a device). Any other user publishes in a folder
// of its own: $XDG_RUNTIME_DIR/cybersecurity_service when $XDG_RUNTIME_DIR is
// the user's and writable by nobody else, else /tmp/cybersecurity_service-UID
// (the folder its lock is in, created 0700 and checked when the lock is
// taken). A missing folder under $XDG_RUNTIME_DIR is created here.
std::string default_events_endpoint() {
    const uid_t user = ::geteuid();
    if (user == 0) return events_endpoint;
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    struct stat status {};
    if (runtime != nullptr && runtime[0] == '/' && ::lstat(runtime, &status) == 0 &&
        S_ISDIR(status.st_mode) && status.st_uid == user && (status.st_mode & 022) == 0) {
        const std::string folder = std::string(runtime) + "/" + kServiceName;
        if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
            spdlog::warn("Unable to create the event folder {} : {}", ev_common::bounded(folder),
                         std::strerror(errno));
        }
        return "ipc://" + folder + "/events.api";
    }
    return "ipc:///tmp/" + std::string(kServiceName) + "-" + std::to_string(user) + "/events.api";
}

// The path with links, "." and ".." resolved as far as it exists, without a
// trailing separator.
std::filesystem::path resolved(const std::string& path) {
    std::error_code error;
    std::filesystem::path absolute = std::filesystem::absolute(path, error);
    std::filesystem::path result = std::filesystem::weakly_canonical(absolute, error);
    if (error) result = absolute.lexically_normal();
    if (!result.has_filename() && result.has_relative_path()) result = result.parent_path();
    return result;
}

// True when one of the folders is the other or lies within it.
bool overlapping(const std::filesystem::path& a, const std::filesystem::path& b) {
    return std::mismatch(a.begin(), a.end(), b.begin(), b.end()).first == a.end() ||
           std::mismatch(b.begin(), b.end(), a.begin(), a.end()).first == b.end();
}

ev_common::ZmqIpcServerOptions server_options(std::function<void()> on_fatal_error) {
    ev_common::ZmqIpcServerOptions options;
    options.onFatalError = std::move(on_fatal_error);
    return options;
}

}  // namespace

cybersecurity_service::cybersecurity_service(ev_common::LinuxCaCertificateStore& store,
                                             const std::string& endpoint, const std::string& events)
    : service(kServiceName, /*use_database=*/false),
      events_endpoint_given_(events),
      store_(store),
      numbering_(std::make_shared<ev_common::CertificateNumbering>()),
      publisher_(events),
      operations_(kServiceName, &store_),
      ipc_handler_(&operations_, endpoint, server_options([this] { on_endpoint_lost(); })) {
    store_.shareNumbering(numbering_);
    store_.setChangeObserver(
        [this](const ev_common::CertificateChange& change) { publish(change); });
}

// The file the update tool reads its selection from: "cyber.update_config_path",
// else the one its arguments name, else the system's. Built-ins are read from
// the folder its arguments name, else the system's.
void cybersecurity_service::configure_updates(const std::vector<std::string>& arguments) {
    const auto& configuration = get_configuration();
    std::string file = argument_after(arguments, "--certsconf").value_or(kUpdateConfiguration);
    if (auto value = configuration.findValue<std::string>("cyber.update_config_path")) {
        file = *value;
    } else if (configuration.findParameter("cyber.update_config_path")) {
        spdlog::warn("Parameter cyber.update_config_path is not a string, using {}",
                     ev_common::bounded(file));
    }
    spdlog::debug("Found parameter update_config_path : {}", ev_common::bounded(file));
    store_.setUpdateConfiguration(
        file, argument_after(arguments, "--certsdir").value_or(kBuiltinCertificates));
    unsigned int batch_max = kBatchMaxChanges;
    if (auto value = configuration.findValue<unsigned int>("cyber.batch_max_changes")) {
        batch_max = *value;
    } else if (configuration.findParameter("cyber.batch_max_changes")) {
        spdlog::warn("Parameter cyber.batch_max_changes is not an unsigned integer, using {}",
                     kBatchMaxChanges);
    }
    operations_.set_max_batch_changes(batch_max);
}

bool cybersecurity_service::open_state() {
    const auto& configuration = get_configuration();
    std::string path = kStateDatabase;
    if (auto value = configuration.findValue<std::string>("cyber.state_database")) {
        path = *value;
    } else if (configuration.findParameter("cyber.state_database")) {
        spdlog::warn("Parameter cyber.state_database is not a string, using {}", kStateDatabase);
    }
    spdlog::debug("Found parameter state_database : {}", ev_common::bounded(path));
    if (path.empty()) return true;
    unsigned int max_entries = trust_state::default_max_entries;
    if (auto value = configuration.findValue<unsigned int>("cyber.journal_max_entries")) {
        if (*value > 0) {
            max_entries = *value;
        } else {
            spdlog::warn("Parameter cyber.journal_max_entries is 0, using {}", max_entries);
        }
    } else if (configuration.findParameter("cyber.journal_max_entries")) {
        spdlog::warn("Parameter cyber.journal_max_entries is not an unsigned integer, using {}",
                     max_entries);
    }
    state_.set_max_entries(max_entries);
    if (!state_.open(path)) return false;
    operations_.set_state(&state_);
    attach_state(store_);
    return true;
}

void cybersecurity_service::attach_state(ev_common::CaStoreCore& store) {
    if (!state_.is_open()) return;
    store.setHashDataMemory([this](const std::string& sha256) { return state_.recall(sha256); });
    store.setChangeGate([this](const std::vector<ev_common::CertificateChange>& changes) {
        return state_.commit(changes);
    });
}

std::vector<trust_state::held> cybersecurity_service::holdings() {
    std::vector<trust_state::held> result;
    const auto add = [&result](ev_common::CaStoreCore& store) {
        for (auto& entry : store.getCertificateDetails().certificates) {
            result.push_back({entry.domain, entry.info.id, entry.info.name, entry.details.sha256,
                              std::move(entry.details.ocpp)});
        }
    };
    add(store_);
    for (const auto& domain : domain_stores_) add(*domain);
    return result;
}

void cybersecurity_service::publish(const ev_common::CertificateChange& change) {
    const bool expiry = change.event == ev_common::CertificateEvent::expiring ||
                        change.event == ev_common::CertificateEvent::expired;
    // A change may have given certificates their issuer: their hash data are
    // kept from now on.
    if (!expiry && state_.is_open()) state_.remember(holdings());
    std::string event = event_json(change, state_.is_open() ? state_.store_id() : std::string());
    if (collecting_expiry_) expiry_events_.push_back(event);
    publisher_.publish(event);
    spdlog::debug("Published certificate event {} : id={} generation={}",
                  ev_common::toString(change.event), change.id, change.generation);
}

void cybersecurity_service::cancel_tool_runs() {
    store_.cancelUpdates();
    for (const auto& domain : domain_stores_) domain->cancelRehash();
}

// A tool run still in progress would hold up the IPC server's thread, which
// is joined here: it is cut short first. The health check reads the server,
// which goes before the base class's watchdog; the store outlives the
// service and must not call it once the server's thread has ended.
cybersecurity_service::~cybersecurity_service() {
    expiry_task_.stop();
    cancel_tool_runs();
    set_health_check({});
    if (ipc_handler_.is_started()) ipc_handler_.stop();
    store_.setChangeObserver({});
}

// Without its endpoint the service is of no use to anyone: it ends with 1 so
// that systemd starts it afresh. Should the command loop not run yet, the
// start is refused instead.
void cybersecurity_service::on_endpoint_lost() {
    endpoint_lost_ = true;
    stop(1);
}

std::string cybersecurity_service::update_command() {
    const auto& configuration = get_configuration();
    if (auto value = configuration.findValue<std::string>("cyber.update_command")) return *value;
    if (configuration.findParameter("cyber.update_command"))
        spdlog::warn("Parameter cyber.update_command is not a string, using {}", kUpdateCommand);
    return kUpdateCommand;
}

std::vector<std::string> cybersecurity_service::update_arguments() {
    const auto& configuration = get_configuration();
    if (auto value = configuration.findValue<std::vector<std::string>>("cyber.update_arguments"))
        return *value;
    if (configuration.findParameter("cyber.update_arguments"))
        spdlog::warn("Parameter cyber.update_arguments is not a string list, ignored");
    return {};
}

std::chrono::seconds cybersecurity_service::update_timeout() {
    const auto& configuration = get_configuration();
    if (auto value = configuration.findValue<std::chrono::seconds>("cyber.update_timeout"))
        return *value;
    if (configuration.findParameter("cyber.update_timeout"))
        spdlog::warn("Parameter cyber.update_timeout is not a duration in seconds, using {}s",
                     kUpdateTimeout.count());
    return kUpdateTimeout;
}

bool cybersecurity_service::configure_access() {
    const auto& configuration = get_configuration();
    std::string client_group;
    if (auto value = configuration.findValue<std::string>("cyber.client_group")) {
        client_group = *value;
    } else if (configuration.findParameter("cyber.client_group")) {
        spdlog::warn("Parameter cyber.client_group is not a string, ignored");
    }
    std::vector<std::string> admin_groups;
    if (auto value = configuration.findValue<std::vector<std::string>>("cyber.admin_groups")) {
        admin_groups = *value;
    } else if (configuration.findParameter("cyber.admin_groups")) {
        spdlog::warn("Parameter cyber.admin_groups is not a string list, ignored");
    }

    ev_common::IpcEndpointAccess access;
    access.lockFile = ev_common::ipcLockFile(ipc_handler_.server().getEndpoint(), kRuntimeFolder);
    if (!client_group.empty()) {
        spdlog::debug("Found parameter client_group : {}", ev_common::bounded(client_group));
        const auto gid = ev_common::findGroupId(client_group);
        if (!gid) {
            spdlog::critical("[cybersecurity_service] Unknown group '{}' in cyber.client_group",
                             ev_common::bounded(client_group));
            return false;
        }
        access.mode = 0660;
        access.group = *gid;
    }
    std::vector<gid_t> admin_gids;
    for (const auto& group : admin_groups) {
        spdlog::debug("Found parameter admin_groups : {}", ev_common::bounded(group));
        const auto gid = ev_common::findGroupId(group);
        if (!gid) {
            spdlog::critical("[cybersecurity_service] Unknown group '{}' in cyber.admin_groups",
                             ev_common::bounded(group));
            return false;
        }
        admin_gids.push_back(*gid);
    }
    // The event endpoint's socket file gets the same mode and group.
    publisher_.setEndpoint(events_endpoint_to_serve());
    ev_common::IpcEndpointAccess events_access = access;
    events_access.lockFile = ev_common::ipcLockFile(publisher_.getEndpoint(), kRuntimeFolder);
    publisher_.setEndpointAccess(std::move(events_access));
    ipc_handler_.server().setEndpointAccess(std::move(access));
    const access_policy policy(std::move(admin_gids));
    // Whoever may change the store is never locked out by readers.
    ev_common::ConnectionLimits limits;
    limits.perUid = max_connections_per_uid();
    limits.exempt = [policy](const ev_common::PeerCredentials& peer) {
        return policy.may_change(peer);
    };
    publisher_.setConnectionLimits(limits);
    ipc_handler_.server().setConnectionLimits(std::move(limits));
    operations_.set_access_policy(policy);
    return true;
}

unsigned int cybersecurity_service::max_connections_per_uid() {
    const auto& configuration = get_configuration();
    if (auto value = configuration.findValue<unsigned int>("cyber.max_connections_per_uid")) {
        if (*value > 0) return *value;
        spdlog::warn("Parameter cyber.max_connections_per_uid is 0, using {}",
                     kMaxConnectionsPerUid);
        return kMaxConnectionsPerUid;
    }
    if (configuration.findParameter("cyber.max_connections_per_uid"))
        spdlog::warn("Parameter cyber.max_connections_per_uid is not an unsigned integer, using {}",
                     kMaxConnectionsPerUid);
    return kMaxConnectionsPerUid;
}

unsigned int cybersecurity_service::expiry_warning_days() {
    const auto& configuration = get_configuration();
    if (auto value = configuration.findValue<unsigned int>("cyber.expiry_warning_days"))
        return *value;
    if (configuration.findParameter("cyber.expiry_warning_days"))
        spdlog::warn("Parameter cyber.expiry_warning_days is not an unsigned integer, using {}",
                     kExpiryWarningDays);
    return kExpiryWarningDays;
}

std::chrono::hours cybersecurity_service::expiry_check_period() {
    const auto& configuration = get_configuration();
    if (auto value = configuration.findValue<std::chrono::hours>("cyber.expiry_check_period")) {
        if (value->count() >= 1) return std::min(*value, kLongestPeriod);
        spdlog::warn("Parameter cyber.expiry_check_period is below one hour, using {}h",
                     kExpiryCheckPeriod.count());
        return kExpiryCheckPeriod;
    }
    if (configuration.findParameter("cyber.expiry_check_period"))
        spdlog::warn("Parameter cyber.expiry_check_period is not a duration in hours, using {}h",
                     kExpiryCheckPeriod.count());
    return kExpiryCheckPeriod;
}

bool cybersecurity_service::start_expiry_watch() {
    const std::int64_t window = operations_.expiry_warning();
    const std::chrono::hours period = expiry_check_period();
    // Once the server runs, the store is its thread's alone: every check is
    // handed to that thread and runs between two requests.
    // Its warnings are also sent to each subscriber that arrives later (the
    // first check runs before anyone can have subscribed).
    auto check = [this, window] {
        const std::int64_t now = std::chrono::duration_cast<std::chrono::seconds>(
                                     std::chrono::system_clock::now().time_since_epoch())
                                     .count();
        expiry_events_.clear();
        collecting_expiry_ = true;
        store_.checkExpiry(now, window);
        for (const auto& domain : domain_stores_) domain->checkExpiry(now, window);
        collecting_expiry_ = false;
        publisher_.setGreeting(std::move(expiry_events_));
        expiry_events_.clear();
    };
    if (!ipc_handler_.server().post(check)) {
        spdlog::error("Unable to start the expiry check");
        return false;
    }
    spdlog::debug("Expiry check every {}h for certificates ending within {} days", period.count(),
                  window / 86400);
    return expiry_task_.start(
        period, [this, check] { ipc_handler_.server().post(check); }, /*fixedDelay=*/false);
}

std::string cybersecurity_service::events_endpoint_to_serve() {
    if (!events_endpoint_given_.empty()) return events_endpoint_given_;
    const auto& configuration = get_configuration();
    if (auto value = configuration.findValue<std::string>("cyber.events_endpoint")) {
        spdlog::debug("Found parameter events_endpoint : {}", ev_common::bounded(*value));
        return *value;
    }
    const std::string fallback = default_events_endpoint();
    if (configuration.findParameter("cyber.events_endpoint"))
        spdlog::warn("Parameter cyber.events_endpoint is not a string, using {}",
                     ev_common::bounded(fallback));
    return fallback;
}

bool cybersecurity_service::read_domains() {
    const auto& configuration = get_configuration();
    if (configuration.findParameter("cyber.domains") == nullptr) return true;
    const auto names = configuration.findValue<std::vector<std::string>>("cyber.domains");
    if (!names) {
        spdlog::critical("[cybersecurity_service] Parameter cyber.domains is not a string list");
        return false;
    }
    for (const auto& name : *names) {
        if (name == system_domain) {
            spdlog::critical(
                "[cybersecurity_service] Trust domain '{}' in cyber.domains is the system store's "
                "name",
                name);
            return false;
        }
        if (!is_domain_name(name)) {
            spdlog::critical(
                "[cybersecurity_service] Invalid trust domain name '{}' in cyber.domains: only "
                "a-z, 0-9, '_' and '-' are allowed",
                ev_common::bounded(name));
            return false;
        }
        if (name.size() > kDomainNameMaxLength) {
            spdlog::critical(
                "[cybersecurity_service] Trust domain name '{}' in cyber.domains is {} characters "
                "long: at most {} are allowed",
                ev_common::bounded(name), name.size(), kDomainNameMaxLength);
            return false;
        }
        if (std::find(domain_names_.begin(), domain_names_.end(), name) != domain_names_.end()) {
            spdlog::critical(
                "[cybersecurity_service] Trust domain '{}' is named twice in "
                "cyber.domains",
                name);
            return false;
        }
        spdlog::debug("Found parameter domains : {}", name);
        domain_names_.push_back(name);
    }
    // The csms domain's fallback has the folder and the bundle of that name.
    const auto named = [&](const char* name) {
        return std::find(domain_names_.begin(), domain_names_.end(), name) != domain_names_.end();
    };
    if (named(kCsmsDomain) && named(kCsmsFallback) && csms_additional_root_check()) {
        spdlog::critical(
            "[cybersecurity_service] Trust domain '{}' in cyber.domains is the folder of the csms "
            "domain's fallback",
            kCsmsFallback);
        return false;
    }
    domains_path_ = kDomainsPath;
    if (auto value = configuration.findValue<std::string>("cyber.domains_path")) {
        domains_path_ = *value;
    } else if (configuration.findParameter("cyber.domains_path")) {
        spdlog::warn("Parameter cyber.domains_path is not a string, using {}", kDomainsPath);
    }
    return true;
}

bool cybersecurity_service::domains_apart(const std::string& system_folder,
                                          const std::string& user_folder) {
    if (domain_names_.empty() || domains_path_.empty()) return true;
    const std::filesystem::path domains = resolved(domains_path_);
    if (overlapping(domains, resolved(system_folder))) {
        spdlog::critical(
            "[cybersecurity_service] Trust domains path {} in cyber.domains_path overlaps the "
            "system CA folder {} in cyber.builtin_ca_certs_path",
            ev_common::bounded(domains_path_), ev_common::bounded(system_folder));
        return false;
    }
    if (overlapping(domains, resolved(user_folder))) {
        spdlog::critical(
            "[cybersecurity_service] Trust domains path {} in cyber.domains_path overlaps the "
            "user CA folder {} in cyber.user_ca_certs_path",
            ev_common::bounded(domains_path_), ev_common::bounded(user_folder));
        return false;
    }
    return true;
}

bool cybersecurity_service::csms_additional_root_check() {
    const auto& configuration = get_configuration();
    if (auto value = configuration.findValue<bool>("cyber.csms_additional_root_check")) {
        return *value;
    }
    if (configuration.findParameter("cyber.csms_additional_root_check"))
        spdlog::warn("Parameter cyber.csms_additional_root_check is not a boolean, using false");
    return false;
}

std::vector<std::string> cybersecurity_service::keep_last_root() {
    const auto& configuration = get_configuration();
    if (auto value = configuration.findValue<std::vector<std::string>>("cyber.keep_last_root")) {
        return *value;
    }
    if (configuration.findParameter("cyber.keep_last_root"))
        spdlog::warn("Parameter cyber.keep_last_root is not a string list, using [\"{}\"]",
                     kCsmsDomain);
    return {kCsmsDomain};
}

bool cybersecurity_service::init_domains(std::chrono::seconds rehash_timeout) {
    if (domain_names_.empty()) return true;
    const auto& configuration = get_configuration();
    const std::string& path = domains_path_;
    unsigned int max_certificates = kDomainMaxCertificates;
    if (auto value = configuration.findValue<unsigned int>("cyber.domain_max_certificates")) {
        max_certificates = *value;
    } else if (configuration.findParameter("cyber.domain_max_certificates")) {
        spdlog::warn("Parameter cyber.domain_max_certificates is not an unsigned integer, using {}",
                     kDomainMaxCertificates);
    }
    spdlog::debug("Found parameter domains_path : {}", ev_common::bounded(path));

    // TLS clients of every user find the domains' folders and bundles here:
    // its mode does not follow this process's umask.
    const std::filesystem::path folder(path);
    std::error_code error;
    if (std::filesystem::status(folder, error).type() == std::filesystem::file_type::not_found) {
        spdlog::warn("Create trust domains folder on path {}", ev_common::bounded(path));
        std::filesystem::create_directories(folder, error);
        if (!error) std::filesystem::permissions(folder, std::filesystem::perms(0755), error);
        if (error) {
            spdlog::critical("[cybersecurity_service] Cannot create trust domains folder {} : {}",
                             ev_common::bounded(path), error.message());
            return false;
        }
    }

    const bool csms_roles = csms_additional_root_check();
    const auto keep_last = keep_last_root();
    for (const auto& name : domain_names_) {
        auto store = std::make_unique<ev_common::DirectoryCaCertificateStore>(
            name, ev_common::trustAnchorRulesFor(name));
        if (name == kCsmsDomain && csms_roles) {
            store->enableRoles(folder / kCsmsFallback,
                               folder / (std::string(kCsmsFallback) + ".pem"));
            operations_.set_csms_roles(store.get());
        }
        store->setKeepLastCertificate(std::find(keep_last.begin(), keep_last.end(), name) !=
                                      keep_last.end());
        store->shareNumbering(numbering_);
        store->setMaxCertificates(max_certificates);
        store->setRehashTimeout(rehash_timeout);
        store->setChangeObserver(
            [this](const ev_common::CertificateChange& change) { publish(change); });
        attach_state(*store);
        if (!store->init(folder / name, folder / (name + ".pem"))) return false;
        operations_.add_domain(name, store.get());
        domain_stores_.push_back(std::move(store));
    }
    return true;
}

bool cybersecurity_service::specific_init() {
    auto& configuration = get_configuration();
    const auto builtin = configuration.getValue<std::string>("cyber.builtin_ca_certs_path");
    const auto user = configuration.getValue<std::string>("cyber.user_ca_certs_path");
    if (!builtin || !user) {
        spdlog::error("[cybersecurity_service] Cannot get configuration of service");
        return false;
    }
    spdlog::debug("Found parameter builtin_ca_certs_path : {}", ev_common::bounded(*builtin));
    spdlog::debug("Found parameter user_ca_certs_path : {}", ev_common::bounded(*user));
    // Before anything is written: a missing group is a configuration error,
    // and while another daemon serves the endpoint this one must not run the
    // update tool under its feet.
    if (!read_domains() || !domains_apart(*builtin, *user) || !configure_access() ||
        !ipc_handler_.server().claim()) {
        return false;
    }
    if (!publisher_.claim()) {
        spdlog::error("Unable to start event publisher");
        return false;
    }

    // A filesystem error other than "nothing there" propagates to the entry.
    if (std::filesystem::status(*user).type() == std::filesystem::file_type::not_found) {
        spdlog::warn("Create User CA certificate store on path {}", ev_common::bounded(*user));
        std::error_code error;
        if (!std::filesystem::create_directory(*user, error)) {
            spdlog::error("Cannot create user CA certificate store directory, error = {}",
                          error.message());
        }
    }

    if (!open_state()) return false;
    const std::chrono::seconds timeout = update_timeout();
    store_.setUpdateTimeout(timeout);
    const auto arguments = update_arguments();
    configure_updates(arguments);
    if (!store_.init(*builtin, *user, update_command(), kFreshArgument, arguments)) {
        return false;
    }
    if (!init_domains(timeout)) return false;
    if (state_.is_open()) {
        // What changed while the service was down is journaled before anyone
        // can ask, and the generation goes on from where it was.
        if (!state_.reconcile(holdings())) return false;
        numbering_->generation = state_.generation();
    }
    operations_.set_expiry_warning(std::int64_t{expiry_warning_days()} * 86400);
    if (!ipc_handler_.start()) return false;
    if (!publisher_.start()) {
        spdlog::error("Unable to start event publisher");
        return false;
    }
    if (!start_expiry_watch()) return false;
    // From here on the watchdog is fed only while requests are served in time.
    const auto bound = stuck_after(timeout);
    set_health_check([this, bound] { return ipc_handler_.server().servingProblem(bound); });
    return true;
}

bool cybersecurity_service::specific_start() {
    return !endpoint_lost_;
}

bool cybersecurity_service::specific_stop() {
    expiry_task_.stop();
    // The server's thread may be waiting for the update tool or a rehash; the
    // stop command would reach it only after the tool's time limit.
    cancel_tool_runs();
    const bool stopped = ipc_handler_.stop();
    publisher_.stop();
    return stopped;
}

}  // namespace ev_charging_platform::cybersecurity
