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

}  // namespace gpuproc
