// gpuproc-exporter: serves the GPU use of every process for Prometheus, one
// snapshot of the library per scrape, with the listening,
// TLS and basic-auth flags and file of the Prometheus exporter-toolkit.
#include <malloc.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "container_label.h"
#include "gpu_collector.h"
#include "gpuproc/gpuproc.h"
#include "listen_address.h"
#include "pod_label.h"
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

std::string EnvironmentOr(const char* name, const char* fallback) {
  const char* value = ::secure_getenv(name);
  return value != nullptr && *value != '\0' ? value : fallback;
}

// What the exporter reads once confined: the process and sysfs trees, the
// kubelet's log folders, the web configuration's folders, and the
// libraries (with the loader's cache, for NVML loaded later, and pci.ids).
std::vector<std::string> ReadablePaths(const std::string& podLogsDir,
                                       const std::vector<std::string>& watched) {
  std::vector<std::string> paths = {EnvironmentOr("HOST_PROC", "/proc"),
                                    "/proc",
                                    EnvironmentOr("HOST_SYS", "/sys"),
                                    podLogsDir,
                                    Folder(podLogsDir) + "/containers",
                                    "/etc/ld.so.cache",
                                    "/usr/share/misc",
                                    "/usr/share/hwdata"};
  for (const std::string& file : watched) paths.push_back(Folder(file));
  for (std::string& folder : gpuproc::LoadedLibraryFolders()) paths.push_back(std::move(folder));
  return paths;
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
  bool noSandbox = false;
  app.add_flag("--no-sandbox", noSandbox,
               "do not confine the exporter (Landlock, seccomp) once it is listening: for "
               "debugging only");
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
  // inherit the mask and only sigwait receives them.
  const sigset_t signals = TerminationSignals();
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  auto collector = std::make_shared<gpuproc::GPUCollector>(
      [] {
        // The text belongs to the library until its next call: copy it.
        const char* text = GetGPUSnapshotForAllProcesses();
        return std::string(text != nullptr ? text : "");
      },
      gpuproc::HostOwnerLookup(podLogsDir));

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
  if (!noSandbox) {
    // A first reading loads NVML and opens its devices (read-write), which
    // the sandbox would refuse later.
    GetGPUDataForAllProcesses();
    ::malloc_trim(0);
    const gpuproc::SandboxResult sandbox =
        gpuproc::ConfineProcess(ReadablePaths(podLogsDir, watched));
    if (!sandbox.confined) {
      std::fprintf(stderr,
                   "gpuproc-exporter: cannot confine itself (%s); --no-sandbox runs it "
                   "unconfined\n",
                   sandbox.error.c_str());
      return 1;
    }
    if (!sandbox.note.empty()) std::fprintf(stderr, "gpuproc-exporter: %s\n", sandbox.note.c_str());
  }

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
  while (sigtimedwait(&signals, nullptr, &pollInterval) < 0) {
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
