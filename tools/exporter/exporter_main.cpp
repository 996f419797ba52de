// gpuproc-exporter: serves the GPU use of every process on /metrics for
// Prometheus, one all-processes reading of the library per scrape.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <CivetServer.h>
#include <prometheus/exposer.h>
#include <CLI/CLI.hpp>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "container_label.h"
#include "gpu_collector.h"
#include "gpuproc/gpuproc.h"
#include "listen_address.h"
#include "pod_label.h"

#ifndef GPUPROC_VERSION
#define GPUPROC_VERSION "unknown"
#endif

namespace {

constexpr const char* kDefaultListen = "127.0.0.1:9835";

// When the request a server thread is answering reached it. The pull
// exposer collects for one scrape at a time, so a scrape that came in during
// another's reading only reaches the collector after it; this is how the
// collector knows it waited.
thread_local std::chrono::steady_clock::time_point requestArrival;

int NoteRequestArrival(mg_connection*) {
  requestArrival = std::chrono::steady_clock::now();
  return 0;  // let the server handle the request
}

// The HTTP server reports only that it could not bind; binding a socket of
// our own to the same address tells why (in use, not this machine's, a
// privileged port).
std::string WhyBindFails(const gpuproc::ListenAddress& address) {
  const int family = address.ipv6 ? AF_INET6 : AF_INET;
  const int socketFd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (socketFd < 0) return std::strerror(errno);
  const int on = 1;
  ::setsockopt(socketFd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  int result = 0;
  if (address.ipv6) {
    sockaddr_in6 socketAddress{};
    socketAddress.sin6_family = AF_INET6;
    socketAddress.sin6_port = htons(static_cast<std::uint16_t>(address.port));
    ::inet_pton(AF_INET6, address.host.c_str(), &socketAddress.sin6_addr);
    result =
        ::bind(socketFd, reinterpret_cast<const sockaddr*>(&socketAddress), sizeof socketAddress);
  } else {
    sockaddr_in socketAddress{};
    socketAddress.sin_family = AF_INET;
    socketAddress.sin_port = htons(static_cast<std::uint16_t>(address.port));
    ::inet_pton(AF_INET, address.host.c_str(), &socketAddress.sin_addr);
    result =
        ::bind(socketFd, reinterpret_cast<const sockaddr*>(&socketAddress), sizeof socketAddress);
  }
  const int bindError = errno;
  ::close(socketFd);
  return result == 0 ? "the HTTP server could not start" : std::strerror(bindError);
}

sigset_t TerminationSignals() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  return signals;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{
      "Serves the GPU memory and engine use of every process on http://ADDRESS:PORT/metrics\n"
      "for Prometheus. Reads HOST_PROC and HOST_SYS (the host's /proc and /sys) when set.\n"
      "Exit status: 0 after SIGTERM or SIGINT, 1 when it cannot listen, 2 on bad usage.",
      "gpuproc-exporter"};
  std::string listen = kDefaultListen;
  app.add_option("--listen", listen,
                 "address and port to serve on ([IPV6]:PORT for IPv6; port 0: any)")
      ->option_text("ADDRESS:PORT")
      ->capture_default_str();
  std::string podLogsDir = "/var/log/pods";
  app.add_option("--kubelet.pod-logs-dir", podLogsDir,
                 "the kubelet's pod log folder (its sibling 'containers' too), read for the "
                 "namespace, pod and container names of processes in pods")
      ->option_text("DIR")
      ->capture_default_str();
  app.set_version_flag("--version", std::string("gpuproc-exporter ") + GPUPROC_VERSION);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    // --help and --version are "errors" with status 0; every other usage
    // error exits 2, as gpuproc's do.
    const int status = app.exit(error);
    return status == 0 ? 0 : 2;
  }
  const std::optional<gpuproc::ListenAddress> address = gpuproc::ParseListenAddress(listen);
  if (!address) {
    std::fprintf(
        stderr,
        "gpuproc-exporter: --listen '%s' is not ADDRESS:PORT (a numeric IPv4 address, or an IPv6 "
        "address in brackets, and a port from 0 to 65535)\n",
        listen.c_str());
    return 2;
  }

  // Block the termination signals before the HTTP server starts its
  // threads, so that they inherit the mask and only sigwait receives them.
  const sigset_t signals = TerminationSignals();
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  const std::string bind = gpuproc::FormatListenAddress(*address);
  CivetCallbacks callbacks;
  callbacks.begin_request = NoteRequestArrival;
  std::unique_ptr<prometheus::Exposer> exposer;
  try {
    exposer = std::make_unique<prometheus::Exposer>(bind, 4, &callbacks);
  } catch (const std::exception&) {
    std::fprintf(stderr, "gpuproc-exporter: cannot listen on %s: %s\n", bind.c_str(),
                 WhyBindFails(*address).c_str());
    return 1;
  }
  auto collector = std::make_shared<gpuproc::GPUCollector>(
      [] {
        // The text belongs to the library until its next call: copy it.
        const char* text = GetGPUDataForAllProcesses();
        return std::string(text != nullptr ? text : "");
      },
      gpuproc::HostOwnerLookup(podLogsDir), [] { return requestArrival; });
  exposer->RegisterCollectable(collector);

  const std::vector<int> ports = exposer->GetListeningPorts();
  gpuproc::ListenAddress bound = *address;
  if (!ports.empty()) bound.port = static_cast<unsigned>(ports.front());
  std::fprintf(stderr, "gpuproc-exporter: serving http://%s/metrics\n",
               gpuproc::FormatListenAddress(bound).c_str());
  std::fflush(stderr);
  int received = 0;
  sigwait(&signals, &received);
  // Stop serving (joining the server's threads) before the collector that a
  // scrape in flight may still be using goes away.
  exposer.reset();
  return 0;
}
