// The screen as a grid of cells, each a character and a style: what the
// layout code produces and the only thing handed to the terminal. Text()
// gives it as lines, which is how the layout is tested.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace gpuproc::tool {

enum class Style : std::uint8_t {
  kNormal,
  kTitle,
  kHeader,
  kSortHeader,
  kSelected,
  kBarLow,
  kBarMid,
  kBarHigh,
  kMemory,
  kHistory,
  kKey,
  kKeyLabel,
  kWarning,
  kDim
};

struct Cell {
  std::string text = " ";  // one character; "" for the second cell of a wide one
  Style style = Style::kNormal;
};

class CellGrid {
 public:
  CellGrid(int width, int height);

  int Width() const { return width_; }
  int Height() const { return height_; }
  const Cell& At(int x, int y) const { return cells_[Index(x, y)]; }

  // Writes `text`, which must already be terminal-safe, from (x, y) on, at
  // most `maxCells` cells and never past the line's end; a wide character
  // that would be split is left out. Returns the cells written.
  int Put(int x, int y, std::string_view text, Style style, int maxCells = 1 << 20);
  // Sets the style of cells [x, x + count) on line y, keeping their text.
  void Paint(int x, int y, int count, Style style);

  // The lines, trailing blanks removed, each ending in '\n'.
  std::string Text() const;

 private:
  std::size_t Index(int x, int y) const {
    return static_cast<std::size_t>(y) * static_cast<std::size_t>(width_) +
           static_cast<std::size_t>(x);
  }
  int width_, height_;
  std::vector<Cell> cells_;
};

}  // namespace gpuproc::tool
