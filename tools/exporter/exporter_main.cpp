// gpuproc-exporter: serves the GPU use of every process for Prometheus, one
// all-processes reading of the library per scrape, with the listening,
// TLS and basic-auth flags and file of the Prometheus exporter-toolkit.
#include <arpa/inet.h>
#include <dlfcn.h>
#include <limits.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
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
#include <tuple>
#include <vector>

#include "basic_auth.h"
#include "container_label.h"
#include "gpu_collector.h"
#include "gpuproc/gpuproc.h"
#include "listen_address.h"
#include "web_config.h"
#include "web_server.h"

#ifndef GPUPROC_VERSION
#define GPUPROC_VERSION "unknown"
#endif
#ifndef GPUPROC_OPENSSL_COMPAT
#define GPUPROC_OPENSSL_COMPAT "lib/gpuproc-exporter/gpuproc-exporter-openssl-compat.so"
#endif

namespace {

using gpuproc::ListenAddress;
using gpuproc::Route;
using gpuproc::WebConfig;

constexpr const char* kDefaultListen = "127.0.0.1:10436";
constexpr const char* kRealm = "gpuproc-exporter";

// What the request filter needs; set before the server starts, read by its
// threads.
struct RequestPolicy {
  std::string telemetryPath;
  std::string landingPage;
  gpuproc::BasicAuth auth;
};
RequestPolicy* policy = nullptr;

// When the request a server thread is answering reached it. The pull
// exposer collects for one scrape at a time, so a scrape that came in during
// another's reading only reaches the collector after it; this is how the
// collector knows it waited.
thread_local std::chrono::steady_clock::time_point requestArrival;

int Reply(mg_connection* connection, int status, const char* reason, const std::string& headers,
          const std::string& body, bool sendBody) {
  mg_printf(connection, "HTTP/1.1 %d %s\r\n%sContent-Length: %zu\r\nConnection: close\r\n\r\n",
            status, reason, headers.c_str(), body.size());
  if (sendBody) mg_write(connection, body.data(), body.size());
  return status;
}

// Runs before the server looks for a handler: only the exact telemetry path
// reaches the exposer (the server would also hand it "/metrics/x" or
// "/METRICS", each costing a reading), HEAD is answered here, and every
// path asks for the credentials when users are configured.
int FilterRequest(mg_connection* connection) {
  requestArrival = std::chrono::steady_clock::now();
  const mg_request_info* request = mg_get_request_info(connection);
  const char* rawPath = request->local_uri_raw != nullptr ? request->local_uri_raw : "";
  const std::string_view method = request->request_method;
  const Route route = gpuproc::RouteRequest(method, rawPath, policy->telemetryPath);
  const bool head = method == "HEAD";
  if (policy->auth.Enabled() &&
      !policy->auth.CheckHeader(mg_get_header(connection, "Authorization"))) {
    return Reply(connection, 401, "Unauthorized",
                 std::string("WWW-Authenticate: Basic realm=\"") + kRealm + "\"\r\n",
                 "Unauthorized\n", !head);
  }
  switch (route) {
    case Route::kMetrics:
      return 0;  // the exposer answers
    case Route::kMetricsHead:
      // A probe that asks only for headers takes no 100 ms reading.
      mg_printf(connection,
                "HTTP/1.1 200 OK\r\nContent-Type: text/plain; version=0.0.4\r\n"
                "Connection: close\r\n\r\n");
      return 200;
    case Route::kLanding:
      return Reply(connection, 200, "OK", "Content-Type: text/html; charset=utf-8\r\n",
                   policy->landingPage, !head);
    case Route::kMethodNotAllowed:
      return Reply(connection, 405, "Method Not Allowed", "Allow: GET, HEAD\r\n",
                   "Method Not Allowed\n", !head);
    case Route::kNotFound:
      break;
  }
  return Reply(connection, 404, "Not Found", "Content-Type: text/plain\r\n", "Not Found\n", !head);
}

// The HTTP server reports only that it could not start; binding a socket of
// our own to the same address tells why (in use, not this machine's, a
// privileged port). Empty when the address can be bound.
std::string WhyBindFails(const ListenAddress& address) {
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
  return result == 0 ? std::string() : std::strerror(bindError);
}

sigset_t TerminationSignals() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  return signals;
}

// Makes the HTTP server's TLS usable with OpenSSL 3 (see
// openssl_compat.cpp): the object must be loaded before the server loads
// "libssl.so". Looked for beside the executable (the build tree), then in
// the installed library folder. Empty on success, else why not.
std::string LoadOpenSSLCompat() {
  static bool loaded = false;
  if (loaded) return {};
  char executable[PATH_MAX] = {};
  const ssize_t length = ::readlink("/proc/self/exe", executable, sizeof executable - 1);
  std::string folder = length > 0 ? std::string(executable, static_cast<std::size_t>(length)) : "";
  folder = folder.substr(0, folder.rfind('/') + 1);
  std::string errors;
  for (const std::string& candidate :
       {folder + "gpuproc-exporter-openssl-compat.so", folder + "../" GPUPROC_OPENSSL_COMPAT}) {
    if (::dlopen(candidate.c_str(), RTLD_NOW | RTLD_GLOBAL) != nullptr) {
      loaded = true;
      return {};
    }
    errors += std::string(errors.empty() ? "" : "; ") + ::dlerror();
  }
  return errors;
}

