// The HTTP side of gpuproc-exporter on libmicrohttpd: event threads that
// keep idle connections cheap, listening sockets of its own that no reload
// closes, TLS through GnuTLS with the certificate handed out per handshake,
// basic auth, and the slow work (bcrypt, readings) on small worker pools.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "basic_auth.h"
#include "listen_address.h"
#include "web/listen_socket.h"
#include "web/tls_credentials.h"
#include "web/work_pool.h"
#include "web_config.h"
#include "web_server.h"

struct MHD_Daemon;
struct MHD_Connection;

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
  ~HttpServer();
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // Serves `config` on the sockets, which it keeps open from now on.
  bool Start(std::vector<ListenSocket> sockets, const WebConfig& config, StartFailure& failure);
  // The addresses bound, with the ports the kernel chose for port 0.
  std::vector<ListenAddress> Addresses() const;
  // A reloaded configuration, applied without closing a listening socket:
  // a new certificate is handed to the next handshakes, new TLS versions
  // or suites start new event threads on the same sockets. False with `why`
  // when it cannot be applied; the previous one keeps serving.
  bool Apply(const WebConfig& config, std::string& why);
  // Stops the event threads that a reload replaced once their last
  // connection has ended.
  void Tidy();

  struct Reply {
    unsigned status = 200;
    std::string contentType;
    std::shared_ptr<const std::string> body;
    std::vector<std::pair<std::string, std::string>> headers;
  };
  struct Exchange;
  // The server's request callback: false closes the connection.
  bool OnRequest(MHD_Connection* connection, const char* url, const char* method,
                 std::size_t* uploadSize, void** state);

 private:
  struct Policy {
    std::vector<std::pair<std::string, std::string>> headers;
    std::shared_ptr<const ClientCertificateCheck> clients;
  };
  struct Generation {
    std::vector<MHD_Daemon*> daemons;
    bool tls = false;
    std::string priority;
    std::chrono::steady_clock::time_point retired;
  };

  bool Begin(Exchange& exchange);
  void CheckThenServe(Exchange& exchange);
  void Read(Exchange& exchange);
  Reply Immediate(const Exchange& exchange) const;
  std::shared_ptr<const Policy> CurrentPolicy();
  bool StartGeneration(Generation& generation);
  static void Stop(Generation& generation);

  const std::string telemetryPath_;
  const std::string landingPage_;
  const ScrapeText scrape_;
  BasicAuth auth_;
  std::mutex policyMutex_;
  std::shared_ptr<const Policy> policy_ = std::make_shared<const Policy>();
  std::vector<ListenSocket> sockets_;
  Generation current_;
  std::vector<Generation> draining_;
  std::shared_ptr<const ServerCertificate> certificate_;
  ClientAuth clientAuth_ = ClientAuth::kNone;
  WorkPool checks_;
  WorkPool readings_;
};

}  // namespace gpuproc
