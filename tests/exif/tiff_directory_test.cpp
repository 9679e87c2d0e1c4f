// The TIFF/Exif directory parse: header checks, claiming rules and loop ends, value placement,
// sub-directories, namespaces, maker notes and the export to a property list.

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <memory>
#include <string>
#include <tuple>

#include "core/exception.h"
#include "core/messages.h"
#include "core/pixel_image.h"
#include "exif/messages.h"
#include "exif/property_list.h"
#include "exif/tiff_directory.h"
#include "tiff_builder.h"

namespace tessel {
namespace {

using test::ParsedTiff;
using test::shortEntry;
using test::TiffBlock;

// The export never looks at the decoder state, so any storage serves as one.
DecoderState& unusedDecoderState() {
  alignas(std::max_align_t) static unsigned char storage[64];
  return *reinterpret_cast<DecoderState*>(storage);
}

// Parses `block` with a tracker of its own.
std::unique_ptr<ParsedTiff> parsedOf(const TiffBlock& block) {
  auto parsed = std::make_unique<ParsedTiff>(block.data);
  parsed->parse();
  return parsed;
}

std::string parseError(const std::vector<uint8_t>& block) {
  ParsedTiff parsed(block);
  try {
    parsed.parse();
  } catch (const RawLayerException& e) {
    return e.message();
  }
  return "";
}

TEST(TiffHeader, RejectsBadByteOrderMagicAndShortBlocks) {
  EXPECT_EQ(parseError(TiffBlock(false).header(8, "IM").data), msg::kExifInvalidByteOrder);
  EXPECT_EQ(parseError(TiffBlock(false).header(8, nullptr, 43).data), msg::kExifInvalidStartMarker);
  // 42 stored in the other byte order is not 42.
  EXPECT_EQ(parseError(TiffBlock(true).header(8, "II").data), msg::kExifInvalidStartMarker);
  EXPECT_EQ(parseError(TiffBlock(false).header(8).resize(7).data), msg::kInvalidOffset);
}

TEST(TiffHeader, UnreachableFirstIfdGivesEmptyDirectory) {
  for (uint32_t first : {0u, 7u, 510u, 0xFFFFFFF8u}) {
    const auto parsed = parsedOf(TiffBlock(false).header(first));
    EXPECT_EQ(parsed->directory.count(), 0u) << first;
  }
}

TEST(TiffChain, LoopsEndWithoutErrorAndIfdIndexCounts) {
  // IFD0 links to IFD1, which links back to IFD0: the claimed count bytes stop the chain.
  TiffBlock b(false);
  b.header(8).ifd(8, {shortEntry(274, 1, false)}, 26).ifd(26, {shortEntry(274, 3, false)}, 8);
  const auto parsed = parsedOf(b);
  ASSERT_EQ(parsed->directory.count(), 2u);
  EXPECT_EQ(parsed->directory.entries[0]->ifdIndex, 0u);
  EXPECT_EQ(parsed->directory.entries[1]->ifdIndex, 1u);

  // An IFD that links to itself.
  TiffBlock self(true);
  self.header(8).ifd(8, {shortEntry(274, 1, true)}, 8);
  const auto selfParsed = parsedOf(self);
  EXPECT_EQ(selfParsed->directory.count(), 1u);
}

TEST(TiffChain, LinkAtOrAfterSmallestValueOffsetIsNotALink) {
  // The ASCII value starts exactly where the link would be; its first four bytes would make a
  // valid link to the IFD at 100.
  TiffBlock b(false);
  b.header(8).ifd(8, {{270, 2, 8, 26}}, std::nullopt);
  b.put32(26, 100).bytes(30, std::string("abc\0", 4));
  b.ifd(100, {shortEntry(274, 6, false)});
  const auto parsed = parsedOf(b);
  ASSERT_EQ(parsed->directory.count(), 1u);
  EXPECT_EQ(parsed->directory.entries[0]->tag, 270u);

  // A value after the link leaves the link in force.
  TiffBlock after(false);
  after.header(8).ifd(8, {{270, 2, 8, 200}}, 100).bytes(200, std::string("abcdefg"));
  after.ifd(100, {shortEntry(274, 6, false)});
  const auto afterParsed = parsedOf(after);
  ASSERT_EQ(afterParsed->directory.count(), 2u);
  EXPECT_EQ(afterParsed->directory.entries[1]->ifdIndex, 1u);
}

TEST(TiffEntries, CountLimitAndRejectedTypes) {
  const auto okParsed =
      parsedOf(TiffBlock(false, 100100).header(8).ifd(8, {{0x9286, 7, 100000, 40}}));
  EXPECT_EQ(okParsed->directory.count(), 1u);

  EXPECT_EQ(parseError(TiffBlock(false, 100100).header(8).ifd(8, {{0x9286, 7, 100001, 40}}).data),
            msg::kInvalidTiffCount);
  EXPECT_EQ(parseError(TiffBlock(true).header(8).ifd(8, {{0x9286, 7, 0xFFFFFFFF, 40}}).data),
            msg::kInvalidTiffCount);
  for (uint16_t type : {0, 6, 13}) {
    EXPECT_EQ(parseError(TiffBlock(false).header(8).ifd(8, {{0x100, type, 1, 0}}).data),
              msg::kUnknownTiffType)
        << type;
  }
  // The type is checked before the count.
  EXPECT_EQ(parseError(TiffBlock(false).header(8).ifd(8, {{0x100, 8, 0xFFFFFFFF, 0}}).data),
            msg::kUnknownTiffType);
}

TEST(TiffEntries, EntriesMustBeInsideTheBlockAndUnclaimed) {
  // Three entries announced, room for one.
  EXPECT_EQ(parseError(TiffBlock(false)
                           .header(8)
                           .ifd(8, {shortEntry(274, 1, false)})
                           .put16(8, 3)
                           .resize(30)
                           .data),
            msg::kInvalidOffset);
  // IFD1's count bytes are free but its entry runs into IFD0's count bytes.
  TiffBlock overlap(false);
  overlap.header(100).ifd(100, {shortEntry(274, 1, false)}, 90).put16(90, 1);
  EXPECT_EQ(parseError(overlap.data), msg::kInvalidOffset);
}

TEST(TiffEntries, ValuesOfFourBytesStayInTheEntry) {
  TiffBlock b(true);
  b.header(8).ifd(8, {{0x100, 4, 1, 7},
                      {0x102, 3, 2, 0, std::string("\0\1\0\2", 4)},
                      {0x10e, 2, 4, 0, std::string("abc\0", 4)},
                      {0x10f, 2, 5, 100},
                      {0x110, 1, 0, 0}});
  b.bytes(100, std::string("Make\0", 5));
  const auto parsed = parsedOf(b);
  const uint8_t* base = parsed->bytes.data();
  ASSERT_EQ(parsed->directory.count(), 5u);
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(parsed->directory.entries[i]->value - base, static_cast<int64_t>(10 + 12 * i + 8));
  }
  EXPECT_EQ(parsed->directory.entries[3]->value - base, 100);
  EXPECT_EQ(parsed->directory.entries[4]->value - base, 10 + 48 + 8);
  // Value bytes are tested, never claimed.
  EXPECT_TRUE(parsed->tracker.isUnclaimed(base + 100, 5));
  EXPECT_FALSE(parsed->tracker.isUnclaimed(base + 10, 1));
}

TEST(TiffEntries, OutOfLineValuesOverlappingStructureOrOutsideAreDropped) {
  TiffBlock b(false);
  b.header(8).ifd(8, {{0x10e, 2, 8, 8},           // the IFD itself
                      {0x10f, 2, 8, 2},           // the header
                      {0x110, 2, 8, 508},         // runs past the end
                      {0x131, 2, 8, 0x7FFFFFFC},  // far outside
                      {0x132, 2, 8, 0xFFFFFFF0},  // before the block
                      {0x13b, 2, 8, 200},         // fine
                      {0x8298, 2, 8, 200}});      // shares the same bytes: fine too
  const auto parsed = parsedOf(b);
  ASSERT_EQ(parsed->directory.count(), 2u);
  EXPECT_EQ(parsed->directory.entries[0]->tag, 0x13bu);
  EXPECT_EQ(parsed->directory.entries[1]->tag, 0x8298u);
}

TEST(TiffSubDirectories, NestedParseNamespacesAndLookups) {
  TiffBlock b(false);
  b.header(8).ifd(8, {{34665, 4, 1, 100}, {34853, 4, 1, 150}, {37500, 7, 8, 300}}, 0);
  b.ifd(100, {shortEntry(0xa001, 1, false), {40965, 4, 1, 200}}, 0);
  b.ifd(150, {{1, 2, 2, 0, std::string("N")}, {2, 5, 3, 250}}, 0);
  b.ifd(200, {{1, 2, 4, 0, std::string("R98")}}, 0);
  const auto parsed = parsedOf(b);
  const TIFFDirectory& dir = parsed->directory;
  ASSERT_EQ(dir.count(), 3u);
  const auto* exif = dynamic_cast<const TIFFNestedDir*>(dir.entries[0].get());
  const auto* gps = dynamic_cast<const TIFFNestedDir*>(dir.entries[1].get());
  ASSERT_TRUE(exif && gps);
  EXPECT_EQ(gps->tag, 34853u);  // the pointer entry keeps its own tag
  ASSERT_EQ(gps->directory.count(), 2u);
  EXPECT_EQ(gps->directory.entries[1]->tag, 0x30002u);

  // Tag 1 is the Interoperability index (depth first, namespace included), not the GPS one.
  const TIFFEntry* interop = dir.findTag(1);
  ASSERT_NE(interop, nullptr);
  EXPECT_EQ(interop->value - parsed->bytes.data(), 202 + 8);
  EXPECT_EQ(dir.findTag(0x30001), gps->directory.entries[0].get());
  EXPECT_EQ(dir.findTag(34853), nullptr);
  ASSERT_NE(dir.findTag(0xa001), nullptr);
}

TEST(TiffSubDirectories, PointersToClaimedOrOutsideBytesAreDropped) {
  TiffBlock b(true);
  b.header(8).ifd(
      8, {{34665, 4, 1, 8}, {34853, 4, 1, 0x7FFFFFFF}, {40965, 4, 1, 511}, {34665, 4, 1, 100}});
  b.ifd(100, {shortEntry(0xa001, 1, true)}, 0);
  const auto parsed = parsedOf(b);
  ASSERT_EQ(parsed->directory.count(), 1u);
  EXPECT_EQ(parsed->directory.entries[0]->value - parsed->bytes.data(), 10 + 36 + 8);
}

TEST(TiffSubDirectories, FailureInsideANestedDirectoryFailsTheBlock) {
  TiffBlock b(false);
  b.header(8).ifd(8, {{34665, 4, 1, 100}}).ifd(100, {{0x829a, 8, 1, 0}});
  EXPECT_EQ(parseError(b.data), msg::kUnknownTiffType);
}

TEST(TiffThumbnail, OffsetAndLengthEntries) {
  TiffBlock b(true);
  b.header(8).ifd(8, {{513, 4, 1, 300}, {514, 4, 1, 1234}}, 0);
  const auto parsed = parsedOf(b);
  const auto* start = dynamic_cast<const ThumbnailOffset*>(parsed->directory.findTag(513));
  const auto* size = dynamic_cast<const ThumbnailLength*>(parsed->directory.findTag(514));
  ASSERT_TRUE(start && size);
  EXPECT_EQ(start->thumbnailData, parsed->bytes.data() + 300);
  EXPECT_EQ(size->length, 1234u);
  // The thumbnail bytes are not looked at by the directory parse.
  EXPECT_TRUE(parsed->tracker.isUnclaimed(parsed->bytes.data() + 300, 8));

  // The thumbnail offset counts as a value position for the link rule; the length does not.
  TiffBlock linked(false);
  linked.header(8).ifd(8, {{513, 4, 1, 20}}, 100).ifd(100, {shortEntry(274, 1, false)});
  const auto linkedParsed = parsedOf(linked);
  EXPECT_EQ(linkedParsed->directory.count(), 1u);
  TiffBlock lengthOnly(false);
  lengthOnly.header(8).ifd(8, {{514, 4, 1, 20}}, 100).ifd(100, {shortEntry(274, 1, false)});
  const auto lengthParsed = parsedOf(lengthOnly);
  EXPECT_EQ(lengthParsed->directory.count(), 2u);
}

// A block with Make at 100 and a MakerNote of 64 bytes at 200.
TiffBlock makerNoteBlock(bool bigEndian, const std::string& make, uint32_t makeCount) {
  TiffBlock b(bigEndian);
  b.header(8).ifd(8, {{271, 2, makeCount, 100}, {34665, 4, 1, 40}}, 0);
  b.ifd(40, {{37500, 7, 64, 200}, shortEntry(0xa001, 1, bigEndian)}, 0);
  b.bytes(100, make);
  return b;
}

TEST(TiffMakerNotes, CanonNoteIsParsedAndNamespaced) {
  TiffBlock b = makerNoteBlock(true, std::string("Canon\0", 6), 6);
  b.ifd(200, {{1, 3, 2, 0, std::string("\0\1\0\2", 4)}, {6, 2, 4, 0, std::string("IMG")}}, 0);
  const auto parsed = parsedOf(b);
  const auto* note = dynamic_cast<const CanonMakerNote*>(parsed->directory.findTag(37500));
  ASSERT_NE(note, nullptr);
  ASSERT_EQ(note->directory.count(), 2u);
  EXPECT_EQ(note->directory.entries[1]->tag, 0x20006u);
  // The note answers for its own tag only.
  EXPECT_EQ(parsed->directory.findTag(0x20001), nullptr);
  EXPECT_EQ(note->findTag(37500), note);
  // The entry after the maker note is parsed->
  EXPECT_NE(parsed->directory.findTag(0xa001), nullptr);
}

TEST(TiffMakerNotes, DamagedCanonNoteKeepsWhatItReadAndTheBlockGoesOn) {
  // Five entries announced; the third has an SSHORT type.
  TiffBlock b = makerNoteBlock(false, std::string("Canon EOS\0", 10), 10);
  b.ifd(200, {{1, 3, 1, 5}, {2, 3, 1, 6}, {3, 8, 1, 0}, {4, 3, 1, 0}, {5, 3, 1, 0}});
  const auto parsed = parsedOf(b);
  const auto* note = dynamic_cast<const CanonMakerNote*>(parsed->directory.findTag(37500));
  ASSERT_NE(note, nullptr);
  ASSERT_EQ(note->directory.count(), 2u);
  EXPECT_EQ(note->directory.entries[1]->tag, 0x20002u);
  EXPECT_NE(parsed->directory.findTag(0xa001), nullptr);
  // Bytes claimed before the fault stay claimed.
  EXPECT_FALSE(parsed->tracker.isUnclaimed(parsed->bytes.data() + 200, 2));

  // A note whose IFD is cut by the end of the block.
  TiffBlock cut = makerNoteBlock(false, std::string("Canon\0", 6), 6);
  cut.ifd(200, {{1, 3, 1, 5}, {2, 3, 1, 6}}).put16(200, 40).put32(46, 30).resize(230);
  const auto cutParsed = parsedOf(cut);
  const auto* cutNote = dynamic_cast<const CanonMakerNote*>(cutParsed->directory.findTag(37500));
  ASSERT_NE(cutNote, nullptr);
  EXPECT_EQ(cutNote->directory.count(), 2u);
}

TEST(TiffMakerNotes, CanonRuleNeedsACountedTerminatorAndAnAsciiMake) {
  for (const auto& [make, count, type] : {std::tuple{std::string("Canon"), 5u, uint16_t{2}},
                                          std::tuple{std::string("Canon\0", 6), 6u, uint16_t{7}},
                                          std::tuple{std::string("canon\0", 6), 6u, uint16_t{2}}}) {
    TiffBlock b = makerNoteBlock(false, make, count);
    b.put16(12, type);
    b.ifd(200, {{1, 3, 1, 5}});
    const auto parsed = parsedOf(b);
    const TIFFEntry* note = parsed->directory.findTag(37500);
    ASSERT_NE(note, nullptr);
    EXPECT_EQ(dynamic_cast<const TIFFNestedDir*>(note), nullptr) << make;
  }
  // No Make at all.
  TiffBlock b(false);
  b.header(8).ifd(8, {{37500, 7, 64, 200}}).ifd(200, {{1, 3, 1, 5}});
  const auto parsed = parsedOf(b);
  EXPECT_EQ(dynamic_cast<const TIFFNestedDir*>(parsed->directory.findTag(37500)), nullptr);
}

TEST(TiffMakerNotes, SonyNoteNeedsItsHeaderAndHasNoChain) {
  for (const char* prefix : {"SONY DSC ", "SONY CAM "}) {
    TiffBlock b = makerNoteBlock(false, std::string("SONY\0", 5), 5);
    b.bytes(200, std::string(prefix) + std::string(3, '\0'));
    // One entry and a link to an IFD at 300 that must not be followed.
    b.ifd(212, {{0xb000, 1, 4, 0, std::string("\1\2\3\4", 4)}}, 300 - 0);
    b.ifd(300, {{0xb001, 3, 1, 0}});
    const auto parsed = parsedOf(b);
    const auto* note = dynamic_cast<const SonyMakerNote*>(parsed->directory.findTag(37500));
    ASSERT_NE(note, nullptr) << prefix;
    EXPECT_EQ(note->value - parsed->bytes.data(), 212);
    ASSERT_EQ(note->directory.count(), 1u);
    EXPECT_EQ(note->directory.entries[0]->tag, 0x1b000u);
    EXPECT_FALSE(parsed->tracker.isUnclaimed(parsed->bytes.data() + 200, 12));
    EXPECT_TRUE(parsed->tracker.isUnclaimed(parsed->bytes.data() + 300, 2));
  }
  for (const std::string& prefix :
       {std::string("SONY DSC \0\0\1", 12), std::string("Sony DSC \0\0\0", 12)}) {
    TiffBlock b = makerNoteBlock(false, std::string("SONY\0", 5), 5);
    b.bytes(200, prefix).ifd(212, {{0xb000, 1, 1, 0}});
    const auto parsed = parsedOf(b);
    EXPECT_EQ(dynamic_cast<const TIFFNestedDir*>(parsed->directory.findTag(37500)), nullptr);
    EXPECT_TRUE(parsed->tracker.isUnclaimed(parsed->bytes.data() + 200, 12));
  }
  // "SONY" without its zero byte in the count is not the Sony make.
  TiffBlock b = makerNoteBlock(false, std::string("SONY"), 4);
  b.put32(18, 0).bytes(18, std::string("SONY"));
  b.bytes(200, std::string("SONY DSC \0\0\0", 12)).ifd(212, {{0xb000, 1, 1, 0}});
  const auto parsed = parsedOf(b);
  EXPECT_EQ(dynamic_cast<const TIFFNestedDir*>(parsed->directory.findTag(37500)), nullptr);
}

TEST(TiffMakerNotes, SonyNoteWithBadEntryIsKeptQuietly) {
  TiffBlock b = makerNoteBlock(true, std::string("SONY\0", 5), 5);
  b.bytes(200, std::string("SONY DSC \0\0\0", 12));
  b.ifd(212, {{0xb000, 1, 1, 0}, {0xb001, 6, 1, 0}});
  const auto parsed = parsedOf(b);
  const auto* note = dynamic_cast<const SonyMakerNote*>(parsed->directory.findTag(37500));
  ASSERT_NE(note, nullptr);
  EXPECT_EQ(note->directory.count(), 1u);
  EXPECT_NE(parsed->directory.findTag(0xa001), nullptr);
}

TEST(TiffExport, DescriptiveTagsBecomeProperties) {
  for (bool bigEndian : {false, true}) {
    TiffBlock b(bigEndian);
    b.header(8).ifd(8,
                    {{271, 2, 6, 200},
                     shortEntry(274, 6, bigEndian),
                     {282, 5, 1, 210},
                     {269, 4, 1, 77},
                     {305, 11, 1, 0x3FC00000},  // 1.5f
                     {283, 5, 2, 220},          // count 2: not exported
                     {296, 3, 2, 0},            // count 2: not exported
                     {0x8298, 7, 3, 0},         // UNDEFINED: not exported
                     {0x100, 4, 1, 5},          // not a descriptive tag
                     {34853, 4, 1, 300}},
                    140);
    b.bytes(200, std::string("Canon\0", 6)).put32(210, 72).put32(214, 1);
    b.ifd(140, {{282, 5, 1, 240}}, 0).put32(240, 300).put32(244, 1);
    b.ifd(300, {{274, 3, 1, 0, std::string("\0\0", 2)}, {306, 2, 4, 0, std::string("GPS")}});
    const auto parsed = parsedOf(b);
    PixelImage image;
    parsed->directory.applyToImage(unusedDecoderState(), bigEndian, image, false);
    const PropertyList& props = image.properties;
    ASSERT_EQ(props.count(), 5u);
    EXPECT_STREQ(reinterpret_cast<const char*>(props.find(271)->data()), "Canon");
    EXPECT_EQ(orientation(props), 6);
    uint32_t ratio[2];
    std::memcpy(ratio, props.find(282)->data(), 8);
    EXPECT_EQ(ratio[0], 300u);  // IFD1's value, the later in list order
    EXPECT_EQ(ratio[1], 1u);
    float real;
    std::memcpy(&real, props.find(305)->data(), 4);
    EXPECT_EQ(real, 1.5f);
    EXPECT_EQ(props.find(283), nullptr);
    EXPECT_EQ(props.find(306), nullptr);  // only in the GPS directory
  }
}

}  // namespace
}  // namespace tessel
