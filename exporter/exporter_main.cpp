// gpuproc-exporter: serves the GPU use of every process for Prometheus, one
// snapshot of the library per scrape, with the listening,
// TLS and basic-auth flags and file of the Prometheus exporter-toolkit.
#include <malloc.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "container_label.h"
#include "gpu_collector.h"
#include "gpuproc/gpuproc.h"
#include "listen_address.h"
#include "pod_label.h"
#include "read_snapshot.h"
#include "reader_channel.h"
#include "sandbox.h"
#include "web/http_server.h"
#include "web/listen_socket.h"
#include "web_config.h"
#include "web_server.h"

#ifndef GPUPROC_VERSION
#define GPUPROC_VERSION "unknown"
#endif

namespace {

using gpuproc::ListenAddress;
using gpuproc::WebConfig;

constexpr const char* kDefaultListen = "127.0.0.1:10436";

sigset_t TerminationSignals() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  return signals;
}

// Identifies each watched file's current version; a renewed certificate
// is usually a new file renamed over the old one, which changes the inode.
using FileStamp = std::tuple<dev_t, ino_t, off_t, long, long>;
std::vector<FileStamp> Stamps(const std::vector<std::string>& files) {
  std::vector<FileStamp> stamps;
  for (const std::string& file : files) {
    struct stat status {};
    if (::stat(file.c_str(), &status) != 0) status = {};
    stamps.emplace_back(status.st_dev, status.st_ino, status.st_size, status.st_mtim.tv_sec,
                        status.st_mtim.tv_nsec);
  }
  return stamps;
}

// Connections are file descriptors: the server's limit must fit under the
// process's.
void RaiseFileLimit() {
  constexpr rlim_t kWanted = 4096;
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= kWanted) return;
  limit.rlim_cur = limit.rlim_max == RLIM_INFINITY ? kWanted : std::min(kWanted, limit.rlim_max);
  ::setrlimit(RLIMIT_NOFILE, &limit);
}

