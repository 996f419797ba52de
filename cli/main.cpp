// gpuproc: which processes use the GPUs, and how much. Without arguments a
// table of every GPU process; with process ids the rows of those processes,
// or with --json the library's own report of each.
#include <CLI/CLI.hpp>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "checked_output.h"
#include "gpuproc/gpuproc.h"
#include "host_view.h"
#include "process_id.h"
#include "process_table.h"
#include "read_snapshot.h"
#include "snapshot_rounds.h"
#include "terminal_text.h"
#include "top/top_command.h"

#if defined(_WIN32)
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitBadArgument = 2;

// -n: no shorter than the 100 ms sample itself, and no longer than a day:
// far longer waits (1e20 s, inf) overflow the clock's count and end at once.
constexpr double kMinInterval = 0.1;
constexpr double kMaxInterval = 86400;

#if defined(_WIN32)
constexpr bool kShowPciAddress = false;
#else
// The Linux back end names each GPU after its PCI address.
constexpr bool kShowPciAddress = true;
#endif

enum class Form { kTable, kJson, kJsonLines, kSnapshot };

struct Options {
  std::vector<std::string> processIds;
  bool all = false;
  bool json = false;
  bool jsonLines = false;
  bool snapshot = false;
  double interval = 0;
  std::uint64_t count = 0;  // 0: once without --interval, forever with it
};

