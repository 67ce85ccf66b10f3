// What a daemon of the device pays for asking the trust service whether a
// chain is trusted, against checking it itself: a 3-certificate chain (leaf,
// sub-CA, and the root in the "mo" domain) verified through the service, and
// in process with bare libcrypto (PEM decoding, X509_STORE_CTX, verify)
// against an X509_STORE holding the same root, each round together with a
// ping on the service's connection. Reports the service's time over the bare
// call plus one ping; the aim is at most 2.
#include "cybersecurity/cybersecurity_client.hpp"
#include "daemon_harness.hpp"
#include "test_chain.hpp"

#include <benchmark/benchmark.h>
#include <openssl/pem.h>
#include <openssl/x509_vfy.h>

#include <chrono>
#include <iostream>
#include <memory>
#include <vector>

namespace cyber = ev_charging_platform::cybersecurity;
using namespace x509_test;

namespace {

// Before any thread exists: the daemon's endpoint is a fixed path in /tmp.
const bool g_privateTmp = ev_e2e::enterPrivateTmp();

using clock_type = std::chrono::steady_clock;

std::unique_ptr<cyber::cybersecurity_client> g_client;
X509_STORE* g_roots = nullptr;
std::string g_chain;
double g_ratio = 0;

double seconds_of(clock_type::duration d) {
    return std::chrono::duration<double>(d).count();
}

// As a daemon that checks a chain itself: from the PEM text to the answer.
bool bare_verify(const std::string& pem) {
    std::unique_ptr<BIO, decltype(&BIO_free)> bio(
        BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())), BIO_free);
    std::unique_ptr<STACK_OF(X509), void (*)(STACK_OF(X509)*)> untrusted(
        sk_X509_new_null(), [](STACK_OF(X509) * stack) { sk_X509_pop_free(stack, X509_free); });
    CertPtr leaf(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
    while (X509* next = PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr)) {
        sk_X509_push(untrusted.get(), next);
    }
    std::unique_ptr<X509_STORE_CTX, decltype(&X509_STORE_CTX_free)> context(X509_STORE_CTX_new(),
                                                                            X509_STORE_CTX_free);
    return leaf && X509_STORE_CTX_init(context.get(), g_roots, leaf.get(), untrusted.get()) == 1 &&
           X509_verify_cert(context.get()) == 1;
}

bool service_verify(const std::string& pem) {
    const auto answer = g_client->verify("mo", pem);
    return answer && answer->status == cyber::VerifyStatus::valid;
}

void BM_BareLibcrypto(benchmark::State& state) {
    for (auto _ : state) {
        if (!bare_verify(g_chain)) {
            state.SkipWithError("the bare verification failed");
            break;
        }
    }
}
BENCHMARK(BM_BareLibcrypto)->Unit(benchmark::kMicrosecond);

void BM_Service(benchmark::State& state) {
    for (auto _ : state) {
        if (!service_verify(g_chain)) {
            state.SkipWithError(g_client->last_error_text().c_str());
            break;
        }
    }
}
// The service works while this thread waits: wall-clock time decides.
BENCHMARK(BM_Service)->UseRealTime()->Unit(benchmark::kMicrosecond);

// The three one after the other each round, so that the ratio is measured
// under one load.
void BM_ServiceAgainstBarePlusPing(benchmark::State& state) {
    double ping_total = 0;
    double bare_total = 0;
    double service_total = 0;
    for (auto _ : state) {
        const auto t0 = clock_type::now();
        const bool pinged = g_client->ping();
        const auto t1 = clock_type::now();
        const bool bare = bare_verify(g_chain);
        const auto t2 = clock_type::now();
        const bool served = service_verify(g_chain);
        const auto t3 = clock_type::now();
        if (!pinged || !bare || !served) {
            state.SkipWithError("a verification or the ping failed");
            break;
        }
        ping_total += seconds_of(t1 - t0);
        bare_total += seconds_of(t2 - t1);
        service_total += seconds_of(t3 - t2);
        state.SetIterationTime(seconds_of(t3 - t2));
    }
    if (ping_total + bare_total <= 0) return;
    const auto rounds = static_cast<double>(state.iterations());
    state.counters["ping_us"] = benchmark::Counter(ping_total * 1e6 / rounds);
    state.counters["bare_us"] = benchmark::Counter(bare_total * 1e6 / rounds);
    g_ratio = service_total / (bare_total + ping_total);
    state.counters["ratio_to_bare_plus_ping"] = benchmark::Counter(g_ratio);
}
BENCHMARK(BM_ServiceAgainstBarePlusPing)->UseManualTime()->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (!g_privateTmp) {
        std::cerr << "verify_bench: needs a private mount namespace for /tmp (run as root)\n";
        return 1;
    }
    ev_e2e::SandboxOptions options;
    options.domains = {"mo"};
    ev_e2e::Sandbox sandbox(options);
    // At the info level a request writes no log line, as on a device.
    auto arguments = sandbox.daemonArguments();
    for (std::size_t i = 0; i + 1 < arguments.size(); ++i) {
        if (arguments[i] == "-l") arguments[i + 1] = "2";
    }
    ev_e2e::Daemon daemon(sandbox, arguments);
    if (!daemon.waitReady()) {
        std::cerr << "verify_bench: the daemon did not start\n" << daemon.output();
        return 1;
    }
    const Party root = issueParty("MO Root", nullptr);
    const Party sub = issueParty("MO Sub-CA", &root);
    CertProfile leafProfile;
    leafProfile.extensions = kChainLeaf;
    const Party leaf = issueParty("Contract", &sub, leafProfile);
    g_chain = leaf.pem() + sub.pem();
    std::unique_ptr<X509_STORE, decltype(&X509_STORE_free)> roots(X509_STORE_new(),
                                                                  X509_STORE_free);
    X509_STORE_add_cert(roots.get(), root.certificate.get());
    g_roots = roots.get();

    g_client = std::make_unique<cyber::cybersecurity_client>();
    std::uint32_t id = 0;
    if (g_client->add_ca_certificate_to_domain("mo", root.pem(), "mo-root", id) !=
        cyber::AddCertificateStatus::success) {
        std::cerr << "verify_bench: the root was not added: " << g_client->last_error_text()
                  << "\n";
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::cout << "service round trip / (bare libcrypto + ping): " << g_ratio << " (aim: <= 2)\n";
    g_client.reset();
    daemon.stop();
    return 0;
}
