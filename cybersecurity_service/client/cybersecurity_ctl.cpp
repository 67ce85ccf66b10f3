// cybersecurity_ctl: the command-line face of the certificate trust service,
// for integrators and scripts on the device. Every subcommand is one or a few
// calls of cybersecurity_client; exit codes tell refusals (1), usage errors
// (2) and a service that does not answer or cannot be trusted (3) apart.
#include "certificate_listing.hpp"
#include "cybersecurity/cybersecurity_client.hpp"
#include "cybersecurity/cybersecurity_events.hpp"
#include "journal_record.hpp"

#include "ev_common/cyber/certificate.hpp"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace cyber = ev_charging_platform::cybersecurity;

namespace {

constexpr int exit_success = 0;
constexpr int exit_refused = 1;
constexpr int exit_usage = 2;
constexpr int exit_no_answer = 3;

const char* const usage_text =
    "Usage: cybersecurity_ctl [--endpoint E] [--endpoint-owner UID] [--timeout MS] [-h] "
    "COMMAND\n"
    "Manages the CA certificates of the certificate trust service.\n"
    "\n"
    "Commands:\n"
    "  ping              check that the service answers\n"
    "  list [--domain D] [--json] [--expiring DAYS]\n"
    "                    list the CA certificates of every trust domain: id,\n"
    "                    name, built-in or user (system store) or the domain,\n"
    "                    end of validity (UTC, expired ones marked), subject;\n"
    "                    --domain keeps those of domain D (system: the\n"
    "                    operating system's store); --json adds every detail\n"
    "                    (domain, issuer, serial, dates, fingerprint, OCPP hash\n"
    "                    data, the ISO 15118 profile of a v2g, mo or oem root,\n"
    "                    the role, active or fallback, of a csms root);\n"
    "                    --expiring keeps those whose validity ends\n"
    "                    within DAYS days\n"
    "  add [--domain D] NAME FILE|-\n"
    "                    add the PEM certificate in FILE (- for standard input)\n"
    "                    as the user certificate NAME, into trust domain D when\n"
    "                    given (a self-signed CA certificate within its\n"
    "                    validity; csms also takes a root signed by one it\n"
    "                    holds, and with cyber.csms_additional_root_check only\n"
    "                    one signed by its active root, which becomes the\n"
    "                    fallback; v2g, mo and oem take a root of the\n"
    "                    ISO 15118-2 profile (ECDSA P-256, ecdsa-with-SHA256, at\n"
    "                    most 800 bytes of DER) or of ISO 15118-20 (secp521r1\n"
    "                    with ecdsa-with-SHA512, or Ed448; at most 1600 bytes))\n"
    "  remove ID         remove the user certificate with identifier ID (of any\n"
    "                    trust domain); the last root of a domain of\n"
    "                    cyber.keep_last_root (default csms) is refused: last_root\n"
    "  remove --hash ALG NAME_HASH KEY_HASH SERIAL\n"
    "                    remove the user certificate with this OCPP hash data\n"
    "                    (ALG: SHA256, SHA384 or SHA512)\n"
    "  confirm ID        tell the service that the csms root with identifier ID\n"
    "                    verified the last connection: the active root removes\n"
    "                    the fallback, the fallback stays (needs\n"
    "                    cyber.csms_additional_root_check)\n"
    "  get ID            print the PEM text of the certificate with identifier ID\n"
    "  get --name NAME   print the PEM text of the certificate called NAME\n"
    "  verify --domain D[,D...] [--hostname H] [--profile P] [--at TIME]\n"
    "         [--max-intermediates N] FILE|-\n"
    "                    verify the chain in FILE (PEM, leaf first, then any\n"
    "                    intermediates) against the roots of the trust domains\n"
    "                    D; --hostname checks the leaf's DNS names (else its\n"
    "                    common name), --profile applies iso15118-2 or\n"
    "                    iso15118-20, --at verifies at an ISO 8601 time; prints\n"
    "                    the status and the chain, exits 0 only for valid\n"
    "  watch             print each change event as one JSON line until\n"
    "                    interrupted\n"
    "  journal [--since G] [--json]\n"
    "                    print the journal of changes after generation G\n"
    "                    (default 0: all it holds), one line per change or\n"
    "                    refused change: generation, time, operation, domain,\n"
    "                    id, name, caller, result; --json prints the service's\n"
    "                    JSON text\n"
    "  journal --verify  recompute the journal's hash chain; exit 1 naming the\n"
    "                    first row that does not match\n"
    "  apply FILE|-      apply the changes in FILE (a JSON array of\n"
    "                    {\"op\": \"add\", \"domain\": D, \"name\": N, \"pem\": P},\n"
    "                    {\"op\": \"remove\", \"id\": I} and {\"op\": \"remove_hash\",\n"
    "                    \"hash_algorithm\": ..., \"issuer_name_hash\": ...,\n"
    "                    \"issuer_key_hash\": ..., \"serial_number\": ...}; domain\n"
    "                    system when absent) all or nothing, with one run of\n"
    "                    the update tool; prints each change's result\n"
    "  distrust ID | distrust --name NAME\n"
    "                    stop trusting a built-in certificate: it is deselected\n"
    "                    in the update tool's configuration, leaves the system\n"
    "                    folder and stays listed as (distrusted)\n"
    "  restore ID | restore --name NAME\n"
    "                    trust a distrusted built-in certificate again\n"
    "\n"
    "Options:\n"
    "  --endpoint E      service endpoint (default "
    "ipc:///tmp/cybersecurity_service.reqresp.api)\n"
    "  --endpoint-owner UID\n"
    "                    user who must own the endpoint's socket file (default 0,\n"
    "                    root; root is always accepted)\n"
    "  --timeout MS      reply time-out in milliseconds of every command (default\n"
    "                    5000 for ping, list, get and verify; 130000 for add, remove\n"
    "                    and confirm,\n"
    "                    which run the service's update tool)\n"
    "  --events E        event endpoint of watch (default\n"
    "                    ipc:///run/cybersecurity_service/events.api)\n"
    "  -h, --help        show this help\n"
    "\n"
    "Exit codes: 0 success, 1 refused by the service (verify: any status but\n"
    "valid), 2 usage error, 3 no answer\n"
    "or an endpoint owned by someone else (an add or remove not answered in time\n"
    "may still be carried out: check with list).\n";

struct usage_error {
    std::string message;
};

int fail(int code, const std::string& message) {
    std::cerr << "cybersecurity_ctl: " << message << std::endl;
    return code;
}

int no_answer(const cyber::cybersecurity_client& client) {
    return fail(exit_no_answer, client.last_error_text());
}

// Decimal digits only, within [minimum, maximum].
std::optional<std::uint64_t> parse_number(const std::string& text, std::uint64_t minimum,
                                          std::uint64_t maximum) {
    if (text.empty() || text.size() > 10) return std::nullopt;
    std::uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    if (value < minimum || value > maximum) return std::nullopt;
    return value;
}

std::uint32_t parse_id(const std::string& text) {
    const auto id = parse_number(text, 0, UINT32_MAX);
    if (!id) throw usage_error{"'" + text + "' is not a certificate identifier"};
    return static_cast<std::uint32_t>(*id);
}

void expect_arguments(const std::vector<std::string>& args, std::size_t count,
                      const std::string& form) {
    if (args.size() != count) throw usage_error{"usage: cybersecurity_ctl " + form};
}

std::string read_input(const std::string& file) {
    std::ostringstream text;
    if (file == "-") {
        text << std::cin.rdbuf();
        if (std::cin.bad()) throw usage_error{"cannot read standard input"};
        return text.str();
    }
    std::ifstream in(file, std::ios::binary);
    if (!in) throw usage_error{"cannot read " + file + ": " + std::strerror(errno)};
    text << in.rdbuf();
    return text.str();
}

std::int64_t now_seconds() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

int run_ping(cyber::cybersecurity_client& client, const std::vector<std::string>& args) {
    expect_arguments(args, 0, "ping");
    if (!client.ping()) return no_answer(client);
    std::cout << "pong from " << client.endpoint() << "\n";
    return exit_success;
}

// The old way, for a service without get_ca_certificate_details: the list
// carries the end of validity cut to 32 bits, which is wrong for every
// certificate valid past January 2038; the certificate itself has the true
// date. When a fetch fails the service has gone away: the rest keep the
// list's value rather than each waiting out the time-out.
std::optional<std::vector<cyber::listed_certificate>> list_one_by_one(
    cyber::cybersecurity_client& client) {
    const auto infos = client.get_ca_certificates();
    if (!infos) return std::nullopt;
    std::vector<cyber::listed_certificate> listed;
    bool fetching = true;
    for (const auto& info : *infos) {
        cyber::listed_certificate entry{info, info.not_after, std::nullopt};
        if (fetching) {
            const auto pem = client.get_ca_certificate_by_id(info.id);
            if (!pem) {
                fetching = false;
            } else if (!pem->empty()) {
                const ev_common::Certificate certificate(*pem);
                if (certificate.valid()) entry.not_after = certificate.notAfter();
            }
        }
        listed.push_back(std::move(entry));
    }
    return listed;
}

int run_list(cyber::cybersecurity_client& client, const std::vector<std::string>& args) {
    bool json = false;
    std::optional<std::uint32_t> expiring;
    std::optional<std::string> domain;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--json" && !json) {
            json = true;
        } else if (args[i] == "--domain" && !domain && i + 1 < args.size()) {
            domain = args[++i];
        } else if (args[i] == "--expiring" && !expiring && i + 1 < args.size()) {
            const auto days = parse_number(args[++i], 0, 100000);
            if (!days) throw usage_error{"--expiring needs a number of days from 0 to 100000"};
            expiring = static_cast<std::uint32_t>(*days);
        } else {
            throw usage_error{
                "usage: cybersecurity_ctl list [--domain D] [--json] [--expiring DAYS]"};
        }
    }

    std::optional<std::vector<cyber::listed_certificate>> listed;
    if (const auto details = client.get_ca_certificate_details()) {
        listed = cyber::parse_details(*details);
        if (!listed)
            return fail(exit_no_answer,
                        "the details from " + client.endpoint() + " are not the expected JSON");
    } else if (client.last_error() == cyber::cybersecurity_client::exchange_error::empty_reply) {
        // A service without details knows no domains but the system's.
        listed = list_one_by_one(client);
    }
    if (!listed) return no_answer(client);
    if (domain) listed = cyber::in_domain(std::move(*listed), *domain);
    const auto now = now_seconds();
    if (expiring) listed = cyber::expiring_within(std::move(*listed), now, *expiring);
    std::cout << (json ? cyber::render_json(*listed, now) : cyber::render_table(*listed, now));
    return exit_success;
}

