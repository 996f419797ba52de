// How gpuproc-exporter is served: which requests reach the metrics, the
// landing page, and the HTTP server's options for the listening sockets,
// its workers and TLS.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "listen_address.h"
#include "web_config.h"

namespace gpuproc {

// The server runs one thread per connection. A connection that sends
// nothing holds its worker until the request timeout, so there are many
// workers and a short timeout (a scrape's request arrives within
// milliseconds of connecting); connections beyond the workers wait in a
// bounded queue, then in the kernel's listen backlog.
constexpr int kWorkerThreads = 64;
constexpr int kRequestTimeoutMs = 1000;
constexpr int kConnectionQueue = 64;
constexpr int kListenBacklog = 128;

enum class Route {
  kMetrics,           // GET on the telemetry path: the exposer answers
  kMetricsHead,       // HEAD on it: the headers of a scrape, no reading
  kLanding,           // GET or HEAD on "/"
  kMethodNotAllowed,  // another method on either
  kNotFound,          // any other path, even one that differs only in case or slashes
};

// `rawPath` is the request's path before the server's normalisation, so
// that "//metrics" or "/metrics/" is not taken for the telemetry path.
Route RouteRequest(std::string_view method, std::string_view rawPath,
                   std::string_view telemetryPath);

std::string LandingPage(std::string_view telemetryPath, std::string_view version);

// The options of the HTTP server (name, value, name, value...); `pemPath`
// is a file holding the key and certificate when `tls` is set.
std::vector<std::string> ServerOptions(const std::vector<ListenAddress>& addresses,
                                       const std::optional<TLSSettings>& tls,
                                       const std::string& pemPath);

}  // namespace gpuproc
