#pragma once
// Value kinds of the option vocabulary. Numbers are decimal; a bad number throws
// std::invalid_argument with the ordinary conversion message ("'x' is not a valid integer
// value"), which the encoder component reports like any rejected option.

#include <cstdint>
#include <string>
#include <vector>

namespace ffopt {
std::string Trim(const std::string& s);
std::string Lower(std::string s);
bool SameText(const std::string& a, const std::string& b);

// "0" is false; any other text, the empty one too, is true.
bool ParseBool(const std::string& value);
int ParseInt(const std::string& value);
int64_t ParseInt64(const std::string& value);
double ParseFloat(const std::string& value);

// The first four characters as a little-endian code; missing characters count as zero bytes.
uint32_t CodecTag(const std::string& value);

// C integer (strtol base 0) at pos, leaving pos after the digits; 0 when there are none.
long ParseCLong(const std::string& text, size_t& pos);

// 64 comma-separated integers; throws FFmpegException "Syntax error in matrix ..." when the text
// ends early.
std::vector<uint16_t> ParseMatrix(const std::string& text);
} // namespace ffopt
