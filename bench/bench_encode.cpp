// The merge encoder's speed: Google Benchmark cases for the stages on a generated picture (the
// forward transform: conversion, DCT, rounding; the two entropy-coding passes) and a whole merge.
//
//   bench_encode [benchmark options]

#include <benchmark/benchmark.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "core/pixel_image.h"
#include "core/property_list.h"
#include "jpeg/encoder/encode_state.h"
#include "jpeg/encoder/encoder.h"
#include "jpeg/encoder/forward_transform.h"
#include "jpeg/encoder/huffman_encode.h"
#include "jpeg/markers/jpeg_reader.h"
#include "jpeg/segment_buffer.h"
#include "platform/memory.h"

namespace {

using tessel::PixelImage;

// A photo-like picture: smooth gradients with some texture.
PixelImage picture(uint32_t width, uint32_t height) {
  PixelImage image;
  image.setPixels(width, height, tessel::platform::allocatePixels(width, height));
  uint32_t noise = 12345;
  for (uint32_t y = 0; y < height; ++y) {
    for (uint32_t x = 0; x < width; ++x) {
      noise = noise * 1103515245 + 12345;
      const uint32_t grain = (noise >> 16) & 0x7FF;
      uint16_t* p = image.pixels.get() + (size_t{y} * width + x) * 4;
      p[0] = static_cast<uint16_t>(x * 40000 / width + grain * 4);
      p[1] = static_cast<uint16_t>(y * 40000 / height + grain * 3);
      p[2] = static_cast<uint16_t>(((x + y) * 30000) / (width + height) + grain * 5);
      p[3] = 65535;
    }
  }
  return image;
}

// A metadata source: the usual quality-90-like tables, 4:2:0 (or 4:4:4), frame of the given size.
std::vector<uint8_t> source(uint32_t width, uint32_t height, bool subsampled) {
  std::vector<uint8_t> file = {0xFF, 0xD8};
  auto segment = [&](uint8_t code, const std::vector<uint8_t>& payload) {
    file.insert(file.end(), {0xFF, code, static_cast<uint8_t>((payload.size() + 2) >> 8),
                             static_cast<uint8_t>(payload.size() + 2)});
    file.insert(file.end(), payload.begin(), payload.end());
  };
  std::vector<uint8_t> dqt;
  for (uint8_t table : {0, 1}) {
    dqt.push_back(table);
    for (int k = 0; k < 64; ++k) dqt.push_back(static_cast<uint8_t>(2 + table * 2 + k / 8));
  }
  segment(0xDB, dqt);
  segment(0xC0, {8, static_cast<uint8_t>(height >> 8), static_cast<uint8_t>(height),
                 static_cast<uint8_t>(width >> 8), static_cast<uint8_t>(width), 3, 1,
                 static_cast<uint8_t>(subsampled ? 0x22 : 0x11), 0, 2, 0x11, 1, 3, 0x11, 1});
  std::vector<uint8_t> dht;
  for (uint8_t table : {0x00, 0x10, 0x01, 0x11}) {
    dht.insert(dht.end(), {table, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
  }
  segment(0xC4, dht);
  segment(0xDA, {3, 1, 0x00, 2, 0x11, 3, 0x11, 0, 63, 0});
  file.insert(file.end(), {0xFF, 0xD9});
  return file;
}

struct Merge {
  std::vector<uint8_t> bytes;
  tessel::MarkerList markers;
  std::unique_ptr<tessel::RangeTracker> tracker;
  explicit Merge(std::vector<uint8_t> file) : bytes(std::move(file)) {
    tracker = std::make_unique<tessel::RangeTracker>(bytes.data(), int32_t(bytes.size()));
    tessel::segment(markers, *tracker, bytes.data(), int32_t(bytes.size()));
  }
};

constexpr uint32_t kWidth = 1600, kHeight = 1200;

void BM_TransformImage(benchmark::State& state) {
  const PixelImage image = picture(kWidth, kHeight);
  Merge merge(source(kWidth, kHeight, state.range(0)));
  tessel::EncodeState encode;
  tessel::planMerge(encode, merge.markers);
  std::vector<int16_t> coefficients(size_t{encode.blocksPerMcu} * encode.mcuCount * 64);
  for (auto _ : state) {
    tessel::transformImage(encode, image, coefficients.data(), tessel::Background{});
    benchmark::DoNotOptimize(coefficients.data());
  }
  state.SetItemsProcessed(state.iterations() * int64_t{kWidth} * kHeight);
}
BENCHMARK(BM_TransformImage)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond);

void BM_EncodeJpegFile(benchmark::State& state) {
  const PixelImage image = picture(kWidth, kHeight);
  Merge merge(source(kWidth, kHeight, state.range(0)));
  size_t bytes = 0;
  for (auto _ : state) {
    bytes =
        tessel::encodeJpegFile(image, merge.markers, tessel::PropertyList{}, tessel::Background{})
            .size();
  }
  state.SetItemsProcessed(state.iterations() * int64_t{kWidth} * kHeight);
  state.counters["bytes"] = double(bytes);
}
BENCHMARK(BM_EncodeJpegFile)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond);

void BM_ResampleToThumbnail(benchmark::State& state) {
  const PixelImage image = picture(kWidth, kHeight);
  Merge merge(source(160, 120, true));
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        tessel::encodeJpegFile(image, merge.markers, tessel::PropertyList{}, tessel::Background{}));
  }
}
BENCHMARK(BM_ResampleToThumbnail)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
