#include "web/http_server.h"

#include <fcntl.h>
#include <microhttpd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <optional>
#include <thread>

namespace gpuproc {

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kRealm = "gpuproc-exporter";
constexpr const char* kMetricsType = "text/plain; version=0.0.4; charset=utf-8";
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
// Readings are taken one at a time (the collector serialises them) and
// shared by the scrapes that wait for them: one worker, so that every
// reading allocates from the same memory as the last.
constexpr unsigned kReadingThreads = 1;
constexpr std::size_t kReadingQueue = 64;
constexpr std::size_t kChecksQueuedPerCore = 4;
// A login that waited this long for a core is answered 503, not checked.
constexpr auto kCheckWaitLimit = std::chrono::seconds(2);

unsigned Cores() { return std::max(1u, std::thread::hardware_concurrency()); }

std::shared_ptr<const std::string> Text(std::string text) {
  return std::make_shared<const std::string>(std::move(text));
}

HttpServer::Reply Plain(unsigned status, const char* text) {
  return {status, "text/plain; charset=utf-8", Text(text), {}};
}

HttpServer::Reply Unauthorized() {
  HttpServer::Reply reply = Plain(401, "Unauthorized\n");
  reply.headers.emplace_back("WWW-Authenticate", std::string("Basic realm=\"") + kRealm + "\"");
  return reply;
}

HttpServer::Reply Busy() {
  HttpServer::Reply reply = Plain(503, "Service Unavailable\n");
  reply.headers.emplace_back("Retry-After", "1");
  return reply;
}

void ReleaseBody(void* body) { delete static_cast<std::shared_ptr<const std::string>*>(body); }

// Routing compares the path as it came: "/%6detrics" is not "/metrics".
std::size_t KeepRaw(void*, MHD_Connection*, char* uri) { return std::strlen(uri); }

}  // namespace

struct HttpServer::Exchange {
  MHD_Connection* connection = nullptr;
  std::shared_ptr<const Policy> policy;
  Route route = Route::kNotFound;
  Clock::time_point arrival;
  std::optional<Credentials> credentials;
  Reply reply;
  std::atomic<bool> ready{false};
};

namespace {

void Completed(void*, MHD_Connection*, void** state, MHD_RequestTerminationCode) {
  delete static_cast<HttpServer::Exchange*>(*state);
  *state = nullptr;
}

bool Queue(HttpServer::Exchange& exchange,
           const std::vector<std::pair<std::string, std::string>>& policyHeaders) {
  const HttpServer::Reply& reply = exchange.reply;
  const std::shared_ptr<const std::string> body = reply.body != nullptr ? reply.body : Text("");
  MHD_Response* response = MHD_create_response_from_buffer_with_free_callback_cls(
      body->size(), const_cast<char*>(body->data()), &ReleaseBody,
      new std::shared_ptr<const std::string>(body));
  if (response == nullptr) return false;
  if (!reply.contentType.empty()) {
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, reply.contentType.c_str());
  }
  for (const auto* headers : {&reply.headers, &policyHeaders}) {
    for (const auto& [name, value] : *headers) {
      MHD_add_response_header(response, name.c_str(), value.c_str());
    }
  }
  const MHD_Result result = MHD_queue_response(exchange.connection, reply.status, response);
  MHD_destroy_response(response);
  return result == MHD_YES;
}

void Finish(HttpServer::Exchange& exchange, HttpServer::Reply reply) {
  exchange.reply = std::move(reply);
  exchange.ready.store(true, std::memory_order_release);
  MHD_resume_connection(exchange.connection);
}

MHD_Result Answer(void* server, MHD_Connection* connection, const char* url, const char* method,
                  const char*, const char*, std::size_t* uploadSize, void** state) {
  return static_cast<HttpServer*>(server)->OnRequest(connection, url, method, uploadSize, state)
             ? MHD_YES
             : MHD_NO;
}

}  // namespace

