#include "terminal_front.h"

#include <curses.h>
#include <langinfo.h>
#include <linux/magic.h>
#include <stdlib.h>
#include <sys/statfs.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <clocale>
#include <csignal>
#include <cstring>
#include <exception>
#include <iostream>

#include "screen_layout.h"
#include "snapshot_call.h"
#include "snapshot_reader.h"

namespace gpuproc::tool {
namespace {

volatile std::sig_atomic_t gSignal = 0;

void OnSignal(int signal) { gSignal = signal; }

// Without SA_RESTART, so that a wait for a key ends on the signal; set
// before ncurses starts, which then leaves these signals to us.
void CatchSignals() {
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(signal, &action, nullptr);
}

// What puts the terminal back when the command dies of a signal that ends
// it abruptly (Ctrl-\, an abort, a crash), where endwin() cannot be
// called: it is not async-signal-safe. Taken before ncurses changes
// anything, and written with write() and tcsetattr() alone.
struct CrashRestore {
  bool armed = false;
  termios modes{};
  char sequence[256] = {};  // leave the mouse, keypad and alternate screen, show the cursor
  std::size_t length = 0;
  std::atomic_flag done = ATOMIC_FLAG_INIT;
};
CrashRestore gCrash;

constexpr int kCrashSignals[] = {SIGQUIT, SIGABRT, SIGSEGV, SIGBUS, SIGFPE, SIGILL};

void RestoreAfterCrash() {
  if (!gCrash.armed || gCrash.done.test_and_set()) return;
  const char* at = gCrash.sequence;
  for (std::size_t left = gCrash.length; left > 0;) {
    const ssize_t written = ::write(STDOUT_FILENO, at, left);
    if (written <= 0) break;
    at += written;
    left -= static_cast<std::size_t>(written);
  }
  ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &gCrash.modes);
}

// Restores the terminal, then ends the command as the signal would have.
void OnCrashSignal(int signal) {
  const int saved = errno;
  RestoreAfterCrash();
  struct sigaction action {};
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  ::sigaction(signal, &action, nullptr);
  errno = saved;
  // Blocked while this handler runs: delivered, with the default action, as
  // it returns (a fault recurs at its instruction to the same effect).
  ::raise(signal);
}

void AppendCapability(const char* name) {
  const char* text = ::tigetstr(name);
  if (text == nullptr || text == reinterpret_cast<char*>(-1)) return;
  const std::size_t size = std::strlen(text);
  if (gCrash.length + size >= sizeof gCrash.sequence) return;
  std::memcpy(gCrash.sequence + gCrash.length, text, size);
  gCrash.length += size;
}

// Once ncurses has loaded the terminal's description (newterm), before it
// switches modes.
void ArmCrashRestore(const termios& modes) {
  gCrash.modes = modes;
  // Mouse reporting off first (what ncurses turns on for xterm-like
  // terminals), then the terminal's own words for the rest.
  const char mouseOff[] = "\x1b[?1000l\x1b[?1002l\x1b[?1006l";
  std::memcpy(gCrash.sequence, mouseOff, sizeof mouseOff - 1);
  gCrash.length = sizeof mouseOff - 1;
  for (const char* name : {"sgr0", "rmkx", "cnorm", "rmcup"}) AppendCapability(name);
  gCrash.armed = true;
  struct sigaction action {};
  action.sa_handler = OnCrashSignal;
  sigemptyset(&action.sa_mask);
  for (const int signal : kCrashSignals) ::sigaction(signal, &action, nullptr);
}

// endwin() on every way out of the screen, an exception's included; the
// crash handlers stand down once it has run.
class ScreenGuard {
 public:
  explicit ScreenGuard(SCREEN* screen) : screen_(screen) {}
  ~ScreenGuard() {
    End();
    delscreen(screen_);
  }
  ScreenGuard(const ScreenGuard&) = delete;
  ScreenGuard& operator=(const ScreenGuard&) = delete;
  void End() {
    if (isendwin() == TRUE) return;
    endwin();
    gCrash.done.test_and_set();
  }

