#include "platform/linux/utf16.h"

#include <cstdint>

namespace gpuproc {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

bool IsHighSurrogate(char16_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool IsLowSurrogate(char16_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

int EncodedLength(char32_t c) { return c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4; }

void Encode(char32_t c, char* out) {
  switch (EncodedLength(c)) {
    case 1:
      out[0] = static_cast<char>(c);
      break;
    case 2:
      out[0] = static_cast<char>(0xC0 | (c >> 6));
      out[1] = static_cast<char>(0x80 | (c & 0x3F));
      break;
    case 3:
      out[0] = static_cast<char>(0xE0 | (c >> 12));
      out[1] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out[2] = static_cast<char>(0x80 | (c & 0x3F));
      break;
    default:
      out[0] = static_cast<char>(0xF0 | (c >> 18));
      out[1] = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out[2] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out[3] = static_cast<char>(0x80 | (c & 0x3F));
      break;
  }
}

// Decodes the code point at `text[i]`, advancing `i`; an unpaired surrogate
// decodes as U+FFFD.
char32_t NextCodePoint(const char16_t* text, int length, int& i) {
  const char16_t unit = text[i++];
  if (IsHighSurrogate(unit) && i < length && IsLowSurrogate(text[i])) {
    const char16_t low = text[i++];
    return 0x10000 + ((static_cast<char32_t>(unit) - 0xD800) << 10) + (low - 0xDC00);
  }
  if (IsHighSurrogate(unit) || IsLowSurrogate(unit)) return kReplacement;
  return unit;
}

}  // namespace

int Utf16ToUtf8(const char16_t* text, int length, char* out, int outSize) {
  if (text == nullptr || length <= 0) return 0;
  const bool measureOnly = out == nullptr || outSize <= 0;
  int written = 0;
  for (int i = 0; i < length;) {
    const char32_t c = NextCodePoint(text, length, i);
    const int size = EncodedLength(c);
    if (!measureOnly) {
      if (written + size > outSize) return 0;
      Encode(c, out + written);
    }
    written += size;
  }
  return written;
}

std::string Utf16ToUtf8(std::u16string_view text) {
  const int length = static_cast<int>(text.size());
  std::string narrow(static_cast<std::size_t>(Utf16ToUtf8(text.data(), length, nullptr, 0)), '\0');
  Utf16ToUtf8(text.data(), length, narrow.data(), static_cast<int>(narrow.size()));
  return narrow;
}

std::u16string Utf8ToUtf16(std::string_view text) {
  std::u16string wide;
  wide.reserve(text.size());
  const auto byte = [&](std::size_t at) { return static_cast<std::uint8_t>(text[at]); };
  for (std::size_t i = 0; i < text.size();) {
    const std::uint8_t lead = byte(i);
    int extra = 0;
    char32_t c = lead;
    char32_t minimum = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
      extra = 1, c = lead & 0x1F, minimum = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      extra = 2, c = lead & 0x0F, minimum = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      extra = 3, c = lead & 0x07, minimum = 0x10000;
    } else if (lead >= 0x80) {
      wide += static_cast<char16_t>(kReplacement);
      ++i;
      continue;
    }
    bool wellFormed = true;
    for (int k = 1; wellFormed && k <= extra; ++k) {
      if (i + k >= text.size() || (byte(i + k) & 0xC0) != 0x80) {
        wellFormed = false;
      } else {
        c = (c << 6) | (byte(i + k) & 0x3F);
      }
    }
    if (!wellFormed || c < minimum || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
      wide += static_cast<char16_t>(kReplacement);
      ++i;
      continue;
    }
    i += static_cast<std::size_t>(extra) + 1;
    if (c >= 0x10000) {
      c -= 0x10000;
      wide += static_cast<char16_t>(0xD800 + (c >> 10));
      wide += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
    } else {
      wide += static_cast<char16_t>(c);
    }
  }
  return wide;
}

}  // namespace gpuproc
