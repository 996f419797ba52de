// The rows as the table shows them, shared by the drawing and the keys.
#include <algorithm>
#include <csignal>

#include "view_state.h"

namespace gpuproc::tool {
namespace {

std::string Lower(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return lower;
}

int Order(const std::optional<double>& a, const std::optional<double>& b) {
  // Figures: largest first; an unread one after every read one.
  if (a.has_value() != b.has_value()) return a ? -1 : 1;
  if (!a || *a == *b) return 0;
  return *a > *b ? -1 : 1;
}

template <typename T>
int Ascending(const T& a, const T& b) {
  return a < b ? -1 : b < a ? 1 : 0;
}

std::optional<double> OtherPercent(const ProcessRow& row) {
  const EngineUse* other = row.BusiestOther();
  return other == nullptr ? std::nullopt : other->percent;
}

int Compare(SortColumn column, const ProcessRow& a, const ProcessRow& b) {
  switch (column) {
    case SortColumn::kPid:
      return Ascending(a.key.processId, b.key.processId);
    case SortColumn::kUser:
      return Ascending(a.details.user, b.details.user);
    case SortColumn::kGpu:
      return Ascending(a.gpu, b.gpu);
    case SortColumn::kDedicated:
      return Order(a.dedicated, b.dedicated);
    case SortColumn::kShared:
      return Order(a.shared, b.shared);
    case SortColumn::kCommitted:
      return Order(a.committed, b.committed);
    case SortColumn::kThreeD:
      return Order(a.EnginePercent("3D"), b.EnginePercent("3D"));
    case SortColumn::kOther:
      return Order(OtherPercent(a), OtherPercent(b));
    case SortColumn::kOwner:
      return Ascending(a.details.owner, b.details.owner);
    case SortColumn::kName:
      return Ascending(Lower(a.name), Lower(b.name));
  }
  return 0;
}

}  // namespace

const std::vector<SignalChoice>& SignalChoices() {
  static const std::vector<SignalChoice> kChoices = {
      {SIGTERM, "TERM"}, {SIGINT, "INT"}, {SIGKILL, "KILL"}};
  return kChoices;
}

const char* ColumnTitle(SortColumn column) {
  static const char* const kTitles[] = {"PID",       "USER", "GPU",   "DEDICATED", "SHARED",
                                        "COMMITTED", "3D",   "OTHER", "OWNER",     "NAME"};
  return kTitles[static_cast<int>(column)];
}

std::vector<const ProcessRow*> VisibleRows(const TopModel& model, const ViewState& state) {
  const std::string filter = Lower(state.filter);
  std::vector<const ProcessRow*> rows;
  for (const ProcessRow& row : model.Rows()) {
    if (state.gpu && row.gpu != *state.gpu) continue;
    if (state.activeOnly && !row.Active()) continue;
    if (!filter.empty() && Lower(row.name).find(filter) == std::string::npos &&
        Lower(row.details.owner).find(filter) == std::string::npos &&
        Lower(row.details.commandLine).find(filter) == std::string::npos) {
      continue;
    }
    rows.push_back(&row);
  }
  const int first = static_cast<int>(state.sort);
  std::stable_sort(rows.begin(), rows.end(), [&](const ProcessRow* a, const ProcessRow* b) {
    for (int step = 0; step < kSortColumnCount; ++step) {
      const auto column = static_cast<SortColumn>((first + step) % kSortColumnCount);
      int order = Compare(column, *a, *b);
      if (step == 0 && state.inverted) order = -order;
      if (order != 0) return order < 0;
    }
    return a->key.adapter < b->key.adapter;
  });
  return rows;
}

std::size_t SelectedIndex(const ViewState& state, const std::vector<const ProcessRow*>& rows) {
  if (rows.empty()) return 0;
  if (state.selected) {
    for (std::size_t index = 0; index < rows.size(); ++index) {
      if (rows[index]->key == *state.selected) return index;
    }
  }
  return std::min(state.selectedIndex, rows.size() - 1);
}

}  // namespace gpuproc::tool
