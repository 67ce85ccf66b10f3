// Cost of a Certificate record against the bare libcrypto parse it is built on,
// over the PEM texts of the system CA certificates. Prints the ratio at the end.
#include "ev_common/cyber/certificate.hpp"

#include <benchmark/benchmark.h>
#include <openssl/pem.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace {

const std::vector<std::string>& caTexts() {
    static const std::vector<std::string> texts = [] {
        std::vector<std::string> result;
        const std::filesystem::path dir = "/usr/share/ca-certificates/mozilla";
        std::error_code error;
        for (const auto& entry : std::filesystem::directory_iterator(dir, error)) {
            if (entry.path().extension() != ".crt") {
                continue;
            }
            std::ifstream in(entry.path(), std::ios::binary);
            std::ostringstream content;
            content << in.rdbuf();
            result.push_back(content.str());
        }
        std::sort(result.begin(), result.end());
        return result;
    }();
    return texts;
}

void CertificateRecord(benchmark::State& state) {
    const auto& texts = caTexts();
    for (auto _ : state) {
        for (const std::string& text : texts) {
            ev_common::Certificate certificate(text);
            benchmark::DoNotOptimize(certificate.valid());
        }
    }
    state.counters["certificates"] = static_cast<double>(texts.size());
}

void BarePemRead(benchmark::State& state) {
    const auto& texts = caTexts();
    for (auto _ : state) {
        for (const std::string& text : texts) {
            BIO* bio = BIO_new_mem_buf(text.data(), static_cast<int>(text.size()));
            X509* certificate = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr);
            benchmark::DoNotOptimize(certificate);
            X509_free(certificate);
            BIO_free(bio);
        }
    }
    state.counters["certificates"] = static_cast<double>(texts.size());
}

BENCHMARK(CertificateRecord)->Unit(benchmark::kMillisecond);
BENCHMARK(BarePemRead)->Unit(benchmark::kMillisecond);

class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.run_type == Run::RT_Iteration) {
                times_[run.run_name.function_name] = {run.GetAdjustedRealTime(),
                                                      run.GetAdjustedCPUTime()};
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
    void printRatio() const {
        const auto record = times_.find("CertificateRecord");
        const auto bare = times_.find("BarePemRead");
        if (record == times_.end() || bare == times_.end() || bare->second.first <= 0 ||
            bare->second.second <= 0) {
            return;
        }
        std::printf(
            "Certificate / bare PEM_read_bio_X509 over %zu CA texts: %.2fx wall, %.2fx CPU\n",
            caTexts().size(), record->second.first / bare->second.first,
            record->second.second / bare->second.second);
    }

private:
    std::map<std::string, std::pair<double, double>> times_;  // real, CPU
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    if (caTexts().empty()) {
        std::fprintf(stderr, "no CA certificates under /usr/share/ca-certificates/mozilla\n");
        return 1;
    }
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.printRatio();
    benchmark::Shutdown();
    return 0;
}
