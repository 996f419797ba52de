// Text from other users (process names, GPU and engine names) made fit for a
// terminal: nothing in it may move the cursor, change colours or end the
// line, and its width is counted in the cells the terminal gives it.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace gpuproc::tool {

// `text` with every control, format and separator character written as an
// escape ("\x1b", "\n", "\u202e") and every byte that is not part of valid
// UTF-8 as "?".
std::string SafeForTerminal(std::string_view text);

// The cells the terminal gives SafeForTerminal(text): East Asian wide and
// fullwidth characters take two, combining marks none, the rest one.
std::size_t CellCount(std::string_view text);

// SafeForTerminal(text) in at most `cells` cells. A longer text is cut
// before the character that does not fit, never inside an escape, and ends
// in `cutMark` (ASCII, at most `cells` long).
std::string FitToCells(std::string_view text, std::size_t cells, std::string_view cutMark = "~");

// SafeForTerminal(text) in lines of at most `cells` cells, broken at spaces
// (the spaces where a line breaks are dropped); a word longer than a line is
// broken where the line is full. Always at least one line.
std::vector<std::string> WrapToCells(std::string_view text, std::size_t cells);

}  // namespace gpuproc::tool