int run_add(cyber::cybersecurity_client& client, const std::vector<std::string>& args) {
    const std::string form = "add [--domain D] NAME FILE|-";
    std::optional<std::string> domain;
    std::vector<std::string> rest = args;
    if (!rest.empty() && rest[0] == "--domain") {
        if (rest.size() < 2) throw usage_error{"usage: cybersecurity_ctl " + form};
        domain = rest[1];
        rest.erase(rest.begin(), rest.begin() + 2);
    }
    expect_arguments(rest, 2, form);
    const std::string pem = read_input(rest[1]);
    std::uint32_t id = 0;
    const auto status = domain ? client.add_ca_certificate_to_domain(*domain, pem, rest[0], id)
                               : client.add_ca_certificate(pem, rest[0], id);
    if (status == cyber::AddCertificateStatus::ipc_error) return no_answer(client);
    if (status != cyber::AddCertificateStatus::success)
        return fail(exit_refused, "add refused: " + cyber::to_string(status));
    std::cout << "Added " << rest[0] << (domain ? " to domain " + *domain : std::string())
              << " as id " << id << "\n";
    return exit_success;
}

int run_remove(cyber::cybersecurity_client& client, const std::vector<std::string>& args) {
    const std::string form = "remove ID | remove --hash ALG NAME_HASH KEY_HASH SERIAL";
    cyber::RemoveCertificateStatus status;
    std::string what;
    if (!args.empty() && args[0] == "--hash") {
        expect_arguments(args, 5, form);
        status = client.remove_ca_certificate_by_hash({args[1], args[2], args[3], args[4]});
        what = "the certificate with serial " + args[4];
    } else {
        expect_arguments(args, 1, form);
        const std::uint32_t id = parse_id(args[0]);
        status = client.remove_ca_certificate(id);
        what = "id " + args[0];
    }
    if (status == cyber::RemoveCertificateStatus::ipc_error) return no_answer(client);
    if (status != cyber::RemoveCertificateStatus::success)
        return fail(exit_refused, "remove refused: " + cyber::to_string(status));
    std::cout << "Removed " << what << "\n";
    return exit_success;
}