// A file descriptor closed when it goes out of scope.
struct OwnedFd {
  int fd = -1;
  ~OwnedFd() {
    if (fd >= 0) ::close(fd);
  }
};

// Why a server could not start, and the exit status that goes with it.
struct StartFailure {
  std::string text;
  int status = 1;
};

// The exposer of one configuration. The key and certificate reach the
// server as one PEM file, as it loads them, in memory only (a memfd read
// through /proc/self/fd) so that the key is not copied to disk.
std::unique_ptr<prometheus::Exposer> StartServer(
    const std::vector<ListenAddress>& addresses, const WebConfig& config,
    const std::shared_ptr<gpuproc::GPUCollector>& collector, const CivetCallbacks& callbacks,
    StartFailure& failure) {
  OwnedFd pem;
  std::string pemPath;
  if (config.tls) {
    const std::string why = LoadOpenSSLCompat();
    if (!why.empty()) {
      failure = {"TLS needs the OpenSSL 3 compatibility object installed with the exporter: " + why,
                 2};
      return nullptr;
    }
    pem.fd = ::memfd_create("gpuproc-exporter-pem", MFD_CLOEXEC);
    const std::string& text = config.tls->pem;
    if (pem.fd < 0 ||
        ::write(pem.fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
      failure = {std::string("cannot hold the key in memory: ") + std::strerror(errno), 1};
      return nullptr;
    }
    pemPath = "/proc/self/fd/" + std::to_string(pem.fd);
  }
  std::unique_ptr<prometheus::Exposer> exposer;
  try {
    exposer = std::make_unique<prometheus::Exposer>(
        gpuproc::ServerOptions(addresses, config.tls, pemPath), &callbacks);
  } catch (const std::exception&) {
    for (const ListenAddress& address : addresses) {
      const std::string why = WhyBindFails(address);
      if (!why.empty()) {
        failure = {"cannot listen on " + gpuproc::FormatListenAddress(address) + ": " + why, 1};
        return nullptr;
      }
    }
    failure = {config.tls ? "the HTTP server could not start TLS with the key and certificate of "
                            "tls_server_config (do they match? is libssl.so installed?)"
                          : "the HTTP server could not start",
               config.tls ? 2 : 1};
    return nullptr;
  }
  exposer->RegisterCollectable(collector, policy->telemetryPath);
  if (!config.users.empty()) {
    exposer->RegisterAuth(
        [](const std::string& user, const std::string& password) {
          return policy->auth.Check(user, password);
        },
        kRealm, policy->telemetryPath);
  }
  return exposer;
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

void PrintServing(const std::vector<ListenAddress>& addresses, bool tls) {
  for (const ListenAddress& address : addresses) {
    std::fprintf(stderr, "gpuproc-exporter: serving %s://%s%s\n", tls ? "https" : "http",
                 gpuproc::FormatListenAddress(address).c_str(), policy->telemetryPath.c_str());
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

  RequestPolicy requestPolicy{
      telemetryPath, gpuproc::LandingPage(telemetryPath, "version " GPUPROC_VERSION), {}};
  requestPolicy.auth.SetUsers(config.users);
  policy = &requestPolicy;

  // Block the termination signals before the HTTP server starts its
  // threads, so that they inherit the mask and only sigwait receives them.
  const sigset_t signals = TerminationSignals();
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  CivetCallbacks callbacks;
  callbacks.begin_request = FilterRequest;
  auto collector = std::make_shared<gpuproc::GPUCollector>(
      [] {
        // The text belongs to the library until its next call: copy it.
        const char* text = GetGPUDataForAllProcesses();
        return std::string(text != nullptr ? text : "");
      },
      gpuproc::ReadProcessContainer, [] { return requestArrival; });
  StartFailure failure;
  std::unique_ptr<prometheus::Exposer> exposer =
      StartServer(addresses, config, collector, callbacks, failure);
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
  PrintServing(addresses, config.tls.has_value());

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
      exposer = StartServer(addresses, next, collector, callbacks, failure);
      if (!exposer) {
        std::fprintf(stderr, "gpuproc-exporter: %s; keeping the last good configuration\n",
                     failure.text.c_str());
        requestPolicy.auth.SetUsers(config.users);
        exposer = StartServer(addresses, config, collector, callbacks, failure);
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
