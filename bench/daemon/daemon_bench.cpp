// Request latency of the running daemon with the machine's whole CA set
// (about 140 certificates) as built-ins: the full listing, the details of
// every certificate and a fetch by identifier, each timed together with a
// ping on the same connection so that the ratio to the bare round trip comes
// out of one run, however loaded the machine is. The details are also timed
// against the listing, request by request.
#include "cybersecurity/cybersecurity_client.hpp"
#include "daemon_harness.hpp"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <iostream>
#include <memory>
#include <vector>

namespace cyber = ev_charging_platform::cybersecurity;

namespace {

// Before any thread exists: the daemon's endpoint is a fixed path in /tmp.
const bool g_privateTmp = ev_e2e::enterPrivateTmp();

std::unique_ptr<cyber::cybersecurity_client> g_client;
std::uint32_t g_count = 0;
// Median of pings sent back to back before the benchmarks run.
double g_idle_ping = 0;

using clock_type = std::chrono::steady_clock;

double seconds_of(clock_type::duration d) {
    return std::chrono::duration<double>(d).count();
}

// Times `call` under manual timing, with a ping before it each iteration;
// reports the mean ping and the ratio of the two. A ping that follows a
// request may wait for the daemon to finish the previous one after its reply
// went out, so the ratio to the idle ping is reported as well.
template <typename Call>
void timed_against_ping(benchmark::State& state, Call call) {
    double ping_total = 0;
    double call_total = 0;
    std::uint64_t iteration = 0;
    for (auto _ : state) {
        const auto t0 = clock_type::now();
        const bool pinged = g_client->ping();
        const auto t1 = clock_type::now();
        const bool answered = call(iteration++);
        const auto t2 = clock_type::now();
        if (!pinged || !answered) {
            state.SkipWithError(g_client->last_error_text().c_str());
            break;
        }
        ping_total += seconds_of(t1 - t0);
        call_total += seconds_of(t2 - t1);
        state.SetIterationTime(seconds_of(t2 - t1));
    }
    if (iteration == 0 || ping_total == 0) return;
    state.counters["ping_us"] =
        benchmark::Counter(ping_total * 1e6 / static_cast<double>(iteration));
    state.counters["ratio_to_ping"] = benchmark::Counter(call_total / ping_total);
    state.counters["ratio_to_idle_ping"] =
        benchmark::Counter(call_total / static_cast<double>(iteration) / g_idle_ping);
}

void BM_Ping(benchmark::State& state) {
    for (auto _ : state) {
        if (!g_client->ping()) {
            state.SkipWithError(g_client->last_error_text().c_str());
            break;
        }
    }
}
BENCHMARK(BM_Ping);

void BM_GetCaCertificates(benchmark::State& state) {
    timed_against_ping(state, [](std::uint64_t) {
        const auto list = g_client->get_ca_certificates();
        return list.has_value() && list->size() == g_count;
    });
    state.counters["certificates"] = g_count;
}
BENCHMARK(BM_GetCaCertificates)->UseManualTime()->Unit(benchmark::kMicrosecond);

void BM_GetCaCertificateDetails(benchmark::State& state) {
    timed_against_ping(state, [](std::uint64_t) {
        const auto details = g_client->get_ca_certificate_details();
        return details.has_value() && !details->empty();
    });
}
BENCHMARK(BM_GetCaCertificateDetails)->UseManualTime()->Unit(benchmark::kMicrosecond);

// As a client that asks often does it: into one text whose storage is reused.
void BM_GetCaCertificateDetailsReused(benchmark::State& state) {
    std::string details;
    timed_against_ping(state, [&](std::uint64_t) {
        return g_client->get_ca_certificate_details(details) && !details.empty();
    });
}
BENCHMARK(BM_GetCaCertificateDetailsReused)->UseManualTime()->Unit(benchmark::kMicrosecond);

// The details and the listing one after the other, so that their ratio is
// measured under the same load.
void BM_DetailsAgainstListing(benchmark::State& state) {
    double details_total = 0;
    double listing_total = 0;
    std::string details;
    for (auto _ : state) {
        const auto t0 = clock_type::now();
        const bool detailed = g_client->get_ca_certificate_details(details);
        const auto t1 = clock_type::now();
        const auto list = g_client->get_ca_certificates();
        const auto t2 = clock_type::now();
        if (!detailed || !list || list->size() != g_count) {
            state.SkipWithError(g_client->last_error_text().c_str());
            break;
        }
        details_total += seconds_of(t1 - t0);
        listing_total += seconds_of(t2 - t1);
        state.SetIterationTime(seconds_of(t1 - t0));
    }
    if (listing_total > 0) {
        state.counters["details_to_listing"] = benchmark::Counter(details_total / listing_total);
    }
}
BENCHMARK(BM_DetailsAgainstListing)->UseManualTime()->Unit(benchmark::kMicrosecond);

void BM_GetCaCertificateById(benchmark::State& state) {
    // Every identifier in turn: the cost depends on the certificate's size.
    timed_against_ping(state, [](std::uint64_t i) {
        const auto pem =
            g_client->get_ca_certificate_by_id(static_cast<std::uint32_t>(i % g_count) + 1);
        return pem.has_value() && !pem->empty();
    });
}
BENCHMARK(BM_GetCaCertificateById)->UseManualTime()->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (!g_privateTmp) {
        std::cerr << "daemon_bench: needs a private mount namespace for /tmp (run as root)\n";
        return 1;
    }
    ev_e2e::SandboxOptions options;
    options.builtins = 0;  // the machine's whole set
    ev_e2e::Sandbox sandbox(options);
    // At the info level a request writes no log line, as on a device.
    auto arguments = sandbox.daemonArguments();
    for (std::size_t i = 0; i + 1 < arguments.size(); ++i) {
        if (arguments[i] == "-l") arguments[i + 1] = "2";
    }
    ev_e2e::Daemon daemon(sandbox, arguments);
    if (!daemon.waitReady()) {
        std::cerr << "daemon_bench: the daemon did not start\n" << daemon.output();
        return 1;
    }
    g_client = std::make_unique<cyber::cybersecurity_client>();
    const auto list = g_client->get_ca_certificates();
    if (!list || list->empty()) {
        std::cerr << "daemon_bench: no listing: " << g_client->last_error_text() << "\n";
        return 1;
    }
    g_count = static_cast<std::uint32_t>(list->size());
    // Identifiers are 1..count for a fresh daemon without user certificates.
    if (list->back().id != g_count) {
        std::cerr << "daemon_bench: unexpected identifiers\n";
        return 1;
    }
    std::vector<double> pings;
    for (int i = 0; i < 2001; ++i) {
        const auto start = clock_type::now();
        if (!g_client->ping()) {
            std::cerr << "daemon_bench: " << g_client->last_error_text() << "\n";
            return 1;
        }
        pings.push_back(seconds_of(clock_type::now() - start));
    }
    std::nth_element(pings.begin(), pings.begin() + 1000, pings.end());
    g_idle_ping = pings[1000];
    std::cout << "idle ping (median of 2001): " << g_idle_ping * 1e6 << " us\n";
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    g_client.reset();
    daemon.stop();
    return 0;
}
