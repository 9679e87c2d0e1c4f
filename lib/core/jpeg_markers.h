#pragma once

// The byte rules of JPEG streams, in one place for every reader of them: the segment reader, the
// decoder's walk over entropy-coded data and between scans, and the image-format sniffing of the
// imaging library. A marker is 0xFF and a code byte; in front of it stand any number of fill
// bytes 0xFF. Inside entropy-coded data 0xFF 0x00 is a stuffed data byte and the restart markers
// RST0-RST7 separate intervals; every other marker ends the data of a scan. Markers without a
// length field are TEM, RST0-RST7, SOI and EOI; every other segment's two-byte big-endian length
// field counts itself and its payload.

#include <cstddef>
#include <cstdint>

namespace tessel {

// Marker codes: the byte after 0xFF.
inline constexpr uint8_t kMarkerPrefix = 0xFF;
inline constexpr uint8_t kStuffedZero = 0x00;  // 0xFF 0x00 in entropy-coded data
inline constexpr uint8_t kCodeSof0 = 0xC0;     // baseline sequential, Huffman
inline constexpr uint8_t kCodeSof2 = 0xC2;     // progressive, Huffman
inline constexpr uint8_t kCodeDht = 0xC4;
inline constexpr uint8_t kCodeRst0 = 0xD0;
inline constexpr uint8_t kCodeSoi = 0xD8;
inline constexpr uint8_t kCodeEoi = 0xD9;
inline constexpr uint8_t kCodeSos = 0xDA;
inline constexpr uint8_t kCodeDqt = 0xDB;
inline constexpr uint8_t kCodeDri = 0xDD;
inline constexpr uint8_t kCodeApp0 = 0xE0;
inline constexpr uint8_t kCodeApp1 = 0xE1;
inline constexpr uint8_t kCodeApp2 = 0xE2;
inline constexpr uint8_t kCodeApp12 = 0xEC;
inline constexpr uint8_t kCodeApp13 = 0xED;
inline constexpr uint8_t kCodeApp14 = 0xEE;
inline constexpr uint8_t kCodeCom = 0xFE;

// Every SOFn: 0xC0-0xCF but DHT (0xC4), JPG (0xC8) and DAC (0xCC).
constexpr bool isSofCode(uint8_t code) {
  return code >= 0xC0 && code <= 0xCF && code != 0xC4 && code != 0xC8 && code != 0xCC;
}
constexpr bool isAppCode(uint8_t code) {
  return code >= 0xE0 && code <= 0xEF;
}
constexpr bool isRestartCode(uint8_t code) {
  return code >= kCodeRst0 && code <= kCodeRst0 + 7;
}
// Markers without a length field: TEM, the restart markers, SOI and EOI.
constexpr bool isStandaloneCode(uint8_t code) {
  return code == 0x01 || (code >= kCodeRst0 && code <= kCodeEoi);
}
// Whether the two bytes at `p` (of which at least `available` can be read) continue entropy-coded
// data: anything but 0xFF first, or a stuffed 0xFF 0x00. An 0xFF as the last byte is a marker.
constexpr bool continuesData(const uint8_t* p, ptrdiff_t available) {
  return p[0] != kMarkerPrefix || (available >= 2 && p[1] == kStuffedZero);
}

// The next marker in entropy-coded data [p, end) other than a restart marker: the 0xFF of the
// first pair 0xFF x, x neither 0x00 nor RST0-RST7, or `end` when there is none.
const uint8_t* nextSegmentMarker(const uint8_t* p, const uint8_t* end);

// Past the bytes that may stand in front of a segment's marker after entropy-coded data and
// that a reader of the next segment passes over: 0x00 bytes and 0xFF 0x00 pairs. Returns the
// first byte of [p, end) that is neither, `end` when there is none, or `p` when `p` >= `end`.
const uint8_t* skipMarkerPadding(const uint8_t* p, const uint8_t* end);

// The EOI that ends an image's entropy-coded data starting at `p`: the walk passes over stuffed
// 0xFF 0x00 pairs, restart markers, reserved codes (below 0xC0, which damaged data may hold: no
// length of theirs is trusted) and fill bytes, and over the segments between scans (codes 0xC0
// and above) by their lengths. Null when the data holds no EOI before `end` (a file cut short).
const uint8_t* findImageEnd(const uint8_t* p, const uint8_t* end);

// One segment of a stream's headers (up to the first scan), where every marker has a length
// field, as a walk from one marker to the next finds it.
struct SegmentAt {
  uint8_t code = 0;
  size_t marker = 0;  // offset of its 0xFF
  size_t field = 0;   // the length field: 2 for the field itself plus the payload
  size_t next() const { return marker + 2 + field; }  // where the next marker should be
};
// Reads the segment whose marker (after any fill bytes) is at offset `at` of [data, data + size):
// false when there is no 0xFF there or no room for a code and a length field. The payload may
// run past `size`: the caller checks what it reads.
bool readSegmentAt(const uint8_t* data, size_t size, size_t at, SegmentAt& segment);

}  // namespace tessel
