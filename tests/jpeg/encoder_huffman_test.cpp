// Huffman entropy encoding: table construction, the two passes over the blocks, the bit stream,
// and the rewritten DHT segments.

#include <gtest/gtest.h>

#include <random>

#include "core/messages.h"
#include "jpeg/encoder/encode_state.h"
#include "jpeg/encoder/encoder.h"
#include "jpeg/encoder/huffman_encode.h"
#include "jpeg/encoder/messages.h"
#include "jpeg/encoder_test_support.h"
#include "jpeg/segment_buffer.h"

// libjpeg's own optimal-table builder, exported by the library but declared only in its internal
// headers.
extern "C" void jpeg_gen_optimal_table(j_compress_ptr cinfo, JHUFF_TBL* htbl, long freq[]);

namespace tessel {
namespace {

using test::Bytes;
using test::concat;

Bytes dhtBody(const HuffmanCodeTable& table, uint8_t tableClass = kDcClass, uint8_t number = 0) {
  SegmentBuffer out;
  writeHuffmanTable(table, tableClass, number, out);
  return Bytes(out.data(), out.data() + out.length());
}

HuffmanCodeTable tableWith(const std::vector<std::pair<int, uint32_t>>& frequencies) {
  HuffmanCodeTable table;
  for (auto [symbol, count] : frequencies) table.entries[symbol].frequency = count;
  buildHuffmanTable(table);
  return table;
}

// The same table built by libjpeg, as a DHT body.
Bytes libjpegBody(const HuffmanCodeTable& counted) {
  jpeg_compress_struct info;
  jpeg_error_mgr error;
  info.err = jpeg_std_error(&error);
  jpeg_create_compress(&info);
  JHUFF_TBL* table = jpeg_alloc_huff_table(reinterpret_cast<j_common_ptr>(&info));
  long frequency[257] = {};
  for (int s = 0; s < 256; ++s) frequency[s] = counted.entries[s].frequency;
  jpeg_gen_optimal_table(&info, table, frequency);
  Bytes body = {0x00};
  int symbols = 0;
  for (int length = 1; length <= 16; ++length) {
    body.push_back(table->bits[length]);
    symbols += table->bits[length];
  }
  body.insert(body.end(), table->huffval, table->huffval + symbols);
  jpeg_destroy_compress(&info);
  return body;
}

TEST(HuffmanTable, OneSymbolGetsTheOneBitCodeZero) {
  const auto table = tableWith({{7, 1000}});
  EXPECT_EQ(table.entries[7].codeLength, 1u);
  EXPECT_EQ(table.entries[7].codeBits, 0u);
  EXPECT_EQ(table.entries[255].codeLength, 0u);
  EXPECT_EQ(dhtBody(table), (Bytes{0x00, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 7}));
  // No symbol counted: no code at all (the reserved one is dropped).
  EXPECT_EQ(dhtBody(tableWith({})), Bytes(17, 0));
}

// Checks what every built table must satisfy: at most 16 bits, a complete prefix code but for the
// reserved all-ones code, and no symbol 255 in the DHT body.
void expectSoundTable(const HuffmanCodeTable& table) {
  uint32_t longest = 0;
  double kraft = 0;
  for (const auto& entry : table.entries) {
    longest = std::max(longest, entry.codeLength);
    if (entry.codeLength) kraft += std::ldexp(1.0, -int(entry.codeLength));
    if (entry.frequency) EXPECT_GT(entry.codeLength, 0u);
  }
  EXPECT_LE(longest, 16u);
  EXPECT_EQ(kraft + std::ldexp(1.0, -int(longest)), 1.0);
  for (const auto& a : table.entries) {
    if (!a.codeLength) continue;
    EXPECT_NE(a.codeBits, (1u << longest) - 1) << a.codeLength;
    for (const auto& b : table.entries) {
      if (&a == &b || !b.codeLength || b.codeLength < a.codeLength) continue;
      EXPECT_NE(b.codeBits >> (b.codeLength - a.codeLength), a.codeBits);
    }
  }
  const Bytes body = dhtBody(table);
  EXPECT_EQ(std::count(body.begin() + 17, body.end(), 255), 0);
}

uint64_t codedBits(const HuffmanCodeTable& table, const Bytes& body) {
  uint64_t bits = 0;
  size_t next = 17;
  for (int length = 1; length <= 16; ++length) {
    for (int i = 0; i < body[length]; ++i)
      bits += uint64_t{table.entries[body[next++]].frequency} * length;
  }
  return bits;
}

TEST(HuffmanTable, AgreesWithLibjpeg) {
  std::mt19937 random(3);
  int identical = 0;
  for (int trial = 0; trial < 300; ++trial) {
    SCOPED_TRACE(trial);
    std::vector<std::pair<int, uint32_t>> frequencies;
    const int symbols = 1 + trial % 200;
    for (int i = 0; i < symbols; ++i) {
      const uint32_t count = 1 + random() % (random() % 8 == 0 ? 100000 : 20);
      frequencies.push_back({static_cast<int>(random() % 255), count});
    }
    const auto table = tableWith(frequencies);
    expectSoundTable(table);
    const Bytes ours = dhtBody(table), theirs = libjpegBody(table);
    uint32_t longest = 0;
    for (const auto& entry : table.entries) longest = std::max(longest, entry.codeLength);
    if (longest < 16) {
      // No length was limited: the same construction as libjpeg's, tie-breaks included.
      EXPECT_EQ(ours, theirs);
      ++identical;
    } else {
      // Limited: libjpeg moves code lengths between positions of its sorted symbol list rather
      // than moving named symbols, so symbols may sit at other lengths, but the number of codes
      // of each length and the coded size agree.
      EXPECT_EQ(Bytes(ours.begin(), ours.begin() + 17), Bytes(theirs.begin(), theirs.begin() + 17));
      EXPECT_LE(codedBits(table, ours), codedBits(table, theirs) * 1001 / 1000);
    }
  }
  EXPECT_GT(identical, 120);
}

TEST(HuffmanTable, LimitsDeepTreesToSixteenBits) {
  std::mt19937 random(4);
  for (int terms : {18, 22, 26, 30, 40, 60}) {
    SCOPED_TRACE(terms);
    // Fibonacci-like counts make the unlimited code lengths grow with the number of terms.
    std::vector<std::pair<int, uint32_t>> frequencies;
    double f = 1;
    for (int i = 0; i < terms; ++i, f *= 1.618) {
      frequencies.push_back({(i * 37) % 250, static_cast<uint32_t>(std::min(f, 4e9))});
    }
    for (int i = 0; i < 20; ++i) frequencies.push_back({250 + i % 5, 1 + uint32_t(random() % 3)});
    const auto table = tableWith(frequencies);
    expectSoundTable(table);
    if (terms <= 30) {
      const Bytes ours = dhtBody(table), theirs = libjpegBody(table);
      EXPECT_EQ(Bytes(ours.begin(), ours.begin() + 17), Bytes(theirs.begin(), theirs.begin() + 17));
      EXPECT_LE(codedBits(table, ours), codedBits(table, theirs) * 1001 / 1000);
    }
  }
}

// A state with the given component slots (h x v each), every component on DC/AC table
// `tables[slot]`, and `mcus` MCUs.
struct ScanState {
  EncodeState state;
  ScanState(std::vector<std::tuple<int, uint32_t, uint32_t, int>> slots, uint32_t mcus) {
    for (auto [slot, h, v, tables] : slots) {
      auto& c = state.components[slot];
      c = std::make_unique<EncodeComponent>();
      c->h = h;
      c->v = v;
      if (!state.dcTables[tables]) state.dcTables[tables] = std::make_unique<HuffmanCodeTable>();
      if (!state.acTables[tables]) state.acTables[tables] = std::make_unique<HuffmanCodeTable>();
      c->dcIndex = tables;
      c->acIndex = tables;
      c->dcTable = state.dcTables[tables].get();
      c->acTable = state.acTables[tables].get();
      state.blocksPerMcu += h * v;
    }
    state.mcuCount = mcus;
  }
  const HuffmanCodeTable& ac(int n) const { return *state.acTables[n]; }
};

TEST(HuffmanScan, RunsOfZerosAndEndOfBlock) {
  // 35 zeros, then 5 at position 36: two ZRL symbols and then (3 << 4) | 3; the rest is zero,
  // so an EOB follows.
  ScanState s({{1, 1, 1, 0}}, 3);
  std::vector<int16_t> blocks(3 * 64, 0);
  blocks[36] = 5;
  // Second block: only the last position is set: 62 zeros (three ZRL, run 14) and no EOB.
  blocks[64 + 63] = -1;
  // Third block: nothing but DC.
  blocks[128] = 100;
  encodeScan(s.state, blocks.data());
  EXPECT_EQ(s.ac(0).entries[0xF0].frequency, 2u + 3u);
  EXPECT_EQ(s.ac(0).entries[0x33].frequency, 1u);
  EXPECT_EQ(s.ac(0).entries[0xE1].frequency, 1u);
  EXPECT_EQ(s.ac(0).entries[0x00].frequency, 2u);  // blocks one and three
  // DC differences 0, 0, 100 (category 7).
  EXPECT_EQ(s.state.dcTables[0]->entries[0].frequency, 2u);
  EXPECT_EQ(s.state.dcTables[0]->entries[7].frequency, 1u);
}

TEST(HuffmanScan, StuffsEveryFFIncludingThePaddedLastByte) {
  // A last coefficient of 255 ends the scan with eight one bits; the padding adds more ones, so
  // the last byte is 0xFF and must be followed by 0x00.
  ScanState s({{1, 1, 1, 0}}, 1);
  std::vector<int16_t> blocks(64, 0);
  blocks[63] = 255;
  encodeScan(s.state, blocks.data());
  const auto& scan = s.state.scanData;
  ASSERT_GE(scan.size(), 2u);
  EXPECT_EQ(scan[scan.size() - 2], 0xFF);
  EXPECT_EQ(scan.back(), 0x00);
  EXPECT_EQ(s.state.scanLength, scan.size());
  // Many blocks of random data: no 0xFF is ever left unstuffed.
  ScanState big({{1, 1, 1, 0}}, 500);
  std::mt19937 random(5);
  std::vector<int16_t> noise(500 * 64);
  for (auto& v : noise) v = static_cast<int16_t>(random() % 7 == 0 ? int(random() % 511) - 255 : 0);
  encodeScan(big.state, noise.data());
  const auto& bytes = big.state.scanData;
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (bytes[i] == 0xFF) ASSERT_TRUE(i + 1 < bytes.size() && bytes[i + 1] == 0x00) << i;
  }
}

// Wraps a scan in a JPEG (unit quantizers, the state's code tables) and reads its coefficients
// back with libjpeg.
std::vector<std::vector<int16_t>> libjpegCoefficients(const EncodeState& state, uint16_t width,
                                                      uint16_t height) {
  SegmentBuffer out;
  out.append(0xFF);
  out.append(0xD8);
  out.beginSegment(0xDB);
  for (uint8_t q : {0, 1}) {
    const Bytes table = test::dqtTable(q, 1);
    out.append(table.data(), table.size());
  }
  out.endSegment();
  out.beginSegment(0xC0);
  std::vector<test::FrameComponent> frame;
  std::vector<test::ScanComponent> scan;
  for (uint8_t slot = 0; slot < 4; ++slot) {
    const auto& c = state.components[slot];
    if (!c) continue;
    frame.push_back({slot, static_cast<uint8_t>(c->h << 4 | c->v), 0});
    scan.push_back({slot, static_cast<uint8_t>(c->dcIndex << 4 | c->acIndex)});
  }
  const Bytes sof = test::sofPayload(width, height, frame);
  out.append(sof.data(), sof.size());
  out.endSegment();
  out.beginSegment(0xC4);
  for (uint8_t n = 0; n < 4; ++n) {
    if (state.dcTables[n]) writeHuffmanTable(*state.dcTables[n], kDcClass, n, out);
    if (state.acTables[n]) writeHuffmanTable(*state.acTables[n], kAcClass, n, out);
  }
  out.endSegment();
  out.beginSegment(0xDA);
  const Bytes sos = test::sosPayload(scan);
  out.append(sos.data(), sos.size());
  out.endSegment();
  out.append(state.scanData.data(), state.scanData.size());
  out.append(0xFF);
  out.append(0xD9);

  jpeg_decompress_struct info;
  test::detail::ErrorManager manager;
  info.err = jpeg_std_error(&manager.base);
  manager.base.error_exit = test::detail::onError;
  manager.base.emit_message = test::detail::onMessage;
  jpeg_create_decompress(&info);
  std::vector<std::vector<int16_t>> components;
  if (setjmp(manager.jump)) {
    ADD_FAILURE() << manager.message;
    jpeg_destroy_decompress(&info);
    return components;
  }
  jpeg_mem_src(&info, out.data(), out.length());
  jpeg_read_header(&info, TRUE);
  jvirt_barray_ptr* arrays = jpeg_read_coefficients(&info);
  for (int ci = 0; ci < info.num_components; ++ci) {
    const jpeg_component_info& comp = info.comp_info[ci];
    std::vector<int16_t> blocks;
    for (JDIMENSION row = 0; row < comp.height_in_blocks; ++row) {
      JBLOCKARRAY rows = info.mem->access_virt_barray(reinterpret_cast<j_common_ptr>(&info),
                                                      arrays[ci], row, 1, FALSE);
      for (JDIMENSION column = 0; column < comp.width_in_blocks; ++column) {
        blocks.insert(blocks.end(), rows[0][column], rows[0][column] + 64);
      }
    }
    components.push_back(std::move(blocks));
  }
  EXPECT_EQ(manager.warnings, 0);
  jpeg_finish_decompress(&info);
  jpeg_destroy_decompress(&info);
  return components;
}

TEST(HuffmanScan, LibjpegReadsBackEveryCoefficient) {
  // 4:2:0, 3 x 2 MCUs of 16 x 16 pixels; Cb and Cr share table 1.
  ScanState s({{1, 2, 2, 0}, {2, 1, 1, 1}, {3, 1, 1, 1}}, 6);
  std::mt19937 random(9);
  std::vector<int16_t> blocks(6 * 6 * 64);
  for (size_t i = 0; i < blocks.size(); ++i) {
    const bool dc = i % 64 == 0;
    const int range = dc ? 2047 : (random() % 4 == 0 ? 1023 : 3);
    blocks[i] =
        static_cast<int16_t>(random() % 3 == 0 || dc ? int(random() % (2 * range + 1)) - range : 0);
  }
  encodeScan(s.state, blocks.data());
  // The shared tables counted both chroma components: one DC symbol per block.
  uint32_t dcCount = 0;
  for (const auto& e : s.state.dcTables[1]->entries) dcCount += e.frequency;
  EXPECT_EQ(dcCount, 2u * 6u);

  const auto decoded = libjpegCoefficients(s.state, 48, 32);
  ASSERT_EQ(decoded.size(), 3u);
  // Luma blocks: MCU (mx, my) holds the 2 x 2 blocks at (2mx.., 2my..) of a 6 x 4 block grid.
  for (uint32_t mcu = 0; mcu < 6; ++mcu) {
    const uint32_t mx = mcu % 3, my = mcu / 3;
    for (uint32_t b = 0; b < 6; ++b) {
      const int16_t* ours = blocks.data() + (mcu * 6 + b) * 64;
      const int16_t* theirs;
      if (b < 4) {
        const uint32_t bx = 2 * mx + b % 2, by = 2 * my + b / 2;
        theirs = decoded[0].data() + (by * 6 + bx) * 64;
      } else {
        theirs = decoded[b - 3].data() + mcu * 64;
      }
      for (int k = 0; k < 64; ++k) {
        ASSERT_EQ(ours[k], theirs[test::kNaturalOfZigzag[k]]) << mcu << " " << b << " " << k;
      }
    }
  }
}

// --- DHT segments -------------------------------------------------------------------------

struct DhtFixture : ::testing::Test {
  ScanState s{{{1, 1, 1, 0}, {2, 1, 1, 1}, {3, 1, 1, 1}}, 4};
  DhtFixture() {
    std::vector<int16_t> blocks(4 * 3 * 64, 0);
    for (size_t i = 0; i < blocks.size(); i += 7) blocks[i] = static_cast<int16_t>(i % 13) - 6;
    encodeScan(s.state, blocks.data());
  }
  Bytes write(const Bytes& payload) {
    SegmentBuffer out;
    writeDhtSegment(s.state, payload.data(), static_cast<int32_t>(payload.size()), out);
    return Bytes(out.data(), out.data() + out.length());
  }
};

TEST_F(DhtFixture, KeepsTableOrderAndNumbersWithNewCodes) {
  // Four tables in one segment, in an unusual order.
  const Bytes source = concat(
      {test::dhtTable(0x11), test::dhtTable(0x00), test::dhtTable(0x10), test::dhtTable(0x01)});
  const Bytes expected = concat({{0xFF, 0xC4, 0, 0},
                                 dhtBody(s.ac(1), kAcClass, 1),
                                 dhtBody(*s.state.dcTables[0], kDcClass, 0),
                                 dhtBody(s.ac(0), kAcClass, 0),
                                 dhtBody(*s.state.dcTables[1], kDcClass, 1)});
  Bytes actual = write(source);
  ASSERT_EQ(actual.size(), expected.size());
  EXPECT_EQ(actual[2] << 8 | actual[3], int(expected.size()) - 2);
  actual[2] = actual[3] = 0;
  EXPECT_EQ(actual, expected);
  // An empty source segment gives an empty one, length 2.
  EXPECT_EQ(write({}), (Bytes{0xFF, 0xC4, 0x00, 0x02}));
}

TEST_F(DhtFixture, RejectsBadOrUnusedTables) {
  auto fails = [&](const Bytes& payload) { return test::messageOf([&] { write(payload); }); };
  EXPECT_EQ(fails(test::dhtTable(0x20)), msg::kMergeInvalidHuffmanId);  // class 2
  EXPECT_EQ(fails(test::dhtTable(0x04)), msg::kMergeInvalidHuffmanId);  // number 4
  EXPECT_EQ(fails(test::dhtTable(0x12)), msg::kMergeInvalidHuffmanId);  // unused by the scan
  EXPECT_EQ(fails(concat({test::dhtTable(0x00), test::dhtTable(0x03)})),
            msg::kMergeInvalidHuffmanId);
  // A table that does not fit in the segment is refused before anything past it is read.
  EXPECT_EQ(fails({0x00, 1, 0}), msg::kInvalidOffset);
  Bytes tooMany = test::dhtTable(0x00);
  tooMany[16] = 5;
  EXPECT_EQ(fails(tooMany), msg::kInvalidOffset);
}

}  // namespace
}  // namespace tessel
