#include "cell_grid.h"

#include <algorithm>

#include "terminal_text.h"

namespace gpuproc::tool {
namespace {

// The bytes of the UTF-8 character at the start of `text`, which is valid
// (terminal-safe text is).
std::size_t CharacterLength(unsigned char lead) {
  return lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
}

}  // namespace

CellGrid::CellGrid(int width, int height)
    : width_(std::max(width, 0)),
      height_(std::max(height, 0)),
      cells_(static_cast<std::size_t>(width_) * static_cast<std::size_t>(height_)) {}

int CellGrid::Put(int x, int y, std::string_view text, Style style, int maxCells) {
  if (y < 0 || y >= height_ || x < 0) return 0;
  const int end = std::min(width_, x + std::max(maxCells, 0));
  int at = x;
  while (!text.empty() && at < end) {
    const std::size_t length =
        std::min(CharacterLength(static_cast<unsigned char>(text[0])), text.size());
    const std::string_view character = text.substr(0, length);
    text.remove_prefix(length);
    // ASCII needs no table lookup: most of the screen is ASCII.
    const int cells = length == 1 ? 1 : static_cast<int>(CellCount(character));
    if (cells == 0) {
      // A combining mark joins the character before it.
      if (at > x) cells_[Index(at - 1, y)].text += character;
      continue;
    }
    if (at + cells > end) break;
    cells_[Index(at, y)] = {std::string(character), style};
    if (cells == 2) cells_[Index(at + 1, y)] = {std::string(), style};
    at += cells;
  }
  return at - x;
}

void CellGrid::Paint(int x, int y, int count, Style style) {
  if (y < 0 || y >= height_) return;
  for (int at = std::max(x, 0); at < std::min(width_, x + count); ++at) {
    cells_[Index(at, y)].style = style;
  }
}

std::string CellGrid::Text() const {
  std::string text;
  for (int y = 0; y < height_; ++y) {
    std::string line;
    for (int x = 0; x < width_; ++x) line += cells_[Index(x, y)].text;
    line.erase(line.find_last_not_of(' ') + 1);
    text += line;
    text += '\n';
  }
  return text;
}

}  // namespace gpuproc::tool
