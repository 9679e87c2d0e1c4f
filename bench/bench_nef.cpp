// Decoding a 24-megapixel 14-bit NEF (one strip, Nikon lossless coding) against dcraw on the same
// file. dcraw -D -4 -c only decodes and writes the raw samples; the reader also interpolates
// every pixel to RGBA.
//
//   bench_nef                          Google Benchmark run of both, then their ratio
//   bench_nef --write-fixture <file>   writes the fixture NEF (used by nef_vs_dcraw.sh)
//   bench_nef --decode <file>          reads one NEF once through the library
//
// Benchmarks link only the library, so the fixture builder of the tests is compiled in here.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

#include "../tests/support/nef_builder.cpp"
#include "core/exception.h"
#include "core/pixel_image.h"
#include "sources/image_sources.h"

namespace {

// The raw frame of a 24-megapixel Nikon (6080 x 4044), 14 bits, one strip.
constexpr uint32_t kWidth = 6080;
constexpr uint32_t kHeight = 4044;

void writeFixture(const std::string& path) {
  tessel::test::NefOptions options;
  options.bitsPerSample = 14;
  const tessel::test::Bytes bytes =
      tessel::test::makeNef(tessel::test::syntheticSamples(kWidth, kHeight, 14, 24), options)
          .serialize();
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

const std::string& fixture() {
  static const std::string path = [] {
    const std::string p = (std::filesystem::temp_directory_path() /
                           ("bench_nef_" + std::to_string(getpid()) + ".nef"))
                              .string();
    writeFixture(p);
    std::atexit([] { std::filesystem::remove(fixture()); });
    return p;
  }();
  return path;
}

void BM_ReadRawTiffFile(benchmark::State& state) {
  const std::string& path = fixture();
  for (auto _ : state) {
    tessel::PixelImage image;
    tessel::readRawTiffFile(image, path);
    benchmark::DoNotOptimize(image.pixels.get());
  }
  state.SetItemsProcessed(state.iterations() * int64_t{kWidth} * kHeight);
}
BENCHMARK(BM_ReadRawTiffFile)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

void BM_DcrawDocumentMode(benchmark::State& state) {
  const std::string command = "dcraw -D -4 -c '" + fixture() + "' > /dev/null";
  if (std::system("command -v dcraw > /dev/null 2>&1") != 0) {
    state.SkipWithError("dcraw is not installed");
    return;
  }
  for (auto _ : state) {
    if (std::system(command.c_str()) != 0) state.SkipWithError("dcraw failed");
  }
  state.SetItemsProcessed(state.iterations() * int64_t{kWidth} * kHeight);
}
BENCHMARK(BM_DcrawDocumentMode)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

// Keeps the mean real time of every benchmark so that the ratio can be printed at the end.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (!run.error_occurred && run.iterations > 0)
        times[run.benchmark_name()] = run.GetAdjustedRealTime();
    }
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> times;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::string(argv[1]) == "--write-fixture") {
    writeFixture(argv[2]);
    return 0;
  }
  if (argc == 3 && std::string(argv[1]) == "--decode") {
    try {
      tessel::PixelImage image;
      tessel::readRawTiffFile(image, argv[2]);
    } catch (const tessel::RawLayerException& e) {
      std::fprintf(stderr, "%s\n", e.message().c_str());
      return 1;
    }
    return 0;
  }
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  double ours = 0, dcraw = 0;
  for (const auto& [name, time] : reporter.times) {
    if (name.rfind("BM_ReadRawTiffFile", 0) == 0) ours = time;
    if (name.rfind("BM_DcrawDocumentMode", 0) == 0) dcraw = time;
  }
  if (ours > 0 && dcraw > 0) {
    std::printf("dcraw -D -4 time / reader time: %.2f (above 1: the reader is faster)\n",
                dcraw / ours);
  }
  benchmark::Shutdown();
  return 0;
}
