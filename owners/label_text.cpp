#include "label_text.h"

namespace gpuproc {

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD

// The length of the well-formed UTF-8 sequence at the start of `text`, or 0
// when it is not one (the ranges of the Unicode standard's table 3-7).
std::size_t ValidSequenceLength(std::string_view text) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(0);
  if (lead < 0x80) return 1;
  std::size_t length = 0;
  unsigned char secondLow = 0x80;
  unsigned char secondHigh = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) secondLow = 0xA0;   // overlong
    if (lead == 0xED) secondHigh = 0x9F;  // UTF-16 surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) secondLow = 0x90;   // overlong
    if (lead == 0xF4) secondHigh = 0x8F;  // above U+10FFFF
  } else {
    return 0;
  }
  if (text.size() < length) return 0;
  if (byte(1) < secondLow || byte(1) > secondHigh) return 0;
  for (std::size_t i = 2; i < length; ++i) {
    if (byte(i) < 0x80 || byte(i) > 0xBF) return 0;
  }
  return length;
}

}  // namespace

std::string LabelText(std::string_view text, std::size_t maxBytes) {
  std::string result;
  result.reserve(text.size() < maxBytes ? text.size() : maxBytes);
  while (!text.empty()) {
    const std::size_t length = ValidSequenceLength(text);
    const std::string_view piece = length != 0 ? text.substr(0, length) : kReplacement;
    if (result.size() + piece.size() > maxBytes) break;
    result.append(piece);
    // An invalid byte is replaced on its own, so the bytes after it are
    // read afresh and a valid character there is kept.
    text.remove_prefix(length != 0 ? length : 1);
  }
  return result;
}

}  // namespace gpuproc