int run_apply(cyber::cybersecurity_client& client, const std::vector<std::string>& args) {
    expect_arguments(args, 1, "apply FILE|-");
    const auto answer = client.apply_changes(read_input(args[0]));
    if (!answer) return no_answer(client);
    std::vector<std::string> lines;
    std::string status = "invalid_batch";
    try {
        const auto reply = nlohmann::json::parse(answer->result);
        status = reply.at("status").get<std::string>();
        if (reply.contains("reason")) lines.push_back(reply.at("reason").get<std::string>());
        for (const auto& change : reply.value("changes", nlohmann::json::array())) {
            std::string line =
                change.at("op").get<std::string>() + " " + change.at("domain").get<std::string>();
            if (change.contains("name")) line += " " + change.at("name").get<std::string>();
            if (!change.at("id").is_null())
                line += " id " + std::to_string(change.at("id").get<std::uint32_t>());
            lines.push_back(line + ": " + change.at("result").get<std::string>());
        }
    } catch (const nlohmann::json::exception&) {
        return fail(exit_no_answer,
                    "the answer from " + client.endpoint() + " is not the expected JSON");
    }
    for (const auto& line : lines) std::cout << line << "\n";
    if (answer->status != 0) return fail(exit_refused, "apply refused: " + status);
    std::cout << "Applied " << lines.size() << " changes\n";
    return exit_success;
}

