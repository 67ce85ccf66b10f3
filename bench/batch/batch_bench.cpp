// What a batch saves: one addition to the system store (one run of the
// update tool), a batch of 20 additions (also one run), and one addition to
// a trust domain (one rehash), each the median of a few runs against the
// daemon of the build tree on a sandbox with the machine's CA set. The batch
// should take at most 1.5 times one addition.
#include "cybersecurity/cybersecurity_client.hpp"
#include "daemon_harness.hpp"
#include "test_pki.hpp"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

namespace cyber = ev_charging_platform::cybersecurity;
using json = nlohmann::json;

namespace {

const bool g_privateTmp = ev_e2e::enterPrivateTmp();
int g_serial = 0;

std::string newRoot() {
    const auto key = x509_test::ecKey();
    x509_test::CertProfile profile;
    profile.subject = {{"O", "Batch Bench"}, {"CN", "Root " + std::to_string(++g_serial)}};
    profile.extensions = {{NID_basic_constraints, "critical,CA:TRUE"},
                          {NID_key_usage, "critical,keyCertSign,cRLSign"}};
    profile.subjectKey = key.get();
    return x509_test::toPem(x509_test::makeCertificate(profile).get());
}

template <typename Call>
double seconds(Call call) {
    const auto start = std::chrono::steady_clock::now();
    if (!call()) {
        std::cerr << "batch_bench: a change failed\n";
        std::exit(1);
    }
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
    if (!g_privateTmp) {
        std::cerr << "batch_bench: needs a private mount namespace for /tmp (run as root)\n";
        return 1;
    }
    ev_e2e::SandboxOptions options;
    options.builtins = 0;  // the machine's whole set, as on a device
    options.domains = {"csms"};
    ev_e2e::Sandbox sandbox(options);
    auto arguments = sandbox.daemonArguments();
    for (std::size_t i = 0; i + 1 < arguments.size(); ++i) {
        if (arguments[i] == "-l") arguments[i + 1] = "2";
    }
    ev_e2e::Daemon daemon(sandbox, arguments);
    if (!daemon.waitReady()) {
        std::cerr << "batch_bench: the daemon did not start\n" << daemon.output();
        return 1;
    }
    cyber::cybersecurity_client client;
    std::vector<double> one, batch, domain;
    for (int run = 0; run < runs; ++run) {
        std::uint32_t id = 0;
        one.push_back(seconds([&] {
            return client.add_ca_certificate(newRoot(), "one_" + std::to_string(run), id) ==
                   cyber::AddCertificateStatus::success;
        }));
        json changes = json::array();
        for (int i = 0; i < 20; ++i) {
            changes.push_back({{"op", "add"},
                               {"name", "batch_" + std::to_string(run) + "_" + std::to_string(i)},
                               {"pem", newRoot()}});
        }
        const std::string text = changes.dump();
        batch.push_back(seconds([&] {
            const auto answer = client.apply_changes(text);
            return answer && answer->status == 0;
        }));
        domain.push_back(seconds([&] {
            return client.add_ca_certificate_to_domain("csms", newRoot(),
                                                       "domain_" + std::to_string(run),
                                                       id) == cyber::AddCertificateStatus::success;
        }));
    }
    const double ratio = median(batch) / median(one);
    std::printf("one addition to the system store: %.3f s\n", median(one));
    std::printf("a batch of 20 additions:          %.3f s\n", median(batch));
    std::printf("one addition to a trust domain:   %.3f s\n", median(domain));
    std::printf("batch of 20 / one addition:       %.2f (target at most 1.5)\n", ratio);
    return 0;
}
