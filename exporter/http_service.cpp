#include "http_service.h"

#include <arpa/inet.h>
#include <dlfcn.h>
#include <limits.h>
#include <netinet/in.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <CivetServer.h>
#include <cerrno>
#include <cstring>

#include "web_server.h"

#ifndef GPUPROC_OPENSSL_COMPAT
#define GPUPROC_OPENSSL_COMPAT "lib/gpuproc-exporter/gpuproc-exporter-openssl-compat.so"
#endif

namespace gpuproc {

namespace {

constexpr const char* kRealm = "gpuproc-exporter";

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
  const Route route = RouteRequest(method, rawPath, policy->telemetryPath);
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
                "HTTP/1.1 200 OK\r\nContent-Type: text/plain; charset=utf-8\r\n"
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

}  // namespace

void SetRequestPolicy(RequestPolicy* requestPolicy) { policy = requestPolicy; }

std::chrono::steady_clock::time_point RequestArrival() { return requestArrival; }

std::unique_ptr<prometheus::Exposer> StartServer(const std::vector<ListenAddress>& addresses,
                                                 const WebConfig& config,
                                                 const std::shared_ptr<Collectable>& collector,
                                                 StartFailure& failure) {
  // The key and certificate reach the server as one PEM file, as it loads
  // them, in memory only (a memfd read through /proc/self/fd) so that the
  // key is not copied to disk.
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
  CivetCallbacks callbacks;  // copied by the server
  callbacks.begin_request = FilterRequest;
  std::unique_ptr<prometheus::Exposer> exposer;
  try {
    exposer = std::make_unique<prometheus::Exposer>(ServerOptions(addresses, config.tls, pemPath),
                                                    &callbacks);
  } catch (const std::exception&) {
    for (const ListenAddress& address : addresses) {
      const std::string why = WhyBindFails(address);
      if (!why.empty()) {
        failure = {"cannot listen on " + FormatListenAddress(address) + ": " + why, 1};
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

}  // namespace gpuproc