 private:
  SCREEN* screen_;
};

enum Pair : short { kGreen = 1, kYellow, kRed, kCyan, kMagenta };

attr_t Attribute(Style style, bool colour) {
  const auto pair = [&](short number) { return colour ? COLOR_PAIR(number) : A_NORMAL; };
  switch (style) {
    case Style::kNormal:
      return A_NORMAL;
    case Style::kTitle:
      return A_BOLD | pair(kCyan);
    case Style::kHeader:
      return A_BOLD | pair(kGreen);
    case Style::kSortHeader:
      return A_BOLD | A_REVERSE | pair(kCyan);
    case Style::kSelected:
      return A_REVERSE;
    case Style::kBarLow:
      return pair(kGreen);
    case Style::kBarMid:
      return pair(kYellow);
    case Style::kBarHigh:
      return pair(kRed);
    case Style::kMemory:
      return pair(kCyan);
    case Style::kHistory:
      return pair(kMagenta);
    case Style::kKey:
      return A_BOLD | pair(kCyan);
    case Style::kKeyLabel:
      return A_NORMAL;
    case Style::kWarning:
      return A_BOLD | pair(kRed);
    case Style::kDim:
      return A_DIM;
  }
  return A_NORMAL;
}

// Runs of one style go out as one string; curses sends only what changed.
void Paint(const CellGrid& grid, bool colour) {
  std::string run;
  for (int y = 0; y < grid.Height(); ++y) {
    int x = 0;
    while (x < grid.Width()) {
      const Style style = grid.At(x, y).style;
      const int start = x;
      run.clear();
      for (; x < grid.Width() && grid.At(x, y).style == style; ++x) run += grid.At(x, y).text;
      attrset(Attribute(style, colour));
      mvaddstr(y, start, run.c_str());
    }
  }
  attrset(A_NORMAL);
  refresh();
}

Key Translate(int kind, wint_t code) {
  Key key;
  if (kind == KEY_CODE_YES) {
    switch (code) {
      case KEY_UP:
        key.code = KeyCode::kUp;
        break;
      case KEY_DOWN:
        key.code = KeyCode::kDown;
        break;
      case KEY_PPAGE:
        key.code = KeyCode::kPageUp;
        break;
      case KEY_NPAGE:
        key.code = KeyCode::kPageDown;
        break;
      case KEY_HOME:
        key.code = KeyCode::kHome;
        break;
      case KEY_END:
        key.code = KeyCode::kEnd;
        break;
      case KEY_LEFT:
        key.code = KeyCode::kLeft;
        break;
      case KEY_RIGHT:
        key.code = KeyCode::kRight;
        break;
      case KEY_ENTER:
        key.code = KeyCode::kEnter;
        break;
      case KEY_BACKSPACE:
        key.code = KeyCode::kBackspace;
        break;
      case KEY_F(1):
        key.code = KeyCode::kF1;
        break;
      case KEY_F(3):
        key.code = KeyCode::kF3;
        break;
      case KEY_F(4):
        key.code = KeyCode::kF4;
        break;
      case KEY_F(6):
        key.code = KeyCode::kF6;
        break;
      case KEY_F(9):
        key.code = KeyCode::kF9;
        break;
      case KEY_F(10):
        key.code = KeyCode::kF10;
        break;
      case KEY_MOUSE: {
        MEVENT event{};
        if (getmouse(&event) == OK && (event.bstate & (BUTTON1_PRESSED | BUTTON1_CLICKED))) {
          key = {KeyCode::kClick, {}, event.x, event.y};
        }
        break;
      }
      default:
        break;
    }
    return key;
  }
  if (code == '\n' || code == '\r') return Key{KeyCode::kEnter, {}, 0, 0};
  if (code == 27) return Key{KeyCode::kEscape, {}, 0, 0};
  if (code == 127 || code == 8) return Key{KeyCode::kBackspace, {}, 0, 0};
  if (code < 0x20) return key;
  char text[MB_LEN_MAX] = {};
  std::mbstate_t state{};
  const std::size_t length = std::wcrtomb(text, static_cast<wchar_t>(code), &state);
  if (length != static_cast<std::size_t>(-1))
    key = {KeyCode::kText, std::string(text, length), 0, 0};
  return key;
}

std::string SendSignal(const SignalRequest& request) {
  std::string name;
  for (const SignalChoice& choice : SignalChoices()) {
    if (choice.signal == request.signal) name = choice.name;
  }
  const std::string target = std::to_string(request.processId);
  if (::kill(static_cast<pid_t>(request.processId), request.signal) == 0) {
    return "sent SIG" + name + " to " + target;
  }
  if (errno == ESRCH) return "cannot signal " + target + ": the process has gone";
  return "cannot signal " + target + ": " + std::strerror(errno);
}

// The screen until `q` or a signal, the terminal ended (by `guard`) before
// the reading thread is joined: a reading in progress may take a while.
void RunScreen(const TopOptions& options, bool utf8, ScreenGuard& guard) {
  cbreak();
  noecho();
  nonl();
  keypad(stdscr, TRUE);
  curs_set(0);
  set_escdelay(25);
  // Keys answer within 50 ms: the longest wait for one before looking at
  // the reader and the signals again.
  timeout(50);
  mousemask(BUTTON1_PRESSED | BUTTON1_CLICKED, nullptr);
  mouseinterval(0);
  const bool colour = options.colour && has_colors() == TRUE;
  if (colour) {
    start_color();
    // On the terminal's own background: -1.
    use_default_colors();
    init_pair(kGreen, COLOR_GREEN, -1);
    init_pair(kYellow, COLOR_YELLOW, -1);
    init_pair(kRed, COLOR_RED, -1);
    init_pair(kCyan, COLOR_CYAN, -1);
    init_pair(kMagenta, COLOR_MAGENTA, -1);
  }

  const std::string signalsDisabled = SignalsDisabledReason();
  const DrawOptions drawOptions{utf8, options.delay, options.noGpuDevice};
  TopModel model;
  ViewState state;
  StderrCapture capture;
  SnapshotReader reader(
      TakeSnapshotDocument, [&capture] { return capture.Drain(); }, options.delay,
      options.podLogsDir);
  // Gone before the reader, which joins its thread: however the loop ends,
  // the terminal comes back first.
  struct EndScreenFirst {
    ScreenGuard& guard;
    ~EndScreenFirst() { guard.End(); }
  } const endFirst{guard};
  {
    bool dirty = true;
    Frame frame = DrawScreen(model, state, COLS, LINES, drawOptions);
    while (gSignal == 0 && !state.quit) {
      if (std::optional<Reading> reading = reader.Take(); reading && !state.paused) {
        if (reading->snapshot) {
          model.Update(*reading->snapshot, std::move(reading->details));
          model.someUnreadable = reading->someUnreadable;
        }
        model.readingError = reading->error;
        dirty = true;
      }
      if (dirty) {
        frame = DrawScreen(model, state, COLS, LINES, drawOptions);
        Paint(frame.grid, colour);
        dirty = false;
      }
      wint_t code = 0;
      const int kind = get_wch(&code);
      if (kind == ERR) continue;
      dirty = true;
      if (kind == KEY_CODE_YES && code == KEY_RESIZE) continue;
      ViewContext context = frame.context;
      context.signalsDisabled = signalsDisabled;
      state = ApplyKey(std::move(state), Translate(kind, code), context);
      if (state.signalToSend) {
        state.message = SendSignal(*state.signalToSend);
        state.signalToSend.reset();
      }
      reader.SetPaused(state.paused);
    }
  }
}

}  // namespace