int run_trust(cyber::cybersecurity_client& client, const std::vector<std::string>& args,
              bool distrust) {
    const std::string verb = distrust ? "distrust" : "restore";
    const std::string form = verb + " ID | " + verb + " --name NAME";
    std::uint32_t id = 0;
    std::string name;
    if (!args.empty() && args[0] == "--name") {
        expect_arguments(args, 2, form);
        name = args[1];
    } else {
        expect_arguments(args, 1, form);
        id = parse_id(args[0]);
        if (id == 0) throw usage_error{"'0' is not a certificate identifier"};
    }
    const auto status =
        distrust ? client.distrust_builtin(id, name) : client.restore_builtin(id, name);
    if (status == cyber::DistrustStatus::ipc_error) return no_answer(client);
    if (status != cyber::DistrustStatus::success)
        return fail(exit_refused, verb + " refused: " + cyber::to_string(status));
    std::cout << (distrust ? "Distrusted " : "Restored ") << (id != 0 ? "id " + args[0] : name)
              << "\n";
    return exit_success;
}

int run_distrust(cyber::cybersecurity_client& client, const std::vector<std::string>& args) {
    return run_trust(client, args, /*distrust=*/true);
}

int run_restore(cyber::cybersecurity_client& client, const std::vector<std::string>& args) {
    return run_trust(client, args, /*distrust=*/false);
}

int run_confirm(cyber::cybersecurity_client& client, const std::vector<std::string>& args) {
    expect_arguments(args, 1, "confirm ID");
    const auto status = client.confirm_csms_root(parse_id(args[0]));
    if (status == cyber::RemoveCertificateStatus::ipc_error) return no_answer(client);
    if (status != cyber::RemoveCertificateStatus::success)
        return fail(exit_refused, "confirm refused: " + cyber::to_string(status));
    std::cout << "Confirmed CSMS root id " << args[0] << "\n";
    return exit_success;
}

