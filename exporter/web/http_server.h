// The HTTP side of gpuproc-exporter on libmicrohttpd: event threads that
// keep idle connections cheap, listening sockets of its own that no reload
// closes, TLS through GnuTLS with the certificate handed out per handshake,
// basic auth, and the slow work (bcrypt, readings) on small worker pools.
// This class routes each request through the connection policy and the
// login gate to its reply; the server generations own the sockets.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "listen_address.h"
#include "web/connection_policy.h"
#include "web/listen_socket.h"
#include "web/login_gate.h"
#include "web/server_generations.h"
#include "web/work_pool.h"
#include "web_config.h"

namespace gpuproc {

// Why the server could not start, and the exit status that goes with it (2
// when the web configuration is at fault).
struct StartFailure {
  std::string text;
  int status = 1;
};

// The scrape's text for a request that arrived at the given time.
using ScrapeText =
    std::function<std::shared_ptr<const std::string>(std::chrono::steady_clock::time_point)>;

class HttpServer {
 public:
  HttpServer(std::string telemetryPath, std::string landingPage, ScrapeText scrape);
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // Serves `config` on the sockets, which it keeps open from now on.
  bool Start(std::vector<ListenSocket> sockets, const WebConfig& config, StartFailure& failure);
  // The addresses bound, with the ports the kernel chose for port 0.
  std::vector<ListenAddress> Addresses() const { return generations_.Addresses(); }
  // A reloaded configuration, applied without closing a listening socket:
  // a new certificate is handed to the next handshakes, new TLS versions
  // or suites start new event threads on the same sockets. False with `why`
  // when it cannot be applied; the previous one keeps serving.
  bool Apply(const WebConfig& config, std::string& why);
  // Stops the event threads that a reload replaced once their last
  // connection has ended.
  void Tidy() { generations_.Tidy(); }

  struct Exchange;
  // The server's request callback: false closes the connection.
  bool OnRequest(MHD_Connection* connection, const char* url, const char* method,
                 std::size_t* uploadSize, void** state);

 private:
  bool Begin(Exchange& exchange);
  void AfterLogin(Exchange& exchange, LoginGate::Verdict verdict);
  void Serve(Exchange& exchange);
  void Read(Exchange& exchange);

  const std::string telemetryPath_;
  const std::string landingPage_;
  const ScrapeText scrape_;
  CurrentPolicy policy_;
  LoginGate gate_;
  WorkPool readings_;
  // Last, so that it is destroyed first: no request arrives once the
  // workers and the gate are gone.
  ServerGenerations generations_;
};

}  // namespace gpuproc
