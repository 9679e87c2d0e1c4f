// Decoder throughput: whole decodes of JPEGs held in memory (made once with Debian's cjpeg from
// a generated picture), and the reconstruction stages on their own.
//
//   bench_decode [--benchmark_filter=...]
// The whole-decode cases need cjpeg on the PATH and fail without it.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "core/pixel_image.h"
#include "core/range_tracker.h"
#include "jpeg/decoder/decoder.h"
#include "jpeg/decoder/decoder_state.h"
#include "jpeg/decoder/reconstruct.h"
#include "jpeg/markers/jpeg_reader.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint32_t kWidth = 3000, kHeight = 2000;

double hash01(uint32_t x, uint32_t y) {
  uint32_t h = x * 374761393u + y * 668265263u;
  h = (h ^ (h >> 13)) * 1274126177u;
  return double(h ^ (h >> 16)) / 4294967296.0;
}

// Smooth value noise: a lattice of random values every `cell` pixels, blended.
double valueNoise(double x, double y, double cell) {
  const double fx = x / cell, fy = y / cell;
  const uint32_t ix = static_cast<uint32_t>(fx), iy = static_cast<uint32_t>(fy);
  const double tx = fx - ix, ty = fy - iy;
  const double sx = tx * tx * (3 - 2 * tx), sy = ty * ty * (3 - 2 * ty);
  const double a = hash01(ix, iy), b = hash01(ix + 1, iy);
  const double c = hash01(ix, iy + 1), d = hash01(ix + 1, iy + 1);
  return (a + (b - a) * sx) * (1 - sy) + (c + (d - c) * sx) * sy;
}

// A photo-like picture: large soft shapes, textured regions at several scales, hard edges and
// sensor grain, the same for the same size every time.
void writePicture(const std::string& path, uint32_t width = kWidth, uint32_t height = kHeight) {
  std::ofstream out(path, std::ios::binary);
  out << "P6\n" << width << " " << height << "\n255\n";
  std::mt19937 random(1);
  std::vector<uint8_t> row(size_t{width} * 3);
  const double scale = width / 3000.0;
  for (uint32_t y = 0; y < height; ++y) {
    for (uint32_t x = 0; x < width; ++x) {
      const double sx = x / scale, sy = y / scale;
      const double shape = valueNoise(sx, sy, 400);
      const double texture = 0.5 * valueNoise(sx, sy, 24) + 0.5 * valueNoise(sx + 7, sy, 4);
      const bool object = valueNoise(sx + 1000, sy, 180) > 0.55;  // hard-edged regions
      const double grain = double(int(random() % 21) - 10);
      double r = 40 + 150 * shape + 50 * texture;
      double g = 60 + 120 * shape + 40 * valueNoise(sx, sy + 500, 60);
      double b = 90 + 100 * (1 - shape) + 30 * texture;
      if (object) {
        r = 0.5 * r + 100 * texture;
        g = 0.4 * g + 30;
        b = 0.3 * b + 20;
      }
      row[3 * x] = static_cast<uint8_t>(std::clamp(r + grain, 0.0, 255.0));
      row[3 * x + 1] = static_cast<uint8_t>(std::clamp(g + grain, 0.0, 255.0));
      row[3 * x + 2] = static_cast<uint8_t>(std::clamp(b + grain, 0.0, 255.0));
    }
    out.write(reinterpret_cast<const char*>(row.data()), static_cast<std::streamsize>(row.size()));
  }
}

// The JPEG made by `cjpeg <options>` from the picture; empty when cjpeg is missing.
const Bytes& jpegFor(const std::string& options) {
  static std::map<std::string, Bytes> cache;
  static const std::string picture = [] {
    const std::string path = "/tmp/tessel-bench-decode.ppm";
    writePicture(path);
    return path;
  }();
  auto found = cache.find(options);
  if (found != cache.end()) return found->second;
  const std::string output = "/tmp/tessel-bench-decode.jpg";
  const std::string command = "cjpeg " + options + " -outfile " + output + " " + picture;
  Bytes bytes;
  if (std::system(command.c_str()) == 0) {
    std::ifstream in(output, std::ios::binary);
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  std::remove(output.c_str());
  return cache.emplace(options, std::move(bytes)).first->second;
}

void decodeWhole(benchmark::State& state, const std::string& options) {
  const Bytes& jpeg = jpegFor(options);
  if (jpeg.empty()) {
    state.SkipWithError("cjpeg is not available");
    return;
  }
  for (auto _ : state) {
    tessel::MarkerList markers;
    tessel::RangeTracker tracker(jpeg.data(), static_cast<int32_t>(jpeg.size()));
    tessel::segment(markers, tracker, jpeg.data(), static_cast<int32_t>(jpeg.size()));
    tessel::PixelImage image;
    tessel::decodeJpegImage(markers, image);
    benchmark::DoNotOptimize(image.pixels.get());
  }
  state.counters["MP/s"] = benchmark::Counter(double(kWidth) * kHeight / 1e6,
                                              benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK_CAPTURE(decodeWhole, baseline420, std::string("-quality 90 -sample 2x2"))
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(decodeWhole, baseline444, std::string("-quality 90 -sample 1x1"))
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(decodeWhole, restart420, std::string("-quality 90 -restart 1"))
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(decodeWhole, progressive420, std::string("-quality 90 -progressive"))
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(decodeWhole, grey, std::string("-quality 90 -grayscale"))
    ->Unit(benchmark::kMillisecond);

// Blocks with as many nonzero coefficients as typical photo blocks at quality 90.
std::vector<std::array<int16_t, 64>> sampleBlocks() {
  std::mt19937 random(2);
  std::vector<std::array<int16_t, 64>> blocks(4096);
  for (auto& block : blocks) {
    block.fill(0);
    block[0] = static_cast<int16_t>(int(random() % 400) - 200);
    const int nonzero = random() % 12;
    for (int i = 0; i < nonzero; ++i) {
      block[tessel::kZigzagToNatural[1 + random() % 20]] =
          static_cast<int16_t>(int(random() % 21) - 10);
    }
  }
  return blocks;
}

void inverseDctBlocks(benchmark::State& state) {
  const auto blocks = sampleBlocks();
  alignas(16) float dequantize[64];
  for (int i = 0; i < 64; ++i) dequantize[i] = float(2 + i / 4) * tessel::kIdctScale[i];
  alignas(16) float out[64];
  for (auto _ : state) {
    for (const auto& block : blocks) {
      tessel::inverseDct(block.data(), out, dequantize);
      benchmark::DoNotOptimize(out);
    }
  }
  state.SetItemsProcessed(state.iterations() * int64_t(blocks.size()));
}
BENCHMARK(inverseDctBlocks);

void convertMcus2x2(benchmark::State& state) {
  std::mt19937 random(3);
  std::vector<float> blocks(6 * 64);
  for (float& f : blocks) f = float(int(random() % 256) - 128);
  // Into a buffer that stays in the cache: the conversion alone, without memory traffic.
  std::vector<uint16_t> out(16 * 64 * 4);
  const tessel::McuConverter convert = tessel::converterFor(tessel::SamplingMode::kLuma2x2);
  for (auto _ : state) {
    for (int i = 0; i < 4; ++i) convert(blocks.data(), out.data() + 64 * i, 64);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetItemsProcessed(state.iterations() * 4 * 256);
}
BENCHMARK(convertMcus2x2);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