std::string SignalsDisabledReason() {
  const char* root = ::secure_getenv("HOST_PROC");
  if (root == nullptr || *root == '\0') return {};
  // A procfs whose "self" is this process: the same process IDs as ours.
  struct statfs filesystem {};
  char self[32] = {};
  const std::string link = std::string(root) + "/self";
  const ssize_t length = ::readlink(link.c_str(), self, sizeof self - 1);
  if (::statfs(root, &filesystem) == 0 && filesystem.f_type == PROC_SUPER_MAGIC && length > 0 &&
      std::to_string(::getpid()) == std::string(self, static_cast<std::size_t>(length))) {
    return {};
  }
  return "no signals: the process IDs under HOST_PROC are not this machine's";
}

int RunTerminalFront(const TopOptions& options) {
  std::setlocale(LC_ALL, "");
  const bool utf8 = std::strcmp(::nl_langinfo(CODESET), "UTF-8") == 0;
  CatchSignals();
  termios modes{};
  const bool haveModes = ::tcgetattr(STDIN_FILENO, &modes) == 0;
  SCREEN* screen = newterm(nullptr, stdout, stdin);
  if (screen == nullptr) {
    std::cerr << kNeedsTerminal << '\n';
    return 2;
  }
  if (haveModes) ArmCrashRestore(modes);
  ScreenGuard guard(screen);
  try {
    RunScreen(options, utf8, guard);
  } catch (const std::exception& error) {
    guard.End();
    std::cerr << "gpuproc top: " << error.what() << '\n';
    return 1;
  }
  if (gSignal != 0) {
    guard.End();
    // Ends as the signal would have ended it, now that the terminal is back.
    std::signal(gSignal, SIG_DFL);
    std::raise(gSignal);
  }
  return 0;
}

}  // namespace gpuproc::tool