int run_get(cyber::cybersecurity_client& client, const std::vector<std::string>& args) {
    std::optional<std::string> pem;
    std::string what;
    if (!args.empty() && args[0] == "--name") {
        expect_arguments(args, 2, "get ID | get --name NAME");
        pem = client.get_ca_certificate_by_name(args[1]);
        what = "named " + args[1];
    } else {
        expect_arguments(args, 1, "get ID | get --name NAME");
        const std::uint32_t id = parse_id(args[0]);
        pem = client.get_ca_certificate_by_id(id);
        what = "with id " + args[0];
    }
    if (!pem) return no_answer(client);
    if (pem->empty()) return fail(exit_refused, "no certificate " + what);
    std::cout << *pem;
    return exit_success;
}

int run_verify(cyber::cybersecurity_client& client, const std::vector<std::string>& args) {
    const std::string form =
        "verify --domain D[,D...] [--hostname H] [--profile P] [--at TIME] "
        "[--max-intermediates N] FILE|-";
    std::optional<std::string> domains;
    nlohmann::ordered_json options = nlohmann::ordered_json::object();
    std::optional<std::string> file;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        const bool valued = i + 1 < args.size();
        if (arg == "--domain" && !domains && valued) {
            domains = args[++i];
        } else if ((arg == "--hostname" || arg == "--profile" || arg == "--at") && valued &&
                   !options.contains(arg.substr(2))) {
            options[arg.substr(2)] = args[++i];
        } else if (arg == "--max-intermediates" && valued &&
                   !options.contains("max_intermediates")) {
            const auto count = parse_number(args[++i], 0, 100);
            if (!count) throw usage_error{"--max-intermediates needs a number"};
            options["max_intermediates"] = *count;
        } else if (!file && (arg == "-" || arg.rfind("--", 0) != 0)) {
            file = arg;
        } else {
            throw usage_error{"usage: cybersecurity_ctl " + form};
        }
    }
    if (!domains || !file) throw usage_error{"usage: cybersecurity_ctl " + form};
    const std::string pem = read_input(*file);
    const auto answer =
        client.verify(*domains, pem, options.empty() ? std::string() : options.dump());
    if (!answer) return no_answer(client);
    const auto result =
        nlohmann::ordered_json::parse(answer->result, nullptr, /*allow_exceptions=*/false);
    if (!result.is_object())
        return fail(exit_no_answer, "the result from " + client.endpoint() + " is not JSON");
    std::cout << ev_common::chainStatusName(answer->status) << ": "
              << result.value("reason", std::string()) << "\n";
    const auto& anchor = result.value("anchor", nlohmann::ordered_json());
    if (anchor.is_object()) {
        std::cout << "anchor: id " << anchor.value("id", 0u) << " "
                  << anchor.value("name", std::string()) << " in domain "
                  << anchor.value("domain", std::string()) << "\n";
    }
    const auto& chain = result.value("chain", nlohmann::ordered_json::array());
    for (std::size_t i = 0; chain.is_array() && i < chain.size(); ++i) {
        std::cout << "  " << i << " " << chain[i].value("subject", std::string()) << "\n"
                  << "    serial " << chain[i].value("serial", std::string()) << " sha256 "
                  << chain[i].value("sha256", std::string()) << "\n";
    }
    if (result.value("expires_soon", false)) std::cout << "expires soon\n";
    return answer->status == cyber::VerifyStatus::valid ? exit_success : exit_refused;
}

std::atomic<bool> interrupted{false};

extern "C" void on_interrupt(int) {
    interrupted = true;
}

// Until SIGINT or SIGTERM; each event is printed as it arrives, as one line
// of JSON (read back and written again, so that nothing a publisher sends
// can break the one-line form).
std::string or_dash(const std::optional<std::string>& text) {
    return text ? *text : "-";
}

template <typename Number>
std::string or_dash(const std::optional<Number>& number) {
    return number ? std::to_string(*number) : "-";
}

