// Throughput of each checksum kernel on one block, a fresh call per block
// starting from the initial register, as block_crc makes it.
//
//   crc_bench [--benchmark_filter=avx512] [--benchmark_min_time=0.2]

#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "container/crc_kernels.h"

namespace {

using rempar::crc::KernelInfo;

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

}  // namespace

int main(int argc, char** argv) {
  for (const KernelInfo& kernel : rempar::crc::all_kernels()) {
    if (!kernel.supported()) continue;
    benchmark::RegisterBenchmark((std::string("crc/") + kernel.name).c_str(), checksum_block,
                                 &kernel)
        ->Arg(16 << 10)
        ->Arg(1 << 20);
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
