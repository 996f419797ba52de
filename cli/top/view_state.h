// What the person at the terminal has chosen: sort, filter, selection, the
// screen shown. Keys change it through one pure function, so every key is
// tested as (state, key) -> state without a terminal.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "top_model.h"

namespace gpuproc::tool {

enum class SortColumn {
  kPid,
  kUser,
  kGpu,
  kDedicated,
  kShared,
  kCommitted,
  kThreeD,
  kOther,
  kOwner,
  kName
};
inline constexpr int kSortColumnCount = 10;

enum class Mode { kTable, kHelp, kDetail, kSearch, kFilter, kSignalMenu, kSignalConfirm };

struct SignalRequest {
  std::uint32_t processId;
  int signal;
  bool operator==(const SignalRequest&) const = default;
};

// The signals the kill menu offers, in its order.
struct SignalChoice {
  int signal;
  const char* name;
};
const std::vector<SignalChoice>& SignalChoices();

struct ViewState {
  Mode mode = Mode::kTable;
  Mode returnMode = Mode::kTable;  // where the signal menu goes back to
  SortColumn sort = SortColumn::kDedicated;
  bool inverted = false;
  std::optional<RowKey> selected;  // follows the process across refreshes and sorts
  std::size_t selectedIndex = 0;   // where the selection stays when its process goes
  std::size_t scroll = 0;          // first row shown
  std::string search, filter;
  std::optional<std::size_t> gpu;  // the GPU shown; all without
  bool activeOnly = false;
  bool paused = false;
  std::size_t signalChoice = 0;
  std::string message;                        // until the next key
  std::optional<SignalRequest> signalToSend;  // for the front to send, then clear
  bool quit = false;
  bool operator==(const ViewState&) const = default;
};

enum class KeyCode {
  kNone,
  kText,
  kUp,
  kDown,
  kPageUp,
  kPageDown,
  kHome,
  kEnd,
  kLeft,
  kRight,
  kEnter,
  kEscape,
  kBackspace,
  kF1,
  kF3,
  kF4,
  kF6,
  kF9,
  kF10,
  kClick
};

struct Key {
  KeyCode code = KeyCode::kNone;
  std::string text;  // kText: one character, UTF-8
  int x = 0, y = 0;  // kClick: the cell
};

// A column of the table as drawn: its cells [begin, end) on the header line.
struct ColumnSpan {
  int begin, end;
  SortColumn column;
};

// What a key needs to know of the screen it was pressed on.
struct ViewContext {
  std::vector<const ProcessRow*> rows;  // as shown: filtered and sorted
  std::size_t pageRows = 1;             // table rows that fit
  std::size_t gpuCount = 0;
  std::size_t scroll = 0;  // first row shown, as drawn
  int headerY = -1;        // the table's header line; -1 without one
  std::vector<ColumnSpan> columns;
  std::string signalsDisabled;  // why signals cannot be sent; "" when they can
};

// The row index the selection stands on in `rows` (0 when empty).
std::size_t SelectedIndex(const ViewState& state, const std::vector<const ProcessRow*>& rows);

ViewState ApplyKey(ViewState state, const Key& key, const ViewContext& context);

// The rows the table shows: the GPU chosen, active ones only where asked,
// matching the filter (name, owner or command line, case-insensitive),
// sorted on the sort column with ties broken by the columns after it.
std::vector<const ProcessRow*> VisibleRows(const TopModel& model, const ViewState& state);

// The header text of a sort column.
const char* ColumnTitle(SortColumn column);

}  // namespace gpuproc::tool