std::string journal_line(const cyber::journal_record& row) {
    std::ostringstream line;
    line << row.generation << " " << row.time << " " << row.operation;
    if (row.operation == "journal_trimmed") {
        line << " rows=" << or_dash(row.rows)
             << " through_generation=" << or_dash(row.through_generation);
    } else {
        line << " domain=" << or_dash(row.domain) << " id=" << or_dash(row.id)
             << " name=" << or_dash(row.name) << " uid=" << or_dash(row.uid)
             << " gid=" << or_dash(row.gid) << " pid=" << or_dash(row.pid);
    }
    line << " result=" << row.result << "\n";
    return line.str();
}

// Each row's chain is recomputed from the one before it; the last must be
// the head the service keeps, or rows were taken off the end.
int verify_journal(const nlohmann::json& reply, const std::vector<cyber::journal_record>& rows) {
    std::string previous = reply.at("chain_base").get<std::string>();
    for (const auto& row : rows) {
        if (cyber::journal_chain(previous, row) != row.chain) {
            std::cout << "journal row " << row.seq << " (generation " << row.generation << ", "
                      << row.operation << ") does not match its chain\n";
            return exit_refused;
        }
        previous = row.chain;
    }
    if (previous != reply.at("head").get<std::string>()) {
        std::cout << "journal rows after row " << (rows.empty() ? 0 : rows.back().seq)
                  << " are missing: the chain ends before the service's last row\n";
        return exit_refused;
    }
    std::cout << "journal verified: " << rows.size() << " rows\n";
    return exit_success;
}

int run_journal(cyber::cybersecurity_client& client, const std::vector<std::string>& args) {
    bool json = false;
    bool verify = false;
    std::uint64_t since = 0;
    bool since_given = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--json" && !json) {
            json = true;
        } else if (args[i] == "--verify" && !verify) {
            verify = true;
        } else if (args[i] == "--since" && !since_given && i + 1 < args.size()) {
            const auto value = parse_number(args[++i], 0, UINT32_MAX);
            if (!value) throw usage_error{"--since needs a generation"};
            since = *value;
            since_given = true;
        } else {
            throw usage_error{"usage: cybersecurity_ctl journal [--since G] [--json] | --verify"};
        }
    }
    if (verify && (json || since_given))
        throw usage_error{"usage: cybersecurity_ctl journal --verify"};
    const auto text = client.get_changes_since(since);
    if (!text) return no_answer(client);
    if (json) {
        std::cout << *text << "\n";
        return exit_success;
    }
    std::vector<cyber::journal_record> rows;
    nlohmann::json reply;
    try {
        reply = nlohmann::json::parse(*text);
        for (const auto& row : reply.at("changes")) {
            rows.push_back(cyber::journal_record_from_json(row));
        }
        if (reply.at("store_id").is_null())
            return fail(exit_refused,
                        "the service keeps no journal (cyber.state_database is empty)");
        if (verify) return verify_journal(reply, rows);
    } catch (const nlohmann::json::exception&) {
        return fail(exit_no_answer,
                    "the journal from " + client.endpoint() + " is not the expected JSON");
    }
    std::cout << "store " << reply.at("store_id").get<std::string>() << " generation "
              << reply.at("generation").get<std::uint64_t>()
              << (reply.at("complete").get<bool>() ? "" : " (incomplete: older rows were trimmed)")
              << "\n";
    for (const auto& row : rows) std::cout << journal_line(row);
    return exit_success;
}

