#include "web_server.h"

namespace gpuproc {

Route RouteRequest(std::string_view method, std::string_view rawPath,
                   std::string_view telemetryPath) {
  const bool get = method == "GET";
  const bool head = method == "HEAD";
  if (rawPath == telemetryPath) {
    if (get) return Route::kMetrics;
    return head ? Route::kMetricsHead : Route::kMethodNotAllowed;
  }
  if (rawPath == "/") return get || head ? Route::kLanding : Route::kMethodNotAllowed;
  return Route::kNotFound;
}

std::string LandingPage(std::string_view telemetryPath, std::string_view version) {
  // The path is the operator's own flag, but it still goes into HTML.
  std::string path;
  for (const char c : telemetryPath) {
    switch (c) {
      case '&':
        path += "&amp;";
        break;
      case '<':
        path += "&lt;";
        break;
      case '>':
        path += "&gt;";
        break;
      case '"':
        path += "&quot;";
        break;
      default:
        path += c;
    }
  }
  return "<!DOCTYPE html>\n<html>\n<head><title>gpuproc-exporter</title></head>\n<body>\n"
         "<h1>gpuproc-exporter</h1>\n<p>GPU memory and engine use of every process, " +
         std::string(version) + ".</p>\n<p><a href=\"" + path + "\">Metrics</a></p>\n" +
         "</body>\n</html>\n";
}

std::vector<std::string> ServerOptions(const std::vector<ListenAddress>& addresses,
                                       const std::optional<TLSSettings>& tls,
                                       const std::string& pemPath) {
  std::string ports;
  for (const ListenAddress& address : addresses) {
    if (!ports.empty()) ports += ",";
    ports += FormatListenAddress(address);
    if (tls) ports += "s";
  }
  std::vector<std::string> options = {
      "listening_ports",    ports,
      "num_threads",        std::to_string(kWorkerThreads),
      "request_timeout_ms", std::to_string(kRequestTimeoutMs),
      "connection_queue",   std::to_string(kConnectionQueue),
      "listen_backlog",     std::to_string(kListenBacklog),
      "enable_keep_alive",  "no",
  };
  if (tls) {
    const char* verify = tls->clientAuth == ClientAuth::kRequireAndVerify ? "yes"
                         : tls->clientAuth == ClientAuth::kVerifyIfGiven  ? "optional"
                                                                          : "no";
    options.insert(options.end(), {"ssl_certificate", pemPath, "ssl_certificate_chain", pemPath,
                                   "ssl_protocol_version", std::to_string(tls->protocolVersion),
                                   "ssl_verify_peer", verify, "ssl_default_verify_paths", "no"});
    if (!tls->clientCAFile.empty())
      options.insert(options.end(), {"ssl_ca_file", tls->clientCAFile});
  }
  return options;
}

}  // namespace gpuproc
