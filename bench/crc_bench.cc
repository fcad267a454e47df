// Throughput of each checksum kernel this CPU runs on one block, a fresh call
// per block starting from the initial register, as block_crc makes it; then a
// table of the figures beside the table kernel's, with the small-block speeds
// as a share of the 16 KiB speed.
//
//   crc_bench [--benchmark_filter=avx2] [--benchmark_min_time=0.2]
//   crc_bench --kernels      (the kernel table alone)

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "checksum/crc_kernels.h"

namespace {

using rempar::crc::KernelInfo;

constexpr std::int64_t BLOCK_SIZES[] = {512, 4 << 10, 16 << 10, 1 << 20};
constexpr const char* BLOCK_LABELS[] = {"512 B", "4 KiB", "16 KiB", "1 MiB"};
constexpr const char* BASELINE = "portable";

void checksum_block(benchmark::State& state, const KernelInfo* kernel) {
  const auto size = static_cast<std::size_t>(state.range(0));
  std::vector<std::uint8_t> block(size);
  std::mt19937 gen(1);
  for (auto& b : block) b = static_cast<std::uint8_t>(gen());
  for (auto _ : state) {
    benchmark::DoNotOptimize(block.data());
    std::uint32_t reg = kernel->update(rempar::crc::INITIAL_REGISTER, block.data(), block.size());
    benchmark::DoNotOptimize(reg);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}

// The console output as usual, and each run's speed (bytes per CPU second)
// kept by kernel name and block size.
class CollectingReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.run_type != Run::RT_Iteration || run.error_occurred) continue;
      const auto rate = run.counters.find("bytes_per_second");
      if (rate == run.counters.end()) continue;
      // Names are crc/<kernel>/<size>.
      const std::string name = run.benchmark_name();
      const auto first = name.find('/');
      const auto last = name.rfind('/');
      speed_[name.substr(first + 1, last - first - 1)][std::stoll(name.substr(last + 1))] =
          rate->second.value;
    }
  }
  const std::map<std::string, std::map<std::int64_t, double>>& speed() const { return speed_; }

 private:
  std::map<std::string, std::map<std::int64_t, double>> speed_;
};

void print_kernel_table() {
  std::printf("Kernels (the supported one of highest priority runs):\n");
  std::printf("  %-10s %8s  %s\n", "kernel", "priority", "this CPU");
  const KernelInfo& active = rempar::crc::active_kernel();
  for (const KernelInfo& k : rempar::crc::all_kernels()) {
    std::printf("  %-10s %8d  %s\n", k.name, k.priority,
                &k == &active ? "runs" : (k.supported() ? "supported" : "not supported"));
  }
  std::printf("\n");
}

double at(const std::map<std::int64_t, double>& speeds, std::int64_t size) {
  const auto it = speeds.find(size);
  return it == speeds.end() ? 0.0 : it->second;
}

void print_summary(const CollectingReporter& reporter) {
  const auto& speed = reporter.speed();
  const auto base = speed.find(BASELINE);
  std::printf(
      "\nGB/s per block size (10^9 bytes per CPU second), ratio to the %s kernel,\n"
      "and small blocks as a share of the kernel's 16 KiB speed:\n",
      BASELINE);
  std::printf("  %-10s", "kernel");
  for (const char* label : BLOCK_LABELS) std::printf(" %8s", label);
  std::printf("  %9s %9s  %7s %7s\n", "x@16KiB", "x@1MiB", "4K/16K", "512/16K");
  for (const KernelInfo& k : rempar::crc::all_kernels()) {
    const auto it = speed.find(k.name);
    if (it == speed.end()) continue;
    std::printf("  %-10s", k.name);
    for (std::int64_t size : BLOCK_SIZES) std::printf(" %8.2f", at(it->second, size) / 1e9);
    const double s16 = at(it->second, 16 << 10);
    if (base != speed.end() && s16 > 0) {
      std::printf("  %8.2fx %8.2fx  %6.0f%% %6.0f%%\n", s16 / at(base->second, 16 << 10),
                  at(it->second, 1 << 20) / at(base->second, 1 << 20),
                  100 * at(it->second, 4 << 10) / s16, 100 * at(it->second, 512) / s16);
    } else {
      std::printf("\n");
    }
  }
  std::printf(
      "Goals: avx2 >= 4x and sse41 >= 2.2x the %s kernel at 16 KiB and 1 MiB;\n"
      "       the folding kernels keep >= 85%% of their 16 KiB speed at 4 KiB, >= 60%% at 512 B.\n",
      BASELINE);
}

}  // namespace

int main(int argc, char** argv) {
  print_kernel_table();
  if (argc == 2 && std::string(argv[1]) == "--kernels") return 0;
  for (const KernelInfo& kernel : rempar::crc::all_kernels()) {
    if (!kernel.supported()) continue;
    auto* b = benchmark::RegisterBenchmark((std::string("crc/") + kernel.name).c_str(),
                                           checksum_block, &kernel);
    for (std::int64_t size : BLOCK_SIZES) b->Arg(size);
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  CollectingReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  print_summary(reporter);
  benchmark::Shutdown();
  return 0;
}
