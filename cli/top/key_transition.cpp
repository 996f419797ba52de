// htop's keys, as a pure function of the view state.
#include <algorithm>

#include "view_state.h"

namespace gpuproc::tool {
namespace {

std::string Lower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

void Select(ViewState& state, const ViewContext& context, std::size_t index) {
  if (context.rows.empty()) return;
  index = std::min(index, context.rows.size() - 1);
  state.selected = context.rows[index]->key;
  state.selectedIndex = index;
  const std::size_t page = std::max<std::size_t>(context.pageRows, 1);
  state.scroll = context.scroll;
  if (index < state.scroll) state.scroll = index;
  if (index >= state.scroll + page) state.scroll = index - page + 1;
}

// Moves the selection for a movement key; false for any other key.
bool Move(ViewState& state, const Key& key, const ViewContext& context) {
  const std::size_t at = SelectedIndex(state, context.rows);
  const std::size_t page = std::max<std::size_t>(context.pageRows, 1);
  const std::size_t last = context.rows.empty() ? 0 : context.rows.size() - 1;
  switch (key.code) {
    case KeyCode::kUp:
      Select(state, context, at == 0 ? 0 : at - 1);
      return true;
    case KeyCode::kDown:
      Select(state, context, at + 1);
      return true;
    case KeyCode::kPageUp:
      Select(state, context, at > page ? at - page : 0);
      return true;
    case KeyCode::kPageDown:
      Select(state, context, std::min(at + page, last));
      return true;
    case KeyCode::kHome:
      Select(state, context, 0);
      return true;
    case KeyCode::kEnd:
      Select(state, context, last);
      return true;
    default:
      return false;
  }
}

// The next row from `from` (wrapping) whose name holds the search text.
void FindName(ViewState& state, const ViewContext& context, std::size_t from) {
  const std::string wanted = Lower(state.search);
  for (std::size_t step = 0; step < context.rows.size(); ++step) {
    const std::size_t index = (from + step) % context.rows.size();
    if (Lower(context.rows[index]->name).find(wanted) != std::string::npos) {
      Select(state, context, index);
      return;
    }
  }
}

void Sort(ViewState& state, SortColumn column) {
  if (state.sort == column) {
    state.inverted = !state.inverted;
  } else {
    state.sort = column;
    state.inverted = false;
  }
}

void SortStep(ViewState& state, int step) {
  const int next = (static_cast<int>(state.sort) + step + kSortColumnCount) % kSortColumnCount;
  state.sort = static_cast<SortColumn>(next);
  state.inverted = false;
}

void OpenSignalMenu(ViewState& state, const ViewContext& context) {
  if (!context.signalsDisabled.empty()) {
    state.message = context.signalsDisabled;
  } else if (!context.rows.empty()) {
    state.returnMode = state.mode;
    state.mode = Mode::kSignalMenu;
    state.signalChoice = 0;
  }
}

bool IsText(const Key& key, const char* text) {
  return key.code == KeyCode::kText && key.text == text;
}

ViewState TableKey(ViewState state, const Key& key, const ViewContext& context) {
  if (Move(state, key, context)) return state;
  if (IsText(key, "q") || key.code == KeyCode::kF10) {
    state.quit = true;
  } else if (IsText(key, "?") || IsText(key, "h") || key.code == KeyCode::kF1) {
    state.mode = Mode::kHelp;
  } else if (IsText(key, "<")) {
    SortStep(state, -1);
  } else if (IsText(key, ">") || key.code == KeyCode::kF6) {
    SortStep(state, 1);
  } else if (IsText(key, "I")) {
    state.inverted = !state.inverted;
  } else if (IsText(key, "/") || key.code == KeyCode::kF3) {
    state.mode = Mode::kSearch;
    state.search.clear();
  } else if (IsText(key, "\\") || key.code == KeyCode::kF4) {
    state.mode = Mode::kFilter;
  } else if (IsText(key, "g")) {
    if (!state.gpu) {
      if (context.gpuCount > 0) state.gpu = 0;
    } else if (*state.gpu + 1 < context.gpuCount) {
      state.gpu = *state.gpu + 1;
    } else {
      state.gpu.reset();
    }
    state.scroll = 0;
  } else if (IsText(key, "c")) {
    state.activeOnly = !state.activeOnly;
  } else if (IsText(key, "p")) {
    state.paused = !state.paused;
  } else if (key.code == KeyCode::kEnter) {
    if (!context.rows.empty()) {
      Select(state, context, SelectedIndex(state, context.rows));
      state.mode = Mode::kDetail;
    }
  } else if (IsText(key, "k") || key.code == KeyCode::kF9) {
    OpenSignalMenu(state, context);
  } else if (key.code == KeyCode::kClick) {
    if (key.y == context.headerY) {
      for (const ColumnSpan& span : context.columns) {
        if (key.x >= span.begin && key.x < span.end) Sort(state, span.column);
      }
    } else if (key.y > context.headerY && context.headerY >= 0) {
      const auto row = context.scroll + static_cast<std::size_t>(key.y - context.headerY - 1);
      if (row < context.rows.size() && row < context.scroll + context.pageRows) {
        Select(state, context, row);
      }
    }
  }
  return state;
}

// Typing into the search or filter line.
ViewState TextEntryKey(ViewState state, const Key& key, const ViewContext& context) {
  std::string& text = state.mode == Mode::kSearch ? state.search : state.filter;
  const bool search = state.mode == Mode::kSearch;
  if (key.code == KeyCode::kText) {
    text += key.text;
  } else if (key.code == KeyCode::kBackspace) {
    // One character, not one byte of it.
    while (!text.empty() && (static_cast<unsigned char>(text.back()) & 0xC0) == 0x80) {
      text.pop_back();
    }
    if (!text.empty()) text.pop_back();
  } else if (key.code == KeyCode::kEnter) {
    state.mode = Mode::kTable;
    return state;
  } else if (key.code == KeyCode::kEscape) {
    if (!search) state.filter.clear();
    state.mode = Mode::kTable;
    return state;
  } else if (search && key.code == KeyCode::kF3) {
    FindName(state, context, SelectedIndex(state, context.rows) + 1);
    return state;
  } else {
    state.mode = Mode::kTable;
    return TableKey(std::move(state), key, context);
  }
  if (search && !context.rows.empty()) FindName(state, context, SelectedIndex(state, context.rows));
  if (!search) {
    state.scroll = 0;
    state.selectedIndex = 0;
  }
  return state;
}

ViewState SignalKey(ViewState state, const Key& key, const ViewContext& context) {
  const std::size_t count = SignalChoices().size();
  if (key.code == KeyCode::kEscape || (state.mode == Mode::kSignalConfirm && IsText(key, "n")) ||
      context.rows.empty()) {
    state.mode = state.returnMode;
  } else if (state.mode == Mode::kSignalMenu) {
    if (key.code == KeyCode::kUp) state.signalChoice = (state.signalChoice + count - 1) % count;
    if (key.code == KeyCode::kDown) state.signalChoice = (state.signalChoice + 1) % count;
    if (key.code == KeyCode::kText && key.text.size() == 1 && key.text[0] >= '1' &&
        static_cast<std::size_t>(key.text[0] - '1') < count) {
      state.signalChoice = static_cast<std::size_t>(key.text[0] - '1');
      state.mode = Mode::kSignalConfirm;
    }
    if (key.code == KeyCode::kEnter) state.mode = Mode::kSignalConfirm;
  } else if (IsText(key, "y")) {
    const ProcessRow* row = context.rows[SelectedIndex(state, context.rows)];
    state.signalToSend =
        SignalRequest{row->key.processId, SignalChoices()[state.signalChoice].signal};
    state.mode = state.returnMode;
  }
  return state;
}

}  // namespace

ViewState ApplyKey(ViewState state, const Key& key, const ViewContext& context) {
  if (key.code == KeyCode::kNone) return state;
  state.message.clear();
  switch (state.mode) {
    case Mode::kTable:
      return TableKey(std::move(state), key, context);
    case Mode::kSearch:
    case Mode::kFilter:
      return TextEntryKey(std::move(state), key, context);
    case Mode::kSignalMenu:
    case Mode::kSignalConfirm:
      return SignalKey(std::move(state), key, context);
    case Mode::kHelp:
      if (IsText(key, "q") || key.code == KeyCode::kF10) state.quit = true;
      state.mode = Mode::kTable;
      return state;
    case Mode::kDetail:
      if (Move(state, key, context)) return state;
      if (IsText(key, "q") || key.code == KeyCode::kF10) state.quit = true;
      if (IsText(key, "k") || key.code == KeyCode::kF9) {
        OpenSignalMenu(state, context);
      } else if (key.code == KeyCode::kEscape || key.code == KeyCode::kEnter ||
                 key.code == KeyCode::kLeft || key.code == KeyCode::kBackspace) {
        state.mode = Mode::kTable;
      }
      return state;
  }
  return state;
}

}  // namespace gpuproc::tool
