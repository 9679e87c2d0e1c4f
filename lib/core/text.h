#pragma once

#include <cstdint>
#include <ostream>
#include <string>

#include "core/printf_format.h"

namespace tessel {

// printf-style output to a stream.
void writef(std::ostream& out, const char* format, ...) TESSEL_PRINTF_FORMAT(2, 3);

// Two spaces per level; nothing for a level of 0 or less. Every listing indents with it.
void indent(int level, std::ostream& out);

// Appends a code point as UTF-8.
void appendUtf8(std::string& text, uint32_t codePoint);

// Prints a byte as the character of that code point (so bytes above 0x7E come out as their
// Latin-1 character, UTF-8 encoded).
void putByteChar(std::ostream& out, uint8_t byte);
// Writes UTF-8 text: each well-formed sequence as it is, any other byte as putByteChar does, so
// the output is UTF-8 whatever the bytes.
void putUtf8Text(std::ostream& out, const uint8_t* bytes, size_t length);

// Hex dump of a payload at `level`: " %02x" per byte, 16 bytes a line, each line indented.
void hexDump(const uint8_t* bytes, int32_t length, int level, std::ostream& out);

}  // namespace tessel
