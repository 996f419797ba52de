// The replies the exporter's server sends, and how one is queued on a
// libmicrohttpd connection.
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "web_server.h"

struct MHD_Connection;

namespace gpuproc {

using Headers = std::vector<std::pair<std::string, std::string>>;

struct Reply {
  unsigned status = 200;
  std::string contentType;
  std::shared_ptr<const std::string> body;
  Headers headers;
};

Reply PlainReply(unsigned status, const char* text);
// 401 with the realm that asks a browser for a password.
Reply UnauthorizedReply();
// 503 with Retry-After: a login or reading that could not be taken now.
Reply BusyReply();
Reply MetricsReply(std::shared_ptr<const std::string> text);
// What every route but a scrape answers at once.
Reply ImmediateReply(Route route, const std::string& landingPage);

// Queues `reply` with the configured headers after its own; false when
// libmicrohttpd refused it (the connection is then closed).
bool QueueReply(MHD_Connection* connection, const Reply& reply, const Headers& configured);

}  // namespace gpuproc