int run_watch(const std::string& events_endpoint, uid_t endpoint_owner,
              const std::vector<std::string>& args) {
    expect_arguments(args, 0, "watch");
    struct sigaction action {};
    action.sa_handler = on_interrupt;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    cyber::cybersecurity_events events(events_endpoint);
    events.set_endpoint_owner(endpoint_owner);
    // Events published while the service is away are lost: say when that
    // starts and ends, on standard error, so the JSON lines stay as they are.
    bool connected = false;
    while (!interrupted) {
        const auto event = events.next(std::chrono::milliseconds(200));
        if (events.is_connected() != connected) {
            connected = events.is_connected();
            std::cerr << "cybersecurity_ctl: "
                      << (connected ? "connected to " : "lost the connection to ")
                      << events.endpoint()
                      << (connected ? "" : "; events are missed until it is back (reconnecting)")
                      << std::endl;
        }
        if (!event) continue;
        const auto parsed =
            nlohmann::ordered_json::parse(*event, nullptr, /*allow_exceptions=*/false);
        if (parsed.is_discarded()) {
            std::cerr << "cybersecurity_ctl: skipped an event that is not JSON" << std::endl;
            continue;
        }
        std::cout << parsed.dump(-1, ' ', /*ensure_ascii=*/false,
                                 nlohmann::ordered_json::error_handler_t::replace)
                  << std::endl;
    }
    return exit_success;
}

int run(int argc, char** argv) {
    std::string endpoint = cyber::service_endpoint;
    std::string events_endpoint = cyber::events_endpoint;
    // Unless given, the client's own: short for reads, above the service's
    // tool limit for changes.
    std::optional<std::chrono::milliseconds> timeout;
    uid_t endpoint_owner = 0;
    int index = 1;
    for (; index < argc && argv[index][0] == '-'; ++index) {
        const std::string option = argv[index];
        if (option == "-h" || option == "--help") {
            std::cout << usage_text;
            return exit_success;
        }
        const auto equals = option.find('=');
        const std::string name = option.substr(0, equals);
        if (name != "--endpoint" && name != "--endpoint-owner" && name != "--timeout" &&
            name != "--events")
            throw usage_error{"unknown option '" + option + "'"};
        std::string value;
        if (equals != std::string::npos) {
            value = option.substr(equals + 1);
        } else if (index + 1 < argc) {
            value = argv[++index];
        } else {
            throw usage_error{name + " needs a value"};
        }
        if (name == "--endpoint" || name == "--events") {
            if (value.empty()) throw usage_error{name + " needs a value"};
            (name == "--endpoint" ? endpoint : events_endpoint) = value;
        } else if (name == "--endpoint-owner") {
            // (uid_t)-1 is no user.
            const auto uid = parse_number(value, 0, 4294967294u);
            if (!uid) throw usage_error{"--endpoint-owner needs a numeric user id"};
            endpoint_owner = static_cast<uid_t>(*uid);
        } else {
            const auto ms = parse_number(value, 1, 3600000);
            if (!ms) throw usage_error{"--timeout needs milliseconds from 1 to 3600000"};
            timeout = std::chrono::milliseconds(*ms);
        }
    }
    if (index >= argc) throw usage_error{"no command given"};
    const std::string command = argv[index];
    const std::vector<std::string> args(argv + index + 1, argv + argc);
    if (command == "watch") return run_watch(events_endpoint, endpoint_owner, args);

    using handler = int (*)(cyber::cybersecurity_client&, const std::vector<std::string>&);
    handler chosen = nullptr;
    if (command == "ping")
        chosen = run_ping;
    else if (command == "list")
        chosen = run_list;
    else if (command == "add")
        chosen = run_add;
    else if (command == "remove")
        chosen = run_remove;
    else if (command == "confirm")
        chosen = run_confirm;
    else if (command == "get")
        chosen = run_get;
    else if (command == "verify")
        chosen = run_verify;
    else if (command == "journal")
        chosen = run_journal;
    else if (command == "apply")
        chosen = run_apply;
    else if (command == "distrust")
        chosen = run_distrust;
    else if (command == "restore")
        chosen = run_restore;
    else
        throw usage_error{"unknown command '" + command + "'"};

    cyber::cybersecurity_client client(endpoint, timeout,
                                       "cybersecurity_ctl-" + std::to_string(::getpid()));
    client.set_endpoint_owner(endpoint_owner);
    return chosen(client, args);
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return run(argc, argv);
    } catch (const usage_error& error) {
        return fail(exit_usage, error.message + " (see cybersecurity_ctl -h)");
    } catch (const std::exception& error) {
        return fail(exit_no_answer, error.what());
    }
}