bool OutputIsTerminal() {
#if defined(_WIN32)
  if (!::_isatty(::_fileno(stdout))) return false;
  // Windows 10 consoles understand the escape sequences once asked to.
  const HANDLE console = ::GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  return ::GetConsoleMode(console, &mode) &&
         ::SetConsoleMode(console, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
#else
  return ::isatty(STDOUT_FILENO) == 1;
#endif
}

// The text of a library call, copied: it lasts only until the next call.
std::string Call(const char* (*entryPoint)()) {
  const char* text = entryPoint();
  return text != nullptr ? text : "";
}

// The records of the processes in `processIds`; all of them where it is
// empty.
nlohmann::json OnlyProcesses(const nlohmann::json& records,
                             const std::vector<std::uint32_t>& processIds) {
  if (processIds.empty() || !records.is_array()) return records;
  nlohmann::json kept = nlohmann::json::array();
  for (const nlohmann::json& record : records) {
    const auto id = record.is_object() ? record.find("ProcessID") : record.end();
    if (id == record.end() || !id->is_number_unsigned()) continue;
    const auto processId = id->get<std::uint64_t>();
    for (const std::uint32_t wanted : processIds) {
      if (processId == wanted) {
        kept.push_back(record);
        break;
      }
    }
  }
  return kept;
}

// Why a table on a terminal has no rows, in lines that fit it.
void PrintWhyEmpty(bool processesNamed) {
  const std::string why = gpuproc::tool::NoGpuDeviceLine().value_or(
      processesNamed ? "the processes named use no GPU" : "no process is using a GPU");
  for (const std::string& line : gpuproc::tool::WrapToCells(why, gpuproc::tool::kTableWidth))
    std::cout << line << '\n';
}

// The whole-machine modes, round after round, and the table of the
// processes named (`processIds`), which is the whole-machine table's rows
// of those processes: unlike the per-process report, those name each
// process's GPU. The first round is the library's 100 ms reading; each
// later one shows the interval since the round before, from two snapshots,
// so that nothing between rounds goes unseen. On a terminal an empty table
// says why, rather than look like a failure.
class AllProcessesRounds {
 public:
  AllProcessesRounds(Form form, bool terminal, bool redraw, bool repeats,
                     std::vector<std::uint32_t> processIds)
      : form_(form),
        terminal_(terminal),
        redraw_(redraw),
        repeats_(repeats),
        processIds_(std::move(processIds)) {}

  // False when the counters could not be opened (the library has said why
  // on standard error). `noteHidden`: say on standard error when other
  // users' processes are left out of the table.
  bool Print(bool noteHidden) {
    if (form_ == Form::kSnapshot) {
      const std::string snapshot = Call(GetGPUSnapshotForAllProcesses);
      if (snapshot.empty()) return false;
      std::cout << snapshot << '\n';
      return true;
    }
    nlohmann::json records;
    std::string report;
    if (!previous_) {
      report = Call(GetGPUDataForAllProcesses);
      if (report.empty()) return false;
      records = nlohmann::json::parse(report, nullptr, false);
      if (!records.is_array()) {
        std::cerr << "gpuproc: the library's report is not a JSON array\n";
        return false;
      }
    }
    // The snapshot also tells how many processes the reading was refused.
    std::optional<gpuproc::SnapshotDocument> current;
    if (repeats_ || noteHidden) {
      const std::string snapshot = Call(GetGPUSnapshotForAllProcesses);
      if (snapshot.empty()) return false;
      current = gpuproc::ReadSnapshotDocument(snapshot);
      if (!current) {
        std::cerr << "gpuproc: " << gpuproc::kMalformedSnapshot << '\n';
        return false;
      }
    }
    if (previous_) {
      records = gpuproc::tool::RecordsBetween(*previous_, *current);
      report = records.dump();
    }
    records = OnlyProcesses(records, processIds_);
    if (form_ == Form::kJson) {
      std::cout << report << '\n';
    } else if (form_ == Form::kJsonLines) {
      for (const nlohmann::json& record : records) std::cout << record.dump() << '\n';
    } else {
      // Home and clear, so a repeated table stays in place on a terminal; a
      // file or pipe gets the tables one after another.
      if (redraw_) std::cout << "\x1b[H\x1b[2J";
      std::cout << gpuproc::tool::FormatProcessTable(
          records, kShowPciAddress,
          current ? current->adapters : std::vector<gpuproc::SnapshotAdapter>());
      if (terminal_ && records.empty()) PrintWhyEmpty(!processIds_.empty());
      if (noteHidden && gpuproc::tool::SomeProcessesHidden(current->unreadableProcesses)) {
        std::cout.flush();
        std::cerr << "showing only the processes this user may read; run as root to see all\n";
      }
    }
    if (repeats_) previous_ = std::move(current);
    return true;
  }

 private:
  Form form_;
  bool terminal_;
  bool redraw_;
  bool repeats_;
  std::vector<std::uint32_t> processIds_;
  std::optional<gpuproc::SnapshotDocument> previous_;  // the last round's snapshot
};

// The processes of `processIds` that exist; a line on standard error for
// each that does not (the library would answer "null" for it, as for a
// process without GPU use).
std::vector<std::uint32_t> ExistingProcesses(const std::vector<std::uint32_t>& processIds) {
  std::vector<std::uint32_t> existing;
  for (const std::uint32_t processId : processIds) {
    if (gpuproc::tool::ProcessExists(processId)) {
      existing.push_back(processId);
    } else {
      std::cout.flush();
      std::cerr << "gpuproc: no process " << processId << '\n';
    }
  }
  return existing;
}

// --json with process ids: the library prints each process's report itself,
// one indented JSON document per process ending in a newline; false when
// the counters could not be opened.
bool PrintProcessReports(const std::vector<std::uint32_t>& processIds) {
  std::cout.flush();
  for (const std::uint32_t processId : processIds) {
    const char* report = GetGPUDataForProcess(processId);
    if (report == nullptr || *report == '\0') return false;
  }
  return true;
}

// The status once the output is flushed: a failed write is an error, except
// a pipe whose reader has gone while following with -n, which ends the
// command as it ends `yes | head`.
int FinishOutput(gpuproc::tool::CheckedOutput& output, int status, bool following) {
  const int error = output.Flush();
  if (error == 0) return status;
  if (error == EPIPE && following) return status;
  std::cerr << "gpuproc: cannot write the output: " << std::generic_category().message(error)
            << '\n';
  return kExitFailed;
}

// CLI11's own range check prints the whole range of a double.
const CLI::Validator kIntervalRange(
    [](const std::string& text) {
      double value = 0;
      return CLI::detail::lexical_cast(text, value) && value >= kMinInterval &&
                     value <= kMaxInterval
                 ? std::string()
                 : "must be a number of seconds from 0.1 to 86400 (one day)";
    },
    "", "INTERVAL_RANGE");

const CLI::Validator kAboveZero(
    [](const std::string& text) {
      double value = 0;
      return CLI::detail::lexical_cast(text, value) && value > 0 ? std::string()
                                                                 : "must be a number above 0";
    },
    "", "ABOVE_ZERO");

// The usage line, and one for `gpuproc top`, which main() hands its own
// arguments before CLI11 sees them.
class HelpFormatter : public CLI::Formatter {
 public:
  std::string make_usage(const CLI::App* app, std::string name) const override {
    return CLI::Formatter::make_usage(app, std::move(name)) +
           "       gpuproc top [OPTIONS]  the interactive view (gpuproc top --help)\n";
  }
};

// Help that fits an 80x24 terminal, as the man page made from it does.
void DefineOptions(CLI::App& app, Options& options) {
  app.formatter(std::make_shared<HelpFormatter>());
  app.get_formatter()->column_width(24);
  app.description(
      "Which processes use the GPUs, and how much: every GPU process, sampled\n"
      "together over 100 ms, as a table sorted by dedicated memory (MiB; 3D and the\n"
      "busiest other engine in %). With -n, each round after the first covers the\n"
      "whole interval since the one before.\n");
  app.add_option("PID", options.processIds, "Only these processes (--json: each one's own report)")
      ->type_name("");
  app.add_flag("-a,--all", options.all, "Every GPU process (the default without PID)");
  app.add_flag("--json", options.json, "The JSON array of every (process, GPU) record");
  app.add_flag("--jsonl", options.jsonLines, "One JSON record per line");
  app.add_flag("--snapshot", options.snapshot, "The library's snapshot (busy seconds), one a line");
  app.add_option("-n,--interval", options.interval,
                 "Repeat every SECONDS (0.1 to 86400) until interrupted")
      ->type_name("SECONDS")
      ->check(kIntervalRange);
  app.add_option("--count", options.count, "Stop after N rounds (1 s apart without -n)")
      ->type_name("N")
      ->check(kAboveZero);
  app.set_version_flag("--version", std::string("gpuproc ") + GPUPROC_VERSION);
  app.set_help_flag("-h,--help", "This help");
  app.footer(
      "Exit status: 0; 1 when the GPU counters could not be opened, a process does not\n"
      "exist or the output could not be written; 2 on bad usage. A reader that stops\n"
      "reading while -n repeats ends the command with 0.");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::string(argv[1]) == "top")
    return gpuproc::tool::RunTopCommand(argc - 1, argv + 1);
#if !defined(_WIN32)
  // A closed pipe shows as EPIPE from the write, which decides the status,
  // instead of a signal that ends the command before it can.
  std::signal(SIGPIPE, SIG_IGN);
#endif
  gpuproc::tool::CheckedOutput output;
  CLI::App app{"", "gpuproc"};
  Options options;
  DefineOptions(app, options);
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& help) {
    return FinishOutput(output, app.exit(help), false);
  } catch (const CLI::CallForVersion& version) {
    return FinishOutput(output, app.exit(version), false);
  } catch (const CLI::ParseError& error) {
    std::cerr << "gpuproc: " << error.what() << " (try --help)\n";
    return kExitBadArgument;
  }

  std::vector<std::uint32_t> processIds;
  for (const std::string& text : options.processIds) {
    const std::optional<std::uint32_t> processId = gpuproc::tool::ParseProcessId(text);
    if (!processId) {
      std::cerr << "gpuproc: '" << text << "' is not a process id (0 to 4294967295)\n";
      return kExitBadArgument;
    }
    processIds.push_back(*processId);
  }
  if (int(options.json) + int(options.jsonLines) + int(options.snapshot) > 1) {
    std::cerr << "gpuproc: --json, --jsonl and --snapshot exclude each other (try --help)\n";
    return kExitBadArgument;
  }
  if (!processIds.empty() && (options.all || options.jsonLines || options.snapshot)) {
    std::cerr << "gpuproc: process ids do not combine with --all, --jsonl or --snapshot"
                 " (try --help)\n";
    return kExitBadArgument;
  }

  const Form form = options.json        ? Form::kJson
                    : options.jsonLines ? Form::kJsonLines
                    : options.snapshot  ? Form::kSnapshot
                                        : Form::kTable;
  const bool repeats = options.interval > 0 || options.count > 0;
  const auto interval = std::chrono::duration<double>(options.interval > 0 ? options.interval : 1);
  const bool terminal = form == Form::kTable && OutputIsTerminal();
  const bool redraw = repeats && terminal;
  // Named processes that do not exist fail the command, after the rest.
  const bool processesNamed = !processIds.empty();
  if (processesNamed) processIds = ExistingProcesses(processIds);
  const int status = processIds.size() < options.processIds.size() ? kExitFailed : kExitOk;
  if (processesNamed && processIds.empty()) return FinishOutput(output, status, false);
  AllProcessesRounds rounds(form, terminal, redraw, repeats, processIds);
  for (std::uint64_t round = 1;; ++round) {
    // Once, or on every redrawn screen, which clears it.
    const bool noteHidden = form == Form::kTable && (round == 1 || redraw);
    const bool opened = processesNamed && form == Form::kJson ? PrintProcessReports(processIds)
                                                              : rounds.Print(noteHidden);
    if (!opened) return FinishOutput(output, kExitFailed, repeats);
    if (output.Flush() != 0) break;
    if (!repeats || (options.count != 0 && round >= options.count)) break;
    // A table written to a file or pipe is followed by the next one.
    if (form == Form::kTable && !redraw) std::cout << '\n';
    std::this_thread::sleep_for(interval);
  }
  return FinishOutput(output, status, repeats);
}