std::string Folder(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// What the network side reads once confined: its configuration's folders
// (a renewed certificate is a new file renamed into place) and the shared
// objects it has loaded.
std::vector<std::string> NetworkSideReadable(const std::vector<std::string>& watched) {
  std::vector<std::string> paths = gpuproc::LoadedLibraries();
  for (const std::string& file : watched) paths.push_back(Folder(file));
  return paths;
}

[[noreturn]] void Exit(int status, const std::string& line) {
  if (!line.empty()) std::fprintf(stderr, "gpuproc-exporter: %s\n", line.c_str());
  std::fflush(stderr);
  ::_exit(status);
}

std::string SandboxAdvice(const char* side, const gpuproc::SandboxResult& result) {
  return std::string("cannot confine the ") + side + " (" + result.error +
         "); --no-sandbox runs the exporter unconfined, which is unsafe";
}

// Every fd but those named: whatever the exporter was started with, and
// the other process's end of things, is not this process's to keep.
void CloseAllBut(std::vector<int> kept) {
  std::sort(kept.begin(), kept.end());
  unsigned first = 0;
  for (const int fd : kept) {
    if (fd < 0 || static_cast<unsigned>(fd) < first) continue;
    if (static_cast<unsigned>(fd) > first) ::close_range(first, static_cast<unsigned>(fd) - 1, 0);
    first = static_cast<unsigned>(fd) + 1;
  }
  ::close_range(first, ~0u, 0);
}

std::string SnapshotText() {
  // The text belongs to the library until its next call: copy it.
  const char* text = GetGPUSnapshotForAllProcesses();
  return std::string(text != nullptr ? text : "");
}

// The reader: the only process that reads GPU data. Exits when the
// network side does (its end of the channel closes, or it dies).
[[noreturn]] void RunReader(int channel, pid_t networkSide, const std::string& podLogsDir,
                            bool noSandbox) {
  sigset_t none;
  sigemptyset(&none);
  pthread_sigmask(SIG_SETMASK, &none, nullptr);
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (::getppid() != networkSide) Exit(1, "");
  if (!noSandbox) {
    const gpuproc::SandboxResult dropped = gpuproc::DropCapabilities(gpuproc::ReaderCapabilities());
    if (!dropped.confined) Exit(1, SandboxAdvice("reader", dropped));
    if (!dropped.note.empty())
      std::fprintf(stderr, "gpuproc-exporter: reader: %s\n", dropped.note.c_str());
  }
  // A first reading loads NVML and opens its devices (read-write), which
  // the allow-list would refuse later.
  GetGPUDataForAllProcesses();
  ::malloc_trim(0);
  const gpuproc::OwnerLookupFactory owners = gpuproc::HostOwnerLookup(podLogsDir);
  if (!noSandbox) {
    const gpuproc::SandboxResult confined = gpuproc::ConfineReader(channel);
    if (!confined.confined) Exit(1, SandboxAdvice("reader", confined));
  }
  // What the reader sees once confined, in one line: a reader refused
  // other processes shows here rather than as an idle node.
  std::uint64_t devices = 0;
  const std::optional<gpuproc::SnapshotHeader> first = gpuproc::ReadSnapshot(
      SnapshotText(), [](gpuproc::SnapshotProcess&) {},
      [&devices](gpuproc::SnapshotAdapter&) { ++devices; });
  if (first) {
    const std::uint64_t unreadable = first->unreadableProcesses.value_or(0);
    std::fprintf(stderr,
                 "gpuproc-exporter: reader (process %d) started: %llu GPU devices in use, %llu "
                 "processes unreadable\n",
                 static_cast<int>(::getpid()), static_cast<unsigned long long>(devices),
                 static_cast<unsigned long long>(unreadable));
  } else {
    std::fprintf(stderr,
                 "gpuproc-exporter: reader (process %d) started: the first reading failed\n",
                 static_cast<int>(::getpid()));
  }
  std::fflush(stderr);
  std::uint64_t dropped = 0;
  const int status = gpuproc::ServeReadings(
      channel,
      [&owners] {
        std::string snapshot = SnapshotText();
        // A source lost for good (NVML that could not be loaded again after
        // a driver reload) would be a silent absence in every scrape: end
        // the pair instead, so that systemd or the kubelet restarts it.
        const std::string lost = gpuproc::FirstLostSource(snapshot);
        if (!lost.empty()) {
          Exit(1, "reader: the library lost its " + lost +
                      " source (see the line above); exiting so that the exporter is restarted");
        }
        return gpuproc::AnswerFor(std::move(snapshot), owners());
      },
      [&dropped] {
        std::fprintf(stderr,
                     "gpuproc-exporter: reader: dropped a request it does not know (%llu so far)\n",
                     static_cast<unsigned long long>(++dropped));
        std::fflush(stderr);
      });
  Exit(status, "");
}

void PrintServing(const std::vector<ListenAddress>& addresses, bool tls,
                  const std::string& telemetryPath) {
  for (const ListenAddress& address : addresses) {
    std::fprintf(stderr, "gpuproc-exporter: serving %s://%s%s\n", tls ? "https" : "http",
                 gpuproc::FormatListenAddress(address).c_str(), telemetryPath.c_str());
  }
  std::fflush(stderr);
}

}  // namespace

