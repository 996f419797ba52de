#include "web/server_generations.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstring>

namespace gpuproc {

namespace {

using Clock = std::chrono::steady_clock;

// Event threads: they only parse, hand over and write, so two keep up with
// any number of scrapers and TLS handshakes of a node.
constexpr unsigned kEventThreads = 2;
constexpr unsigned kMaxConnections = 1024;
// One address may hold most, not all, of the connections. (Every local
// user shares 127.0.0.1 with a scraper on loopback; no per-address limit
// tells them apart.)
constexpr unsigned kMaxConnectionsPerAddress = 768;
constexpr unsigned kIdleTimeoutSeconds = 10;
// Request line, headers and the reply's headers: a scrape's are well under.
constexpr std::size_t kConnectionMemory = 16 * 1024;
constexpr auto kLongestDrain = std::chrono::minutes(10);

// Routing compares the path as it came: "/%6detrics" is not "/metrics".
std::size_t KeepRaw(void*, MHD_Connection*, char* uri) { return std::strlen(uri); }

}  // namespace

ServerGenerations::ServerGenerations(RequestHandlers handlers) : handlers_(handlers) {}

ServerGenerations::~ServerGenerations() {
  Stop(current_);
  for (Generation& generation : retired_) Stop(generation);
}

void ServerGenerations::Adopt(std::vector<ListenSocket> sockets) { sockets_ = std::move(sockets); }

std::vector<ListenAddress> ServerGenerations::Addresses() const {
  std::vector<ListenAddress> addresses;
  for (const ListenSocket& socket : sockets_) addresses.push_back(socket.Address());
  return addresses;
}

bool ServerGenerations::Serve(const std::optional<TLSSettings>& tls, std::string& why) {
  std::shared_ptr<const ServerCertificate> certificate;
  if (tls) {
    certificate = ServerCertificate::Load(tls->certificatePEM, tls->keyPEM, why);
    if (certificate == nullptr) {
      why = "tls_server_config: " + why;
      return false;
    }
  }
  Generation next;
  next.tls = tls.has_value();
  next.priority = tls ? tls->priority : "";
  const bool restart =
      current_.daemons.empty() || next.tls != current_.tls || next.priority != current_.priority;
  // Handed out before new event threads take their first handshake.
  if (certificate != nullptr) ServeCertificate(certificate, tls->clientAuth);
  if (restart && !Start(next)) {
    if (certificate_ != nullptr) ServeCertificate(certificate_, clientAuth_);
    why = next.tls ? "the TLS server cannot start with tls_server_config's versions, cipher "
                     "suites and curves"
                   : "the HTTP server cannot start";
    return false;
  }
  certificate_ = certificate;
  clientAuth_ = tls ? tls->clientAuth : ClientAuth::kNone;
  if (!restart) return true;
  // The old threads stop taking connections and finish the ones they hold;
  // the sockets stay open throughout.
  for (MHD_Daemon* daemon : current_.daemons) {
    const MHD_socket handed = MHD_quiesce_daemon(daemon);
    if (handed != MHD_INVALID_SOCKET) current_.quiesced.push_back(handed);
  }
  current_.retired = Clock::now();
  if (!current_.daemons.empty()) retired_.push_back(std::move(current_));
  current_ = std::move(next);
  return true;
}

void ServerGenerations::Tidy() {
  std::erase_if(retired_, [&](Generation& generation) {
    bool idle = Clock::now() - generation.retired > kLongestDrain;
    if (!idle) {
      idle = true;
      for (MHD_Daemon* daemon : generation.daemons) {
        const MHD_DaemonInfo* info =
            MHD_get_daemon_info(daemon, MHD_DAEMON_INFO_CURRENT_CONNECTIONS);
        idle = idle && info != nullptr && info->num_connections == 0;
      }
    }
    if (idle) Stop(generation);
    return idle;
  });
}

bool ServerGenerations::Start(Generation& generation) {
  for (const ListenSocket& socket : sockets_) {
    // The server closes the socket it is given when it stops (unless it
    // was quiesced, which hands it back): it gets a duplicate, and the
    // exporter keeps the original bound.
    const int fd = ::fcntl(socket.Fd(), F_DUPFD_CLOEXEC, 0);
    const MHD_OptionItem common[] = {
        {MHD_OPTION_LISTEN_SOCKET, fd, nullptr},
        {MHD_OPTION_THREAD_POOL_SIZE, kEventThreads, nullptr},
        {MHD_OPTION_CONNECTION_LIMIT, kMaxConnections, nullptr},
        {MHD_OPTION_PER_IP_CONNECTION_LIMIT, kMaxConnectionsPerAddress, nullptr},
        {MHD_OPTION_CONNECTION_TIMEOUT, kIdleTimeoutSeconds, nullptr},
        {MHD_OPTION_CONNECTION_MEMORY_LIMIT, static_cast<intptr_t>(kConnectionMemory), nullptr},
        {MHD_OPTION_END, 0, nullptr},
    };
    const unsigned flags = MHD_USE_EPOLL_INTERNAL_THREAD | MHD_ALLOW_SUSPEND_RESUME |
                           (generation.tls ? MHD_USE_TLS : 0);
    MHD_Daemon* daemon =
        fd < 0 ? nullptr
               : MHD_start_daemon(flags, 0, nullptr, nullptr, handlers_.answer, handlers_.context,
                                  MHD_OPTION_ARRAY, common, MHD_OPTION_NOTIFY_COMPLETED,
                                  handlers_.completed, nullptr, MHD_OPTION_UNESCAPE_CALLBACK,
                                  &KeepRaw, nullptr,
                                  // Plain HTTP ends its options here.
                                  generation.tls ? MHD_OPTION_HTTPS_CERT_CALLBACK : MHD_OPTION_END,
                                  &RetrieveCertificate, MHD_OPTION_HTTPS_PRIORITIES,
                                  generation.priority.c_str(), MHD_OPTION_END);
    if (daemon == nullptr) {
      if (fd >= 0) ::close(fd);
      Stop(generation);
      return false;
    }
    generation.daemons.push_back(daemon);
  }
  return true;
}

void ServerGenerations::Stop(Generation& generation) {
  for (MHD_Daemon* daemon : generation.daemons) MHD_stop_daemon(daemon);
  generation.daemons.clear();
  // libmicrohttpd's threads may use a quiesced socket until they stop.
  for (const int fd : generation.quiesced) ::close(fd);
  generation.quiesced.clear();
}

}  // namespace gpuproc
