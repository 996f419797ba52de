// gpuproc-exporter: serves the GPU use of every process for Prometheus, one
// snapshot of the library per scrape, with the listening,
// TLS and basic-auth flags and file of the Prometheus exporter-toolkit.
#include <signal.h>
#include <sys/stat.h>

#include <civetweb.h>
#include <prometheus/exposer.h>
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
#include "http_service.h"
#include "listen_address.h"
#include "pod_label.h"
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
                 "address and port to serve on, repeatable ([IPV6]:PORT for IPv6; port 0: any)")
      ->option_text(std::string("ADDRESS:PORT=") + kDefaultListen);
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
    const std::optional<ListenAddress> address = gpuproc::ParseListenAddress(text);
    if (!address) {
      std::fprintf(stderr,
                   "gpuproc-exporter: --listen '%s' is not ADDRESS:PORT (a numeric IPv4 address, "
                   "or an IPv6 address in brackets, and a port from 0 to 65535)\n",
                   text.c_str());
      return 2;
    }
    // Debian 12's civetweb is built without IPv6: say so rather than
    // "could not start".
    if (address->ipv6 && mg_check_feature(MG_FEATURES_IPV6) == 0) {
      std::fprintf(stderr,
                   "gpuproc-exporter: --listen '%s': the HTTP server (civetweb) was built "
                   "without IPv6 support\n",
                   text.c_str());
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

  gpuproc::RequestPolicy requestPolicy{
      telemetryPath, gpuproc::LandingPage(telemetryPath, "version " GPUPROC_VERSION), {}};
  requestPolicy.auth.SetUsers(config.users);
  gpuproc::SetRequestPolicy(&requestPolicy);

  // Block the termination signals before the HTTP server starts its
  // threads, so that they inherit the mask and only sigwait receives them.
  const sigset_t signals = TerminationSignals();
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  auto collector = std::make_shared<gpuproc::GPUCollector>(
      [] {
        // The text belongs to the library until its next call: copy it.
        const char* text = GetGPUSnapshotForAllProcesses();
        return std::string(text != nullptr ? text : "");
      },
      gpuproc::HostOwnerLookup(podLogsDir), gpuproc::RequestArrival);
  gpuproc::StartFailure failure;
  std::unique_ptr<prometheus::Exposer> exposer =
      gpuproc::StartServer(addresses, config, collector, failure);
  if (!exposer) {
    std::fprintf(stderr, "gpuproc-exporter: %s\n", failure.text.c_str());
    return failure.status;
  }
  // Port 0 asked for any free port: a restart after a reload keeps the
  // one that was given.
  const std::vector<int> ports = exposer->GetListeningPorts();
  for (std::size_t i = 0; i < addresses.size() && i < ports.size(); ++i) {
    addresses[i].port = static_cast<unsigned>(ports[i]);
  }
  PrintServing(addresses, config.tls.has_value(), telemetryPath);

  std::vector<std::string> watched;
  std::vector<FileStamp> stamps;
  if (!configFile.empty()) {
    watched = gpuproc::WatchedFiles(configFile, config);
    stamps = Stamps(watched);
  }
  const timespec pollInterval{1, 0};
  while (sigtimedwait(&signals, nullptr, &pollInterval) < 0) {
    if (watched.empty() || Stamps(watched) == stamps) continue;
    gpuproc::WebConfigResult loaded = gpuproc::LoadWebConfig(configFile);
    if (!loaded.config) {
      std::fprintf(stderr, "gpuproc-exporter: %s; keeping the last good configuration\n",
                   loaded.error.c_str());
      std::fflush(stderr);
      stamps = Stamps(watched);
      continue;
    }
    WebConfig next = std::move(*loaded.config);
    watched = gpuproc::WatchedFiles(configFile, next);
    stamps = Stamps(watched);
    // Users change in place; TLS settings, and whether any user is asked
    // for at all, are the server's own: those take a restart.
    const bool restart = next.tls != config.tls || next.users.empty() != config.users.empty();
    requestPolicy.auth.SetUsers(next.users);
    if (restart) {
      exposer.reset();
      exposer = gpuproc::StartServer(addresses, next, collector, failure);
      if (!exposer) {
        std::fprintf(stderr, "gpuproc-exporter: %s; keeping the last good configuration\n",
                     failure.text.c_str());
        requestPolicy.auth.SetUsers(config.users);
        exposer = gpuproc::StartServer(addresses, config, collector, failure);
        if (!exposer) {
          std::fprintf(stderr, "gpuproc-exporter: %s\n", failure.text.c_str());
          return 1;
        }
        std::fflush(stderr);
        continue;
      }
    }
    config = std::move(next);
    std::fprintf(stderr, "gpuproc-exporter: %s reloaded\n", configFile.c_str());
    std::fflush(stderr);
  }
  // Stop serving (joining the server's threads) before the collector that a
  // scrape in flight may still be using goes away.
  exposer.reset();
  return 0;
}