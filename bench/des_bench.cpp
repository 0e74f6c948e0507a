// Speed of desCbc against libcrypto's DES_ncbc_encrypt on 1 MiB buffers, both directions, and of
// building a key schedule, with the ratios (libcrypto time / desCbc time; above 1 means desCbc is
// faster) printed after the runs.
#include <benchmark/benchmark.h>
#include <openssl/des.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "crypto/des.h"

namespace {

constexpr uint32_t kBufferBytes = 1 << 20;
const unsigned char kKey[8] = {0x13, 0x34, 0x57, 0x79, 0x9B, 0xBC, 0xDF, 0xF1};

std::vector<unsigned char> makeBuffer() {
    std::vector<unsigned char> buffer(kBufferBytes);
    for (uint32_t i = 0; i < kBufferBytes; ++i) buffer[i] = static_cast<unsigned char>(i * 131 + 7);
    return buffer;
}

// A schedule of kKey, whose words are left in `words`; nullptr (the run skipped) without memory.
DesKeySchedule* ownSchedule(benchmark::State& state, uint32_t words[2]) {
    std::memcpy(words, kKey, 2 * sizeof words[0]);
    DesKeySchedule* schedule = nullptr;
    if (desAllocKey(words, &schedule) != 0) state.SkipWithError("no memory");
    return schedule;
}

void ownCbc(benchmark::State& state, int32_t direction) {
    uint32_t words[2];
    DesKeySchedule* schedule = ownSchedule(state, words);
    if (schedule == nullptr) return;
    auto buffer = makeBuffer();
    for (auto _ : state) {
        desCbc(schedule, direction, desFixedIv(), buffer.data(), kBufferBytes);
        benchmark::DoNotOptimize(buffer.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t{state.iterations()} * kBufferBytes);
    desFreeKey(schedule);
}

void libcryptoCbc(benchmark::State& state, int direction) {
    DES_cblock key;
    std::memcpy(key, kKey, sizeof key);
    DES_key_schedule schedule;
    DES_set_key_unchecked(&key, &schedule);
    auto buffer = makeBuffer();
    for (auto _ : state) {
        DES_cblock iv;
        std::memcpy(iv, desFixedIv(), sizeof iv);
        DES_ncbc_encrypt(buffer.data(), buffer.data(), kBufferBytes, &schedule, &iv, direction);
        benchmark::DoNotOptimize(buffer.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t{state.iterations()} * kBufferBytes);
}

void BM_desCbcEncipher(benchmark::State& state) {
    ownCbc(state, DES_ENCIPHER);
}
void BM_desCbcDecipher(benchmark::State& state) {
    ownCbc(state, DES_DECIPHER);
}
void BM_libcryptoEncipher(benchmark::State& state) {
    libcryptoCbc(state, DES_ENCRYPT);
}
void BM_libcryptoDecipher(benchmark::State& state) {
    libcryptoCbc(state, DES_DECRYPT);
}

// A request builds several key schedules (the handshake's keys, the session key), each used for a
// few blocks only.
void BM_desSetKey(benchmark::State& state) {
    uint32_t words[2];
    DesKeySchedule* schedule = ownSchedule(state, words);
    if (schedule == nullptr) return;
    for (auto _ : state) {
        desSetKey(schedule, words);
        benchmark::DoNotOptimize(schedule);
        benchmark::ClobberMemory();
        ++words[0];
    }
    desFreeKey(schedule);
}
void BM_libcryptoSetKey(benchmark::State& state) {
    DES_cblock key;
    std::memcpy(key, kKey, sizeof key);
    DES_key_schedule schedule;
    for (auto _ : state) {
        DES_set_key_unchecked(&key, &schedule);
        benchmark::DoNotOptimize(&schedule);
        benchmark::ClobberMemory();
        ++key[0];
    }
}

BENCHMARK(BM_desSetKey);
BENCHMARK(BM_libcryptoSetKey);
BENCHMARK(BM_desCbcEncipher)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_libcryptoEncipher)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_desCbcDecipher)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_libcryptoDecipher)->Unit(benchmark::kMicrosecond);

// Remembers the processor time per iteration of every run (the machine is shared, so wall time
// is noisier) (the median, when repetitions are asked for).
class RatioReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            const bool aggregate = run.run_type == Run::RT_Aggregate;
            if (aggregate && run.aggregate_name != "median") continue;
            const std::string name = run.run_name.function_name;
            if (!aggregate && medians_.count(name) != 0) continue;
            times_[name] = run.GetAdjustedCPUTime();
            if (aggregate) medians_[name] = true;
        }
        ConsoleReporter::ReportRuns(runs);
    }

    void printRatio(const char* label, const char* own, const char* theirs) const {
        const auto a = times_.find(own);
        const auto b = times_.find(theirs);
        if (a == times_.end() || b == times_.end() || a->second <= 0) return;
        std::printf("%s: libcrypto CPU time / desCbc CPU time = %.2f\n", label,
                    b->second / a->second);
    }

  private:
    std::map<std::string, double> times_;
    std::map<std::string, bool> medians_;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.printRatio("key schedule", "BM_desSetKey", "BM_libcryptoSetKey");
    reporter.printRatio("encipher 1 MiB", "BM_desCbcEncipher", "BM_libcryptoEncipher");
    reporter.printRatio("decipher 1 MiB", "BM_desCbcDecipher", "BM_libcryptoDecipher");
    benchmark::Shutdown();
    return 0;
}
