// How gpuproc-exporter is served: which requests reach the metrics, and
// the landing page.
#pragma once

#include <string>
#include <string_view>

namespace gpuproc {

enum class Route {
  kMetrics,           // GET on the telemetry path: the exposer answers
  kMetricsHead,       // HEAD on it: the headers of a scrape, no reading
  kLanding,           // GET or HEAD on "/"
  kMethodNotAllowed,  // another method on either
  kNotFound,          // any other path, even one that differs only in case or slashes
};

// `rawPath` is the request's path as it came, not percent-decoded or
// normalised, so that "//metrics", "/metrics/" or "/%6detrics" is not taken
// for the telemetry path.
Route RouteRequest(std::string_view method, std::string_view rawPath,
                   std::string_view telemetryPath);

std::string LandingPage(std::string_view telemetryPath, std::string_view version);

}  // namespace gpuproc
