// Huffman entropy encoding: table construction against libjpeg's, the symbols of the scan, the
// bit stream read back by libjpeg, and the rewritten DHT segments.

#include <gtest/gtest.h>

#include <numeric>
#include <random>

#include "core/messages.h"
#include "jpeg/encoder/encode_state.h"
#include "jpeg/encoder/encoder.h"
#include "jpeg/encoder/huffman_encode.h"
#include "jpeg/encoder/messages.h"
#include "jpeg/encoder_test_support.h"
#include "jpeg/segment_buffer.h"

// libjpeg's optimal-table builder: exported by the library, declared only in its internal headers.
extern "C" void jpeg_gen_optimal_table(j_compress_ptr cinfo, JHUFF_TBL* htbl, long freq[]);

namespace tessel {
namespace {

using test::Bytes;
using test::concat;
using test::kEoi;
using test::kSoi;

Bytes body(const HuffmanCodeTable& table, uint8_t tableClass = kDcClass, uint8_t number = 0) {
  SegmentBuffer out;
  writeHuffmanTable(table, tableClass, number, out);
  return Bytes(out.data(), out.data() + out.length());
}

Bytes libjpegBody(const HuffmanCodeTable& counted) {
  jpeg_compress_struct info;
  jpeg_error_mgr error;
  info.err = jpeg_std_error(&error);
  jpeg_create_compress(&info);
  JHUFF_TBL* table = jpeg_alloc_huff_table(reinterpret_cast<j_common_ptr>(&info));
  long frequency[257] = {};
  for (int s = 0; s < 256; ++s) frequency[s] = counted.entries[s].frequency;
  jpeg_gen_optimal_table(&info, table, frequency);
  Bytes out = {0x00};
  out.insert(out.end(), table->bits + 1, table->bits + 17);
  out.insert(out.end(), table->huffval,
             table->huffval + (std::accumulate(out.begin(), out.end(), 0)));
  jpeg_destroy_compress(&info);
  return out;
}

TEST(HuffmanTable, BuiltAsLibjpegBuildsItWithinSixteenBits) {
  // One symbol: the 1-bit code 0 (the reserved symbol took the other, then was dropped).
  HuffmanCodeTable one;
  one.entries[7].frequency = 1000;
  buildHuffmanTable(one);
  EXPECT_EQ(body(one), (Bytes{0x00, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 7}));

  std::mt19937 random(3);
  int identical = 0;
  for (int trial = 0; trial < 300; ++trial) {
    SCOPED_TRACE(trial);
    HuffmanCodeTable table;
    // Random counts; every tenth trial Fibonacci-like, which makes unlimited codes of 20 to 30
    // bits and exercises the length limit.
    for (int i = 0; i < 1 + trial % 200; ++i) {
      const uint32_t count = trial % 10 == 9 ? uint32_t(std::pow(1.618, i % 30))
                                             : 1 + random() % (random() % 8 ? 20 : 9999);
      table.entries[random() % 255].frequency += count;
    }
    buildHuffmanTable(table);
    uint32_t longest = 0;
    double kraft = 0;
    for (const auto& e : table.entries) {
      longest = std::max(longest, e.codeLength);
      kraft += e.codeLength ? std::ldexp(1.0, -int(e.codeLength)) : 0;
    }
    // Complete but for the reserved all-ones code of the greatest length; never 17 bits.
    EXPECT_LE(longest, 16u);
    EXPECT_EQ(kraft + std::ldexp(1.0, -int(longest)), 1.0);
    const Bytes ours = body(table), theirs = libjpegBody(table);
    if (longest < 16) {
      // Nothing was limited: the same construction, tie-breaks included.
      EXPECT_EQ(ours, theirs);
      ++identical;
    } else {
      // libjpeg limits by moving lengths along its sorted symbol list, not named symbols: the
      // counts per length agree, the symbols may sit at other lengths.
      EXPECT_EQ(Bytes(ours.begin(), ours.begin() + 17), Bytes(theirs.begin(), theirs.begin() + 17));
    }
  }
  EXPECT_GT(identical, 150);
}

// A state of `mcus` MCUs with the given slots (slot, h, v, table number for DC and AC).
struct ScanState {
  EncodeState state;
  ScanState(std::vector<std::array<uint32_t, 4>> slots, uint32_t mcus) {
    for (auto [slot, h, v, n] : slots) {
      auto& c = state.components[slot] = std::make_unique<EncodeComponent>();
      c->h = h, c->v = v, c->dcIndex = int32_t(n), c->acIndex = n;
      if (!state.dcTables[n]) state.dcTables[n] = std::make_unique<HuffmanCodeTable>();
      if (!state.acTables[n]) state.acTables[n] = std::make_unique<HuffmanCodeTable>();
      c->dcTable = state.dcTables[n].get(), c->acTable = state.acTables[n].get();
    }
    state.mcuCount = mcus;
  }
  uint32_t ac(int symbol) const { return state.acTables[0]->entries[symbol].frequency; }
};

TEST(HuffmanScan, SymbolsAndStuffing) {
  ScanState s({{1, 1, 1, 0}}, 3);
  std::vector<int16_t> blocks(3 * 64, 0);
  blocks[36] = 5;          // 35 zeros, then 5: two ZRL, then (3 << 4) | 3, then EOB
  blocks[64] = 100;        // DC only (difference 100, category 7), then EOB
  blocks[128 + 63] = 255;  // difference -100; 62 zeros (three ZRL, run 14), no EOB
  encodeScan(s.state, blocks.data());
  EXPECT_EQ(s.ac(0xF0), 5u);
  EXPECT_EQ(s.ac(0xE8), 1u);
  EXPECT_EQ(s.ac(0x00), 2u);
  // The last coefficient, 255, ends the scan with eight 1 bits, and the padding adds more: the
  // last byte is 0xFF and is stuffed like any other.
  const auto& scan = s.state.scanData;
  ASSERT_EQ(s.state.scanLength, scan.size());
  EXPECT_EQ(Bytes(scan.end() - 2, scan.end()), (Bytes{0xFF, 0x00}));
}

// Wraps a scan in a JPEG with unit quantizers and the state's tables, and reads the quantized
// coefficients back with libjpeg, component by component, in its block order.
std::vector<std::vector<int16_t>> readBack(const EncodeState& state, uint16_t w, uint16_t h) {
  std::vector<test::FrameComponent> frame;
  std::vector<test::ScanComponent> scan;
  for (uint8_t slot = 0; slot < 4; ++slot) {
    if (const auto& c = state.components[slot]) {
      frame.push_back({slot, uint8_t(c->h << 4 | c->v), 0});
      scan.push_back({slot, uint8_t(c->dcIndex << 4 | c->acIndex)});
    }
  }
  const Bytes dqt = test::dqtTable(0, 1);
  Bytes dht;
  for (uint8_t n = 0; n < 4; ++n) {
    if (state.dcTables[n]) dht = concat({dht, body(*state.dcTables[n], kDcClass, n)});
    if (state.acTables[n]) dht = concat({dht, body(*state.acTables[n], kAcClass, n)});
  }
  const Bytes file = concat(
      {kSoi, test::segmentBytes(0xDB, dqt), test::segmentBytes(0xC0, test::sofPayload(w, h, frame)),
       test::segmentBytes(0xC4, dht), test::segmentBytes(0xDA, test::sosPayload(scan)),
       state.scanData, kEoi});
  jpeg_decompress_struct info;
  test::detail::TurboError error;
  info.err = jpeg_std_error(&error.manager);
  error.manager.error_exit = test::detail::turboErrorExit;
  std::vector<std::vector<int16_t>> planes;
  if (setjmp(error.jump)) {
    ADD_FAILURE() << error.text;
    jpeg_destroy_decompress(&info);
    return {};
  }
  jpeg_create_decompress(&info);
  jpeg_mem_src(&info, file.data(), file.size());
  jpeg_read_header(&info, TRUE);
  jvirt_barray_ptr* arrays = jpeg_read_coefficients(&info);
  for (int ci = 0; ci < info.num_components; ++ci) {
    planes.emplace_back();
    for (JDIMENSION row = 0; row < info.comp_info[ci].height_in_blocks; ++row) {
      JBLOCKARRAY blocks = info.mem->access_virt_barray(reinterpret_cast<j_common_ptr>(&info),
                                                        arrays[ci], row, 1, FALSE);
      for (JDIMENSION column = 0; column < info.comp_info[ci].width_in_blocks; ++column) {
        planes.back().insert(planes.back().end(), blocks[0][column], blocks[0][column] + 64);
      }
    }
  }
  EXPECT_EQ(error.manager.num_warnings, 0);
  jpeg_finish_decompress(&info);
  jpeg_destroy_decompress(&info);
  return planes;
}

TEST(HuffmanScan, LibjpegReadsBackEveryCoefficient) {
  // 4:2:0, 3 x 2 MCUs; Cb and Cr share table 1, so its counts combine both components.
  ScanState s({{1, 2, 2, 0}, {2, 1, 1, 1}, {3, 1, 1, 1}}, 6);
  std::mt19937 random(9);
  std::vector<int16_t> blocks(6 * 6 * 64);
  for (size_t i = 0; i < blocks.size(); ++i) {
    const int range = i % 64 == 0 ? 2047 : (random() % 4 ? 3 : 1023);
    blocks[i] =
        i % 64 == 0 || random() % 3 == 0 ? int16_t(int(random() % (2 * range + 1)) - range) : 0;
  }
  encodeScan(s.state, blocks.data());
  const auto planes = readBack(s.state, 48, 32);
  ASSERT_EQ(planes.size(), 3u);
  for (uint32_t mcu = 0; mcu < 6; ++mcu) {
    for (uint32_t b = 0; b < 6; ++b) {
      // Luma: MCU (mx, my) holds blocks (2mx.., 2my..) of the 6 x 4 block grid, in row order.
      const uint32_t bx = 2 * (mcu % 3) + b % 2, by = 2 * (mcu / 3) + b / 2;
      const int16_t* theirs = b < 4 ? &planes[0][(by * 6 + bx) * 64] : &planes[b - 3][mcu * 64];
      for (int k = 0; k < 64; ++k) {
        ASSERT_EQ(blocks[(mcu * 6 + b) * 64 + k], theirs[test::kNaturalOfZigzag[k]]) << mcu << b;
      }
    }
  }
}

TEST(HuffmanDht, KeepsTableOrderAndNumbersAndRefusesBadTables) {
  ScanState s({{1, 1, 1, 0}, {2, 1, 1, 1}, {3, 1, 1, 1}}, 4);
  std::vector<int16_t> blocks(4 * 3 * 64, 0);
  for (size_t i = 0; i < blocks.size(); i += 7) blocks[i] = int16_t(i % 13) - 6;
  encodeScan(s.state, blocks.data());
  auto write = [&](const Bytes& payload) {
    SegmentBuffer out;
    writeDhtSegment(s.state, payload.data(), int32_t(payload.size()), out);
    return Bytes(out.data(), out.data() + out.length());
  };
  // Four tables in one segment, in the source's order, with the new counts and symbols.
  const Bytes tables =
      concat({body(*s.state.acTables[1], kAcClass, 1), body(*s.state.dcTables[0], kDcClass, 0),
              body(*s.state.acTables[0], kAcClass, 0), body(*s.state.dcTables[1], kDcClass, 1)});
  EXPECT_EQ(write(concat({test::dhtTable(0x11), test::dhtTable(0x00), test::dhtTable(0x10),
                          test::dhtTable(0x01)})),
            test::segmentBytes(0xC4, tables));
  EXPECT_EQ(write({}), (Bytes{0xFF, 0xC4, 0x00, 0x02}));

  auto failure = [&](const Bytes& payload) { return test::messageOf([&] { write(payload); }); };
  EXPECT_EQ(failure(test::dhtTable(0x24)), msg::kMergeInvalidHuffmanId);  // class 2, number 4
  EXPECT_EQ(failure(concat({test::dhtTable(0x00), test::dhtTable(0x12)})),
            msg::kMergeInvalidHuffmanId);  // not used by the scan
  // A table that runs past the segment is refused before anything past it is read.
  EXPECT_EQ(failure({0x00, 1, 0}), msg::kInvalidOffset);
  Bytes tooMany = test::dhtTable(0x00);
  tooMany[16] = 5;
  EXPECT_EQ(failure(tooMany), msg::kInvalidOffset);
}

}  // namespace
}  // namespace tessel
