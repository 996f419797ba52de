// The HTTP side of gpuproc-exporter: prometheus-cpp's exposer over
// civetweb, started for one listening configuration, with a filter that
// every request passes first (exact paths, HEAD, the landing page, basic
// auth on every path).
#pragma once

#include <prometheus/collectable.h>
#include <prometheus/exposer.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "basic_auth.h"
#include "listen_address.h"
#include "web_config.h"

namespace gpuproc {

// What the request filter needs. Set once before the first server starts
// and kept for the life of the process; the users change in place.
struct RequestPolicy {
  std::string telemetryPath;
  std::string landingPage;
  BasicAuth auth;
};
void SetRequestPolicy(RequestPolicy* policy);

// When the request that the calling server thread answers reached it. The
// pull exposer collects for one scrape at a time, so a scrape that came in
// during another's reading only reaches the collector after it; this is
// how the collector knows it waited.
std::chrono::steady_clock::time_point RequestArrival();

// Why a server could not start, and the exit status that goes with it (2
// when the web configuration is at fault).
struct StartFailure {
  std::string text;
  int status = 1;
};

using prometheus::Collectable;

// The exposer serving `collector` on the policy's telemetry path, or null
// with `failure` filled.
std::unique_ptr<prometheus::Exposer> StartServer(const std::vector<ListenAddress>& addresses,
                                                 const WebConfig& config,
                                                 const std::shared_ptr<Collectable>& collector,
                                                 StartFailure& failure);

}  // namespace gpuproc