HttpServer::HttpServer(std::string telemetryPath, std::string landingPage, ScrapeText scrape)
    : telemetryPath_(std::move(telemetryPath)),
      landingPage_(std::move(landingPage)),
      scrape_(std::move(scrape)),
      checks_(Cores(), Cores() * kChecksQueuedPerCore),
      readings_(kReadingThreads, kReadingQueue) {}

HttpServer::~HttpServer() {
  Stop(current_);
  for (Generation& generation : draining_) Stop(generation);
}

bool HttpServer::Start(std::vector<ListenSocket> sockets, const WebConfig& config,
                       StartFailure& failure) {
  sockets_ = std::move(sockets);
  std::string why;
  if (!Apply(config, why)) {
    failure = {why, 2};
    return false;
  }
  return true;
}

std::vector<ListenAddress> HttpServer::Addresses() const {
  std::vector<ListenAddress> addresses;
  for (const ListenSocket& socket : sockets_) addresses.push_back(socket.Address());
  return addresses;
}

bool HttpServer::Apply(const WebConfig& config, std::string& why) {
  auto policy = std::make_shared<Policy>();
  policy->headers = config.headers;
  std::shared_ptr<const ServerCertificate> certificate;
  if (config.tls) {
    certificate = ServerCertificate::Load(config.tls->certificatePEM, config.tls->keyPEM, why);
    if (certificate == nullptr) {
      why = "tls_server_config: " + why;
      return false;
    }
    if (config.tls->clientAuth != ClientAuth::kNone) {
      policy->clients = ClientCertificateCheck::Make(*config.tls, why);
      if (policy->clients == nullptr) {
        why = "tls_server_config.client_ca_file: " + why;
        return false;
      }
    }
  }
  Generation next;
  next.tls = config.tls.has_value();
  next.priority = config.tls ? config.tls->priority : "";
  const bool restart =
      current_.daemons.empty() || next.tls != current_.tls || next.priority != current_.priority;
  // Handed out before new event threads take their first handshake.
  if (certificate != nullptr) {
    ServeCertificate(certificate, config.tls->clientAuth);
  }
  if (restart && !StartGeneration(next)) {
    if (certificate_ != nullptr) ServeCertificate(certificate_, clientAuth_);
    why = next.tls ? "the TLS server cannot start with tls_server_config's versions, cipher "
                     "suites and curves"
                   : "the HTTP server cannot start";
    return false;
  }
  certificate_ = certificate;
  clientAuth_ = config.tls ? config.tls->clientAuth : ClientAuth::kNone;
  auth_.SetUsers(config.users);
  {
    std::lock_guard lock(policyMutex_);
    policy_ = std::move(policy);
  }
  if (restart) {
    // The old threads stop taking connections and finish the ones they
    // hold; the sockets stay open throughout.
    for (MHD_Daemon* daemon : current_.daemons) MHD_quiesce_daemon(daemon);
    current_.retired = Clock::now();
    if (!current_.daemons.empty()) draining_.push_back(std::move(current_));
    current_ = std::move(next);
  }
  return true;
}

