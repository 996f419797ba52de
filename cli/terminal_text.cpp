#include "terminal_text.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <iterator>
#include <utility>

namespace gpuproc::tool {
namespace {

enum class CellKind : std::uint8_t { kEscaped, kZeroWidth, kWide };

struct CellRange {
  char32_t first;
  char32_t last;
  CellKind kind;
};

// Every character from U+0080 up that is not one cell wide. Generated from
// Unicode's data rather than guessed, so that CJK names and emoji line up.
constexpr CellRange kCellRanges[] = {
#include "cell_width_table.inc"
};

// One character of the input as it goes out: itself, an escape or "?".
struct Piece {
  std::string_view text;
  std::size_t cells;
};

// The code point of the valid UTF-8 sequence at the start of `text` and its
// length; length 0 for a byte that does not start one (overlong forms,
// surrogates and values past U+10FFFF included).
std::size_t DecodeUtf8(std::string_view text, char32_t& code) {
  const auto lead = static_cast<unsigned char>(text[0]);
  std::size_t length = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead < 0x80) {
    code = lead;
    return 1;
  } else if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    code = lead & 0x1Fu;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    code = lead & 0x0Fu;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    code = lead & 0x07u;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (text.size() < length) return 0;
  for (std::size_t at = 1; at < length; ++at) {
    const auto next = static_cast<unsigned char>(text[at]);
    if (next < (at == 1 ? low : 0x80) || next > (at == 1 ? high : 0xBF)) return 0;
    code = (code << 6) | (next & 0x3Fu);
  }
  return length;
}

// The kind of a character that is not one cell wide; nullptr for the rest.
const CellKind* FindKind(char32_t code) {
  static constexpr CellKind kControl = CellKind::kEscaped;
  if (code < 0x80) return code < 0x20 || code == 0x7F ? &kControl : nullptr;
  const auto after =
      std::upper_bound(std::begin(kCellRanges), std::end(kCellRanges), code,
                       [](char32_t c, const CellRange& range) { return c < range.first; });
  if (after == std::begin(kCellRanges) || code > std::prev(after)->last) return nullptr;
  return &std::prev(after)->kind;
}

// "\t", "\x1b", "\u202e" or "\U000e0001" into `buffer`; its length.
std::size_t WriteEscape(char32_t code, char (&buffer)[16]) {
  const char* format = code == '\t'     ? "\\t"
                       : code == '\n'   ? "\\n"
                       : code == '\r'   ? "\\r"
                       : code < 0x100   ? "\\x%02x"
                       : code < 0x10000 ? "\\u%04x"
                                        : "\\U%08x";
  return static_cast<std::size_t>(
      std::snprintf(buffer, sizeof buffer, format, static_cast<unsigned>(code)));
}

// Calls visit(piece) for each character of `text` in turn until it returns
// false.
template <typename Visit>
void ForEachPiece(std::string_view text, Visit&& visit) {
  char escape[16];
  while (!text.empty()) {
    char32_t code = 0;
    const std::size_t length = DecodeUtf8(text, code);
    const CellKind* kind = length == 0 ? nullptr : FindKind(code);
    Piece piece{text.substr(0, length), 1};
    if (length == 0) {
      piece.text = "?";
    } else if (kind != nullptr && *kind == CellKind::kEscaped) {
      piece.cells = WriteEscape(code, escape);
      piece.text = std::string_view(escape, piece.cells);
    } else if (kind != nullptr) {
      piece.cells = *kind == CellKind::kWide ? 2 : 0;
    }
    if (!visit(piece)) return;
    text.remove_prefix(std::max<std::size_t>(length, 1));
  }
}

}  // namespace

std::string SafeForTerminal(std::string_view text) {
  std::string safe;
  safe.reserve(text.size());
  ForEachPiece(text, [&](const Piece& piece) {
    safe += piece.text;
    return true;
  });
  return safe;
}

std::size_t CellCount(std::string_view text) {
  std::size_t cells = 0;
  ForEachPiece(text, [&](const Piece& piece) {
    cells += piece.cells;
    return true;
  });
  return cells;
}

std::string FitToCells(std::string_view text, std::size_t cells, std::string_view cutMark) {
  if (CellCount(text) <= cells) return SafeForTerminal(text);
  const std::size_t room = cells - std::min(cells, cutMark.size());
  std::string fitted;
  std::size_t used = 0;
  ForEachPiece(text, [&](const Piece& piece) {
    if (used + piece.cells > room) return false;
    fitted += piece.text;
    used += piece.cells;
    return true;
  });
  return fitted += cutMark;
}

std::vector<std::string> WrapToCells(std::string_view text, std::size_t cells) {
  std::vector<std::string> lines;
  std::string line, word;
  std::size_t lineCells = 0, wordCells = 0;
  const auto placeWord = [&] {
    if (wordCells == 0 && word.empty()) return;
    if (lineCells > 0 && lineCells + 1 + wordCells > cells) {
      lines.push_back(std::move(line));
      line.clear();
      lineCells = 0;
    }
    if (lineCells > 0) {
      line += ' ';
      ++lineCells;
    }
    line += word;
    lineCells += wordCells;
    word.clear();
    wordCells = 0;
  };
  ForEachPiece(text, [&](const Piece& piece) {
    if (piece.text == " ") {
      placeWord();
      return true;
    }
    // A word longer than a whole line (a long path) is broken where the
    // line ends, never inside a character or an escape.
    if (wordCells > 0 && wordCells + piece.cells > cells) {
      if (lineCells > 0) lines.push_back(std::exchange(line, {}));
      lines.push_back(std::exchange(word, {}));
      lineCells = wordCells = 0;
    }
    word += piece.text;
    wordCells += piece.cells;
    return true;
  });
  placeWord();
  if (!line.empty() || lines.empty()) lines.push_back(std::move(line));
  return lines;
}

}  // namespace gpuproc::tool