int main(int argc, char** argv) {
  // One malloc arena per thread that ever allocated would keep each
  // reading's peak for good; the threads other than the reading worker
  // allocate little. Large blocks (the reading's text, the scrape's) are
  // mapped and unmapped each time rather than kept in the heap.
  ::mallopt(M_ARENA_MAX, 1);
  ::mallopt(M_MMAP_THRESHOLD, 128 * 1024);
  CLI::App app{
      "Serves the GPU memory and engine use of every process on http://ADDRESS:PORT/metrics\n"
      "for Prometheus, and a page linking to it on /. Reads HOST_PROC and HOST_SYS (the\n"
      "host's /proc and /sys) when set.\n"
      "Exit status: 0 after SIGTERM or SIGINT, 1 when it cannot listen, 2 on bad usage or a\n"
      "bad --web.config.file.",
      "gpuproc-exporter"};
  std::vector<std::string> listen = {kDefaultListen};
  std::string telemetryPath = "/metrics";
  std::string configFile;
  app.add_option("--web.listen-address,--listen", listen,
                 "address and port to serve on, repeatable (:PORT for every address, HOST:PORT "
                 "with an IPv4 address or a name, [IPV6]:PORT; port 0: any)")
      ->option_text(std::string("[HOST]:PORT=") + kDefaultListen);
  app.add_option("--web.telemetry-path", telemetryPath, "path the metrics are served on")
      ->capture_default_str();
  std::string podLogsDir = "/var/log/pods";
  app.add_option("--kubelet.pod-logs-dir", podLogsDir,
                 "the kubelet's pod log folder (its sibling 'containers' too), read for the "
                 "namespace, pod and container names of processes in pods")
      ->option_text("DIR=" + podLogsDir);
  app.add_option("--web.config.file", configFile,
                 "exporter-toolkit web configuration (YAML): tls_server_config, basic_auth_users; "
                 "re-read when it or a file it names changes")
      ->option_text("FILE");
  double readerTimeout = 8;
  app.add_option("--reader.timeout", readerTimeout,
                 "seconds a scrape waits for the reader process's reading before it answers "
                 "with a scrape error (keep it under Prometheus's scrape_timeout)")
      ->capture_default_str()
      ->check(CLI::Range(0.1, 3600.0));
  bool noSandbox = false;
  app.add_flag("--no-sandbox", noSandbox,
               "UNSAFE, for debugging only: neither process drops its capabilities or confines "
               "itself (seccomp, Landlock); a flaw in the web server then holds what the reader "
               "holds, every process's memory included");
  app.set_version_flag("--version", std::string("gpuproc-exporter ") + GPUPROC_VERSION);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    // --help and --version are "errors" with status 0; every other usage
    // error exits 2, as gpuproc's do.
    const int status = app.exit(error);
    return status == 0 ? 0 : 2;
  }
  std::vector<ListenAddress> addresses;
  for (const std::string& text : listen) {
    std::string why;
    const std::optional<ListenAddress> address = gpuproc::ParseListenAddress(text, why);
    if (!address) {
      const std::string flag =
          gpuproc::FlagAsTyped(argc, argv, {"--web.listen-address", "--listen"}, text);
      std::fprintf(stderr, "gpuproc-exporter: %s '%s' %s\n", flag.c_str(), text.c_str(),
                   why.c_str());
      return 2;
    }
    addresses.push_back(*address);
  }
  if (telemetryPath.size() < 2 || telemetryPath.front() != '/') {
    std::fprintf(stderr,
                 "gpuproc-exporter: --web.telemetry-path '%s' must start with '/' and not be "
                 "'/' (the landing page)\n",
                 telemetryPath.c_str());
    return 2;
  }
  WebConfig config;
  if (!configFile.empty()) {
    gpuproc::WebConfigResult loaded = gpuproc::LoadWebConfig(configFile);
    if (!loaded.config) {
      std::fprintf(stderr, "gpuproc-exporter: %s\n", loaded.error.c_str());
      return 2;
    }
    config = std::move(*loaded.config);
  }

  std::vector<std::string> watched;
  std::vector<FileStamp> stamps;
  if (!configFile.empty()) {
    watched = gpuproc::WatchedFiles(configFile, config);
    stamps = Stamps(watched);
  }
  RaiseFileLimit();
  // Block the termination signals before any thread starts, so that they
  // inherit the mask and only sigwait receives them; SIGCHLD tells that
  // the reader is gone.
  sigset_t signals = TerminationSignals();
  sigaddset(&signals, SIGCHLD);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  std::vector<gpuproc::ListenSocket> sockets;
  for (const ListenAddress& address : addresses) {
    std::string error;
    gpuproc::ListenSocket socket(address, error);
    if (socket.Fd() < 0) {
      std::fprintf(stderr, "gpuproc-exporter: cannot listen on %s: %s\n",
                   gpuproc::FormatListenAddress(address).c_str(), error.c_str());
      return 1;
    }
    sockets.push_back(std::move(socket));
  }
  // Two processes from here: the reader, which alone reads GPU data and
  // keeps the two capabilities that takes, and this one, the network side,
  // which serves and holds nothing. No library call and no thread has
  // happened in this process yet, so the network side starts clean.
  int channel[2] = {-1, -1};
  if (!gpuproc::OpenReaderChannel(channel))
    Exit(1, std::string("socketpair: ") + std::strerror(errno));
  const pid_t networkSide = ::getpid();
  const pid_t reader = ::fork();
  if (reader < 0) Exit(1, std::string("fork: ") + std::strerror(errno));
  if (reader == 0) {
    ::close(channel[0]);
    CloseAllBut({STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO, channel[1]});
    RunReader(channel[1], networkSide, podLogsDir, noSandbox);
  }
  ::close(channel[1]);
  std::vector<int> kept = {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO, channel[0]};
  for (const gpuproc::ListenSocket& socket : sockets) kept.push_back(socket.Fd());
  CloseAllBut(kept);
  if (!noSandbox) {
    const gpuproc::SandboxResult dropped = gpuproc::DropCapabilities(0);
    if (!dropped.confined) Exit(1, SandboxAdvice("network side", dropped));
    if (!dropped.note.empty()) std::fprintf(stderr, "gpuproc-exporter: %s\n", dropped.note.c_str());
    const gpuproc::SandboxResult confined =
        gpuproc::ConfineNetworkSide(NetworkSideReadable(watched));
    if (!confined.confined) Exit(1, SandboxAdvice("network side", confined));
    if (!confined.note.empty())
      std::fprintf(stderr, "gpuproc-exporter: %s\n", confined.note.c_str());
  }

  // The owners come with each answer; the collector asks for them right
  // after the snapshot, under its own lock.
  auto client = std::make_shared<gpuproc::ReaderClient>(
      channel[0], std::chrono::milliseconds(static_cast<long long>(readerTimeout * 1000)));
  auto owners = std::make_shared<std::map<std::uint32_t, gpuproc::ProcessOwner>>();
  auto collector = std::make_shared<gpuproc::GPUCollector>(
      [client, owners, readerTimeout]() -> std::string {
        gpuproc::ReaderAnswer answer;
        switch (client->Read(answer)) {
          case gpuproc::ReaderClient::Outcome::kAnswered:
            *owners = std::move(answer.owners);
            return std::move(answer.snapshot);
          case gpuproc::ReaderClient::Outcome::kTimedOut:
            std::fprintf(stderr,
                         "gpuproc-exporter: the reader gave no reading within %g s: a scrape "
                         "error\n",
                         readerTimeout);
            std::fflush(stderr);
            owners->clear();
            return std::string();
          case gpuproc::ReaderClient::Outcome::kClosed:
            break;
        }
        Exit(1, "the reader process is gone; exiting, to be restarted with a new one");
      },
      [owners]() -> gpuproc::OwnerLookup {
        return [owners](std::uint32_t processId) {
          const auto found = owners->find(processId);
          return found != owners->end() ? found->second : gpuproc::ProcessOwner{};
        };
      });

  gpuproc::HttpServer server(telemetryPath,
                             gpuproc::LandingPage(telemetryPath, "version " GPUPROC_VERSION),
                             [&collector](std::chrono::steady_clock::time_point arrival) {
                               return collector->Collect(arrival);
                             });
  gpuproc::StartFailure failure;
  if (!server.Start(std::move(sockets), config, failure)) {
    std::fprintf(stderr, "gpuproc-exporter: %s%s\n",
                 failure.status == 2 ? (configFile + ": ").c_str() : "", failure.text.c_str());
    return failure.status;
  }
  PrintServing(server.Addresses(), config.tls.has_value(), telemetryPath);

  const timespec pollInterval{1, 0};
  for (;;) {
    const int signal = sigtimedwait(&signals, nullptr, &pollInterval);
    if (signal == SIGINT || signal == SIGTERM) break;
    if (signal == SIGCHLD) {
      int status = 0;
      if (::waitpid(reader, &status, WNOHANG) == reader) {
        // Stopped along with this one (a terminal's Ctrl-C): no fault.
        if (WIFSIGNALED(status) && (WTERMSIG(status) == SIGINT || WTERMSIG(status) == SIGTERM)) {
          Exit(0, "");
        }
        Exit(1, "the reader process exited (" +
                    std::string(WIFEXITED(status)
                                    ? "status " + std::to_string(WEXITSTATUS(status))
                                    : std::string("signal ") + strsignal(WTERMSIG(status))) +
                    "); exiting, to be restarted with a new one");
      }
      continue;
    }
    server.Tidy();
    if (watched.empty() || Stamps(watched) == stamps) continue;
    gpuproc::WebConfigResult loaded = gpuproc::LoadWebConfig(configFile);
    std::string why = loaded.error;
    if (loaded.config) {
      watched = gpuproc::WatchedFiles(configFile, *loaded.config);
      why = server.Apply(*loaded.config, why) ? "" : configFile + ": " + why;
    }
    stamps = Stamps(watched);
    if (why.empty()) {
      std::fprintf(stderr, "gpuproc-exporter: %s reloaded\n", configFile.c_str());
    } else {
      std::fprintf(stderr, "gpuproc-exporter: %s; keeping the last good configuration\n",
                   why.c_str());
    }
    std::fflush(stderr);
  }
  // Nothing is left to save: exit at once, whatever a bcrypt check or a
  // reading on a worker is doing.
  std::fflush(stderr);
  ::_exit(0);
}
