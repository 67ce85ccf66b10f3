// Where the time of the CA store's operations goes, over a sandbox holding
// every CA certificate this machine's configuration lists (about 140): the
// update tool's own run against the store's share (scan, file writes,
// reading back). The tool runs for real, in the sandbox only.
#include <stdlib.h>
#include <time.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <spdlog/spdlog.h>

#include "ev_common/cyber/linux_ca_certificate_store.hpp"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

const std::string kTool = "/usr/sbin/update-ca-certificates";

class Sandbox {
public:
    Sandbox() {
        std::string pattern = (fs::temp_directory_path() / "ca-store-bench-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        root = pattern;
        for (const char* sub : {"etc", "user", "hooks"}) fs::create_directories(root / sub);
    }
    ~Sandbox() {
        std::error_code ec;
        fs::remove_all(root, ec);
    }
    std::vector<std::string> toolArguments() const {
        // The empty hooks folder keeps the machine's own hooks from running.
        return {"--certsconf",     "/etc/ca-certificates.conf",
                "--certsdir",      "/usr/share/ca-certificates",
                "--localcertsdir", (root / "user").string(),
                "--etccertsdir",   (root / "etc").string(),
                "--hooksdir",      (root / "hooks").string()};
    }
    fs::path root;
};

std::string makeCaPem() {
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(
        EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"), EVP_PKEY_free);
    std::unique_ptr<X509, decltype(&X509_free)> cert(X509_new(), X509_free);
    X509_set_version(cert.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), 1);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), 0);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 86400);
    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("Bench CA"), -1, -1, 0);
    X509_set_issuer_name(cert.get(), name);
    X509_set_pubkey(cert.get(), key.get());
    X509_sign(cert.get(), key.get(), EVP_sha256());
    std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new(BIO_s_mem()), BIO_free);
    PEM_write_bio_X509(bio.get(), cert.get());
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<std::size_t>(size));
}

// CPU time of the calling thread: unlike wall time, it does not grow with the
// load of a busy build machine.
Clock::duration threadCpu() {
    timespec ts{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return std::chrono::seconds(ts.tv_sec) + std::chrono::nanoseconds(ts.tv_nsec);
}

// A store whose update runs are timed apart from everything else it does.
struct TimedStore {
    TimedStore()
        : store([this](bool fresh) {
              const auto start = Clock::now();
              const auto startCpu = threadCpu();
              const bool ok = store.runUpdateCommand(fresh);
              toolTime += Clock::now() - start;
              toolCpu += threadCpu() - startCpu;
              return ok;
          }) {}
    ev_common::LinuxCaCertificateStore store;
    Clock::duration toolTime{};
    Clock::duration toolCpu{};
};

// Wall times of the whole operation and of the tool's runs, and the store's
// own CPU time (the operation's thread CPU time outside the tool's runs).
void report(benchmark::State& state, Clock::duration total, Clock::duration tool,
            Clock::duration storeCpu, std::size_t certificates) {
    const double totalMs = std::chrono::duration<double, std::milli>(total).count();
    const double toolMs = std::chrono::duration<double, std::milli>(tool).count();
    const double runs = static_cast<double>(state.iterations());
    state.counters["total_ms"] = totalMs / runs;
    state.counters["tool_ms"] = toolMs / runs;
    state.counters["store_ms"] = (totalMs - toolMs) / runs;
    state.counters["store_share_%"] = totalMs > 0 ? 100.0 * (totalMs - toolMs) / totalMs : 0.0;
    state.counters["store_cpu_ms"] =
        std::chrono::duration<double, std::milli>(storeCpu).count() / runs;
    state.counters["certificates"] = static_cast<double>(certificates);
}

void BM_Init(benchmark::State& state) {
    Clock::duration total{};
    Clock::duration tool{};
    Clock::duration storeCpu{};
    std::size_t count = 0;
    for (auto _ : state) {
        Sandbox sandbox;
        TimedStore timed;
        const auto start = Clock::now();
        const auto startCpu = threadCpu();
        const bool ok = timed.store.init(sandbox.root / "etc", sandbox.root / "user", kTool,
                                         "--fresh", sandbox.toolArguments());
        storeCpu += threadCpu() - startCpu - timed.toolCpu;
        total += Clock::now() - start;
        tool += timed.toolTime;
        count = timed.store.getCertificates().size();
        if (!ok) state.SkipWithError("init failed");
    }
    report(state, total, tool, storeCpu, count);
}

// mode 0: the timed step is an addition; mode 1: a removal.
void BM_AddOrRemove(benchmark::State& state) {
    Sandbox sandbox;
    TimedStore timed;
    if (!timed.store.init(sandbox.root / "etc", sandbox.root / "user", kTool, "--fresh",
                          sandbox.toolArguments())) {
        state.SkipWithError("init failed");
        return;
    }
    const ev_common::Certificate certificate(makeCaPem());
    const bool timeAddition = state.range(0) == 0;
    Clock::duration total{};
    Clock::duration tool{};
    Clock::duration storeCpu{};
    auto measure = [&](bool counted, auto operation) {
        timed.toolTime = {};
        timed.toolCpu = {};
        const auto start = Clock::now();
        const auto startCpu = threadCpu();
        const auto result = operation();
        if (counted) {
            storeCpu += threadCpu() - startCpu - timed.toolCpu;
            total += Clock::now() - start;
            tool += timed.toolTime;
        }
        return result;
    };
    for (auto _ : state) {
        uint32_t id = 0;
        const auto added = measure(timeAddition, [&] {
            return timed.store.addCertificate(certificate, "bench", id,
                                              ev_common::SameName::refuse);
        });
        const auto removed =
            measure(!timeAddition, [&] { return timed.store.removeCertificate(id); });
        if (added != ev_common::AddCertificateStatus::success ||
            removed != ev_common::RemoveCertificateStatus::success) {
            state.SkipWithError("addition or removal failed");
            break;
        }
    }
    report(state, total, tool, storeCpu, timed.store.getCertificates().size());
}

}  // namespace

BENCHMARK(BM_Init)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_AddOrRemove)
    ->ArgName("remove")
    ->Arg(0)
    ->Arg(1)
    ->Iterations(5)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

int main(int argc, char** argv) {
    spdlog::set_level(spdlog::level::warn);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