void HttpServer::Tidy() {
  constexpr auto kLongestDrain = std::chrono::minutes(10);
  std::erase_if(draining_, [&](Generation& generation) {
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

bool HttpServer::StartGeneration(Generation& generation) {
  for (const ListenSocket& socket : sockets_) {
    // The server closes the socket it is given when it stops: it gets a
    // duplicate, and the exporter keeps the original bound.
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
               : MHD_start_daemon(flags, 0, nullptr, nullptr, &Answer, this, MHD_OPTION_ARRAY,
                                  common, MHD_OPTION_NOTIFY_COMPLETED, &Completed, nullptr,
                                  MHD_OPTION_UNESCAPE_CALLBACK, &KeepRaw, nullptr,
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

void HttpServer::Stop(Generation& generation) {
  for (MHD_Daemon* daemon : generation.daemons) MHD_stop_daemon(daemon);
  generation.daemons.clear();
}

std::shared_ptr<const HttpServer::Policy> HttpServer::CurrentPolicy() {
  std::lock_guard lock(policyMutex_);
  return policy_;
}

bool HttpServer::OnRequest(MHD_Connection* connection, const char* url, const char* method,
                           std::size_t* uploadSize, void** state) {
  HttpServer& self = *this;
  auto* exchange = static_cast<Exchange*>(*state);
  if (exchange == nullptr) {
    exchange = new Exchange;
    *state = exchange;
    exchange->connection = connection;
    exchange->arrival = Clock::now();
    exchange->policy = self.CurrentPolicy();
    if (exchange->policy->clients != nullptr) {
      const MHD_ConnectionInfo* info =
          MHD_get_connection_info(connection, MHD_CONNECTION_INFO_GNUTLS_SESSION);
      // Refused as a failed handshake would be: the connection closes.
      if (info == nullptr ||
          !exchange->policy->clients->Accepts(static_cast<gnutls_session_t>(info->tls_session))) {
        return false;
      }
    }
    exchange->route = RouteRequest(method, url, self.telemetryPath_);
    return self.Begin(*exchange);
  }
  if (*uploadSize != 0) {
    *uploadSize = 0;  // a body nobody asked for
    return true;
  }
  if (exchange->ready.load(std::memory_order_acquire)) {
    return Queue(*exchange, exchange->policy->headers);
  }
  return true;
}

bool HttpServer::Begin(Exchange& exchange) {
  if (auth_.Enabled()) {
    exchange.credentials = ParseAuthorization(MHD_lookup_connection_value(
        exchange.connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_AUTHORIZATION));
    std::optional<bool> verdict = false;
    if (exchange.credentials) verdict = auth_.Remembered(*exchange.credentials);
    if (verdict && !*verdict) {
      exchange.reply = Unauthorized();
      return Queue(exchange, exchange.policy->headers);
    }
    if (!verdict) {
      MHD_suspend_connection(exchange.connection);
      if (!checks_.Submit([this, &exchange] { CheckThenServe(exchange); }))
        Finish(exchange, Busy());
      return true;
    }
  }
  if (exchange.route != Route::kMetrics) {
    exchange.reply = Immediate(exchange);
    return Queue(exchange, exchange.policy->headers);
  }
  MHD_suspend_connection(exchange.connection);
  if (!readings_.Submit([this, &exchange] { Read(exchange); })) Finish(exchange, Busy());
  return true;
}

void HttpServer::CheckThenServe(Exchange& exchange) {
  if (Clock::now() - exchange.arrival > kCheckWaitLimit) return Finish(exchange, Busy());
  if (!auth_.Check(*exchange.credentials)) return Finish(exchange, Unauthorized());
  if (exchange.route != Route::kMetrics) return Finish(exchange, Immediate(exchange));
  if (!readings_.Submit([this, &exchange] { Read(exchange); })) Finish(exchange, Busy());
}

void HttpServer::Read(Exchange& exchange) {
  try {
    Finish(exchange, {200, kMetricsType, scrape_(exchange.arrival), {}});
  } catch (const std::exception&) {
    Finish(exchange, Plain(500, "Internal Server Error\n"));
  }
}

HttpServer::Reply HttpServer::Immediate(const Exchange& exchange) const {
  switch (exchange.route) {
    case Route::kMetricsHead:
      // A probe that asks only for headers takes no reading.
      return {200, kMetricsType, Text(""), {}};
    case Route::kLanding:
      return {200, "text/html; charset=utf-8", Text(landingPage_), {}};
    case Route::kMethodNotAllowed: {
      Reply reply = Plain(405, "Method Not Allowed\n");
      reply.headers.emplace_back("Allow", "GET, HEAD");
      return reply;
    }
    case Route::kMetrics:
    case Route::kNotFound:
      break;
  }
  return Plain(404, "Not Found\n");
}

}  // namespace gpuproc
