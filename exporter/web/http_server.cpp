#include "web/http_server.h"

#include <microhttpd.h>

#include <atomic>
#include <optional>

#include "web/replies.h"
#include "web_server.h"

namespace gpuproc {

namespace {

using Clock = std::chrono::steady_clock;

// Readings are taken one at a time (the collector serialises them) and
// shared by the scrapes that wait for them: one worker, so that every
// reading allocates from the same memory as the last.
constexpr unsigned kReadingThreads = 1;
constexpr std::size_t kReadingQueue = 64;

}  // namespace

struct HttpServer::Exchange {
  MHD_Connection* connection = nullptr;
  std::shared_ptr<const ConnectionPolicy> policy;
  Route route = Route::kNotFound;
  Clock::time_point arrival;
  Reply reply;
  std::atomic<bool> ready{false};
};

namespace {

void Completed(void*, MHD_Connection*, void** state, MHD_RequestTerminationCode) {
  delete static_cast<HttpServer::Exchange*>(*state);
  *state = nullptr;
}

MHD_Result Answer(void* server, MHD_Connection* connection, const char* url, const char* method,
                  const char*, const char*, std::size_t* uploadSize, void** state) {
  return static_cast<HttpServer*>(server)->OnRequest(connection, url, method, uploadSize, state)
             ? MHD_YES
             : MHD_NO;
}

bool Queue(HttpServer::Exchange& exchange) {
  return QueueReply(exchange.connection, exchange.reply, exchange.policy->ReplyHeaders());
}

// For a suspended connection: its event thread sends the reply when the
// connection is resumed.
void Finish(HttpServer::Exchange& exchange, Reply reply) {
  exchange.reply = std::move(reply);
  exchange.ready.store(true, std::memory_order_release);
  MHD_resume_connection(exchange.connection);
}

}  // namespace

HttpServer::HttpServer(std::string telemetryPath, std::string landingPage, ScrapeText scrape)
    : telemetryPath_(std::move(telemetryPath)),
      landingPage_(std::move(landingPage)),
      scrape_(std::move(scrape)),
      readings_(kReadingThreads, kReadingQueue),
      generations_(RequestHandlers{&Answer, this, &Completed}) {}

bool HttpServer::Start(std::vector<ListenSocket> sockets, const WebConfig& config,
                       StartFailure& failure) {
  generations_.Adopt(std::move(sockets));
  std::string why;
  if (!Apply(config, why)) {
    failure = {why, 2};
    return false;
  }
  return true;
}

bool HttpServer::Apply(const WebConfig& config, std::string& why) {
  std::shared_ptr<const ConnectionPolicy> policy = ConnectionPolicy::Make(config, why);
  if (policy == nullptr || !generations_.Serve(config.tls, why)) return false;
  gate_.SetUsers(config.users);
  policy_.Set(std::move(policy));
  return true;
}

bool HttpServer::OnRequest(MHD_Connection* connection, const char* url, const char* method,
                           std::size_t* uploadSize, void** state) {
  auto* exchange = static_cast<Exchange*>(*state);
  if (exchange == nullptr) {
    exchange = new Exchange;
    *state = exchange;
    exchange->connection = connection;
    exchange->arrival = Clock::now();
    exchange->policy = policy_.Get();
    // Refused as a failed handshake would be: the connection closes.
    if (!exchange->policy->Admits(connection)) return false;
    exchange->route = RouteRequest(method, url, telemetryPath_);
    return Begin(*exchange);
  }
  if (*uploadSize != 0) {
    *uploadSize = 0;  // a body nobody asked for
    return true;
  }
  if (exchange->ready.load(std::memory_order_acquire)) return Queue(*exchange);
  return true;
}

bool HttpServer::Begin(Exchange& exchange) {
  if (gate_.Enabled()) {
    const std::optional<Credentials> credentials = LoginGate::CredentialsOf(exchange.connection);
    const std::string client = LoginGate::ClientOf(exchange.connection);
    const std::optional<LoginGate::Verdict> verdict = gate_.Remembered(credentials, client);
    if (verdict == LoginGate::Verdict::kRefused) {
      exchange.reply = UnauthorizedReply();
      return Queue(exchange);
    }
    if (!verdict) {
      MHD_suspend_connection(exchange.connection);
      if (!gate_.CheckLater(
              *credentials, client, exchange.arrival,
              [this, &exchange](LoginGate::Verdict checked) { AfterLogin(exchange, checked); })) {
        Finish(exchange, BusyReply());
      }
      return true;
    }
  }
  if (exchange.route != Route::kMetrics) {
    exchange.reply = ImmediateReply(exchange.route, landingPage_);
    return Queue(exchange);
  }
  MHD_suspend_connection(exchange.connection);
  Serve(exchange);
  return true;
}

void HttpServer::AfterLogin(Exchange& exchange, LoginGate::Verdict verdict) {
  if (verdict == LoginGate::Verdict::kBusy) return Finish(exchange, BusyReply());
  if (verdict == LoginGate::Verdict::kRefused) return Finish(exchange, UnauthorizedReply());
  if (exchange.route != Route::kMetrics) {
    return Finish(exchange, ImmediateReply(exchange.route, landingPage_));
  }
  Serve(exchange);
}

// A scrape on a suspended connection: the reading is taken on its worker.
void HttpServer::Serve(Exchange& exchange) {
  if (!readings_.Submit([this, &exchange] { Read(exchange); })) Finish(exchange, BusyReply());
}

void HttpServer::Read(Exchange& exchange) {
  try {
    Finish(exchange, MetricsReply(scrape_(exchange.arrival)));
  } catch (const std::exception&) {
    Finish(exchange, PlainReply(500, "Internal Server Error\n"));
  }
}

}  // namespace gpuproc
