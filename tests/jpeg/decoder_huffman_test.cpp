// The Huffman lookup, the bit reader's byte rules and end-of-data behaviour, and the restart
// resynchronisation.

#include <gtest/gtest.h>

#include <random>

#include "core/messages.h"
#include "jpeg/decoder/huffman_decode.h"
#include "jpeg/decoder/messages.h"
#include "jpeg/decoder_test_support.h"

namespace tessel {
namespace {

using test::Bytes;
using test::messageOf;

// A DHT table body: 16 counts, then the symbols.
Bytes tableBody(const std::vector<std::pair<int, std::vector<uint8_t>>>& codesByLength) {
  Bytes body(16, 0);
  Bytes symbols;
  for (const auto& [length, list] : codesByLength) {
    body[length - 1] = static_cast<uint8_t>(list.size());
    symbols.insert(symbols.end(), list.begin(), list.end());
  }
  body.insert(body.end(), symbols.begin(), symbols.end());
  return body;
}

HuffmanLookup build(const Bytes& body) {
  HuffmanLookup lookup;
  int32_t offset = 0;
  buildHuffmanLookup(lookup, body.data(), static_cast<int32_t>(body.size()), offset);
  EXPECT_EQ(offset, static_cast<int32_t>(body.size()));
  return lookup;
}

// Two 2-bit codes 00, 01 for 0x01, 0x02; a 3-bit code 100 for 0x03; a 9-bit code 101000000 for
// 0x11.
Bytes workedExample() {
  return tableBody({{2, {0x01, 0x02}}, {3, {0x03}}, {9, {0x11}}});
}

BitReader readerOver(const Bytes& data) {
  BitReader reader;
  reader.position = data.data();
  reader.end = data.data() + data.size();
  return reader;
}

TEST(HuffmanLookupTest, RejectsTablesThatCannotBeCodes) {
  // Seventeen 4-bit codes: the 17th would need code 16, which has five bits.
  Bytes overfull(16, 0);
  overfull[3] = 17;
  for (int i = 0; i < 17; ++i) overfull.push_back(static_cast<uint8_t>(i));
  HuffmanLookup lookup;
  int32_t offset = 0;
  EXPECT_EQ(messageOf([&] {
              buildHuffmanLookup(lookup, overfull.data(), int32_t(overfull.size()), offset);
            }),
            msg::kInvalidHuffmanTable);

  // Sixteen 4-bit codes fill the code space exactly and are accepted.
  Bytes full(overfull.begin(), overfull.end() - 1);
  full[3] = 16;
  offset = 0;
  buildHuffmanLookup(lookup, full.data(), int32_t(full.size()), offset);

  // Counts or symbols that run past the payload.
  const Bytes body = workedExample();
  for (size_t cut : {size_t{10}, body.size() - 1}) {
    offset = 0;
    EXPECT_EQ(messageOf([&] {
                buildHuffmanLookup(lookup, body.data(), static_cast<int32_t>(cut), offset);
              }),
              msg::kInvalidOffset)
        << cut;
  }
}

TEST(HuffmanLookupTest, LargestRepresentableTableUsesEveryPageAndDecodesItsLastCode) {
  // 255 codes of every length from 9 to 16 fill 255 second-level pages, the most a page link
  // can name.
  std::vector<std::pair<int, std::vector<uint8_t>>> codes;
  for (int length = 9; length <= 16; ++length) {
    codes.push_back({length, std::vector<uint8_t>(255, static_cast<uint8_t>(length))});
  }
  codes.back().second.back() = 0xEE;
  const HuffmanLookup lookup = build(tableBody(codes));
  EXPECT_EQ(lookup.pageCount, 256u);
  // The last 16-bit code: (((255 << 1) + 255 ...) computed canonically.
  uint32_t code = 0;
  for (int length = 1; length <= 16; ++length) {
    if (length >= 9) code += 255;
    if (length < 16) code <<= 1;
  }
  const uint32_t last = code - 1;
  const Bytes data = {static_cast<uint8_t>(last >> 8), static_cast<uint8_t>(last), 0x00};
  BitReader reader = readerOver(data);
  EXPECT_EQ(decodeSymbol(reader, lookup), 0xEE);
  EXPECT_EQ(reader.count, 8u);
}

TEST(HuffmanDecodeTest, DecodesShortAndSecondLevelCodes) {
  const HuffmanLookup lookup = build(workedExample());
  // 00 01 100 101000000 00 -> 0x01 0x02 0x03 0x11 0x01, then padding ones.
  // Bits: 0001 1001 0100 0000 0011 1111
  const Bytes data = {0x19, 0x40, 0x3F};
  BitReader reader = readerOver(data);
  for (uint8_t expected : {0x01, 0x02, 0x03, 0x11, 0x01}) {
    EXPECT_EQ(decodeSymbol(reader, lookup), expected);
  }
  EXPECT_EQ(reader.count, 6u);  // the six padding ones
  // 111111 starts no code.
  EXPECT_EQ(messageOf([&] { decodeSymbol(reader, lookup); }), msg::kCorruptImageData);
  // Bits that start no code fail even with fewer than eight left.
  const Bytes few = {0x1B};  // 00 01, then 1011 and the end
  reader = readerOver(few);
  decodeSymbol(reader, lookup);
  EXPECT_EQ(decodeSymbol(reader, lookup), 0x02);
  EXPECT_EQ(messageOf([&] { decodeSymbol(reader, lookup); }), msg::kCorruptImageData);
}

TEST(HuffmanDecodeTest, CodeCutOffByTheEndDecodesAsZeroAndConsumesNothing) {
  const HuffmanLookup lookup = build(workedExample());
  // The 9-bit code's first eight bits, then the data ends: symbol 0, every time.
  const Bytes data = {0xA0};
  BitReader reader = readerOver(data);
  EXPECT_EQ(decodeSymbol(reader, lookup), 0);
  EXPECT_EQ(decodeSymbol(reader, lookup), 0);
  EXPECT_EQ(reader.count, 8u);
  // The same in front of a marker, which is never passed.
  const Bytes marked = {0xA0, 0xFF, 0xD9};
  reader = readerOver(marked);
  EXPECT_EQ(decodeSymbol(reader, lookup), 0);
  EXPECT_EQ(receiveBits(reader, 9), 0u);
  EXPECT_EQ(receiveBits(reader, 8), 0xA0u);
  EXPECT_EQ(reader.position, marked.data() + 1);
  // A code wholly inside the last bits still decodes.
  const Bytes shortCode = {0x40};  // 01 -> 0x02
  reader = readerOver(shortCode);
  EXPECT_EQ(decodeSymbol(reader, lookup), 0x02);
}

TEST(BitReaderTest, StuffedBytesMarkersAndTheEnd) {
  // 0xFF 0x00 is one data byte 0xFF.
  Bytes data = {0xFF, 0x00, 0x12};
  BitReader reader = readerOver(data);
  EXPECT_EQ(receiveBits(reader, 8), 0xFFu);
  EXPECT_EQ(receiveBits(reader, 8), 0x12u);

  // Reading stops in front of a marker, even a 0xFF as the very last byte.
  data = {0x12, 0xFF};
  reader = readerOver(data);
  EXPECT_EQ(receiveBits(reader, 8), 0x12u);
  EXPECT_EQ(receiveBits(reader, 1), 0u);
  EXPECT_EQ(reader.position, data.data() + 1);

  // Too few bits left: 0 and nothing consumed, so a shorter read still gets the bits.
  data = {0xAB};
  reader = readerOver(data);
  EXPECT_EQ(receiveBits(reader, 12), 0u);
  EXPECT_EQ(reader.position, data.data() + 1);
  EXPECT_EQ(receiveBits(reader, 3), 0x5u);
  EXPECT_EQ(receiveBits(reader, 5), 0x0Bu);

  // Long reads across refills, with stuffing inside the four-byte fast path's window.
  data = {0x12, 0x34, 0xFF, 0x00, 0x56, 0x78, 0x9A, 0xBC, 0xDE};
  reader = readerOver(data);
  EXPECT_EQ(receiveBits(reader, 4), 0x1u);
  EXPECT_EQ(receiveBits(reader, 16), 0x234Fu);
  EXPECT_EQ(receiveBits(reader, 16), 0xF567u);
  EXPECT_EQ(receiveBits(reader, 16), 0x89ABu);

  // The sign convention of extend.
  EXPECT_EQ(extend(0, 1), -1);
  EXPECT_EQ(extend(1023, 11), -1024);
  EXPECT_EQ(extend(1024, 11), 1024);
  EXPECT_EQ(extend(0, 16), -65535);
}

TEST(BitReaderTest, ResynchroniseFindsTheExpectedRestartMarkerOnly) {
  const Bytes data = {0x11, 0xFF, 0xD1, 0x22, 0xFF, 0x00, 0xFF, 0xD0, 0x33, 0xFF, 0xD2};
  BitReader reader = readerOver(data);
  reader.bits = 0xF0000000u;
  reader.count = 4;
  resynchronise(reader, 8);  // index 8 wants 0xD0: 0xD1 is skipped
  EXPECT_EQ(reader.count, 0u);
  EXPECT_EQ(receiveBits(reader, 8), 0x33u);

  reader = readerOver(data);
  resynchronise(reader, 5);  // none: to the end
  EXPECT_EQ(reader.position, data.data() + data.size());

  const Bytes cut = {0x00, 0xFF};  // a 0xFF whose second byte is missing
  reader = readerOver(cut);
  resynchronise(reader, 0);
  EXPECT_EQ(reader.position, cut.data() + cut.size());
}

// The page walk alone (decodeSymbolSlow) is the definition; the fast table must never change a
// result, the reader's state afterwards (its position included), or where an error is found. Random
// canonical tables, random data with stuffed bytes and markers, and random interleaved bit reads.
TEST(HuffmanDecodeTest, FastTableAgreesWithThePageWalkOnRandomStreams) {
  std::mt19937 random(7);
  for (int round = 0; round < 300; ++round) {
    // A random table: lengths drawn while the code space lasts.
    std::vector<std::pair<int, std::vector<uint8_t>>> codes;
    uint32_t space = 1u << 16;  // in units of 2^-16
    uint8_t symbol = 0;
    for (int length = 1; length <= 16; ++length) {
      std::vector<uint8_t> list;
      const uint32_t unit = 1u << (16 - length);
      const int wanted = static_cast<int>(random() % (length < 4 ? 2 : 12));
      for (int i = 0; i < wanted && space >= unit && list.size() < 255; ++i) {
        list.push_back(symbol++);
        space -= unit;
      }
      if (!list.empty()) codes.push_back({length, list});
    }
    if (codes.empty()) continue;
    const HuffmanLookup lookup = build(tableBody(codes));

    Bytes data;
    const size_t size = random() % 64;
    for (size_t i = 0; i < size; ++i) {
      const uint8_t byte = static_cast<uint8_t>(random());
      data.push_back(byte);
      if (byte == 0xFF) data.push_back(random() % 8 == 0 ? 0xD3 : 0x00);
    }
    BitReader fast = readerOver(data);
    BitReader slow = fast;
    for (int step = 0; step < 200; ++step) {
      if (random() % 4 == 0) {
        const uint32_t n = 1 + random() % 16;
        ASSERT_EQ(receiveBits(fast, n), receiveBits(slow, n));
      } else {
        uint8_t a = 0, b = 0;
        const std::string failedA = messageOf([&] { a = decodeSymbol(fast, lookup); });
        const std::string failedB = messageOf([&] { b = decodeSymbolSlow(slow, lookup); });
        ASSERT_EQ(failedA, failedB);
        if (failedA != "(no exception)") break;
        ASSERT_EQ(a, b);
      }
      ASSERT_EQ(fast.position, slow.position);
      ASSERT_EQ(fast.bits, slow.bits);
      ASSERT_EQ(fast.count, slow.count);
    }
  }
}

}  // namespace
}  // namespace tessel
