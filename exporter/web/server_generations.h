// The libmicrohttpd servers on the exporter's listening sockets, one
// generation at a time. A reload that changes the TLS versions, suites or
// curves, or turns TLS on or off, starts a new generation of event threads
// on the same sockets; the old one stops taking connections and is stopped
// once its last connection has ended. A renewed certificate needs no new
// generation: it is handed to the next handshakes.
#pragma once

#include <microhttpd.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "listen_address.h"
#include "web/listen_socket.h"
#include "web/tls_credentials.h"
#include "web_config.h"

namespace gpuproc {

// What every generation's servers call for a request, and when one ends.
struct RequestHandlers {
  MHD_AccessHandlerCallback answer = nullptr;
  void* context = nullptr;
  MHD_RequestCompletedCallback completed = nullptr;
};

class ServerGenerations {
 public:
  explicit ServerGenerations(RequestHandlers handlers);
  ~ServerGenerations();
  ServerGenerations(const ServerGenerations&) = delete;
  ServerGenerations& operator=(const ServerGenerations&) = delete;

  // The sockets every generation serves, kept open until destruction.
  void Adopt(std::vector<ListenSocket> sockets);
  std::vector<ListenAddress> Addresses() const;

  // Serves `tls` (plain HTTP when empty) from the next connection on.
  // False with `why` when it cannot; what served before serves on.
  bool Serve(const std::optional<TLSSettings>& tls, std::string& why);
  // Stops the retired generations that have no connection left (or have
  // drained for ten minutes).
  void Tidy();
  std::size_t Retired() const { return retired_.size(); }

 private:
  struct Generation {
    std::vector<MHD_Daemon*> daemons;
    // The listening descriptors that MHD_quiesce_daemon handed back: ours
    // to close, but only once the daemon's threads are stopped.
    std::vector<int> quiesced;
    bool tls = false;
    std::string priority;
    std::chrono::steady_clock::time_point retired;
  };

  bool Start(Generation& generation);
  static void Stop(Generation& generation);

  const RequestHandlers handlers_;
  std::vector<ListenSocket> sockets_;
  Generation current_;
  std::vector<Generation> retired_;
  std::shared_ptr<const ServerCertificate> certificate_;
  ClientAuth clientAuth_ = ClientAuth::kNone;
};

}  // namespace gpuproc
