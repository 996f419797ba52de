#include "web/replies.h"

#include <microhttpd.h>

namespace gpuproc {

namespace {

constexpr const char* kRealm = "gpuproc-exporter";
constexpr const char* kMetricsType = "text/plain; version=0.0.4; charset=utf-8";

std::shared_ptr<const std::string> Text(std::string text) {
  return std::make_shared<const std::string>(std::move(text));
}

void ReleaseBody(void* body) { delete static_cast<std::shared_ptr<const std::string>*>(body); }

}  // namespace

Reply PlainReply(unsigned status, const char* text) {
  return {status, "text/plain; charset=utf-8", Text(text), {}};
}

Reply UnauthorizedReply() {
  Reply reply = PlainReply(401, "Unauthorized\n");
  reply.headers.emplace_back("WWW-Authenticate", std::string("Basic realm=\"") + kRealm + "\"");
  return reply;
}

Reply BusyReply() {
  Reply reply = PlainReply(503, "Service Unavailable\n");
  reply.headers.emplace_back("Retry-After", "1");
  return reply;
}

Reply MetricsReply(std::shared_ptr<const std::string> text) {
  return {200, kMetricsType, std::move(text), {}};
}

Reply ImmediateReply(Route route, const std::string& landingPage) {
  switch (route) {
    case Route::kMetricsHead:
      // A probe that asks only for headers takes no reading.
      return MetricsReply(Text(""));
    case Route::kLanding:
      return {200, "text/html; charset=utf-8", Text(landingPage), {}};
    case Route::kMethodNotAllowed: {
      Reply reply = PlainReply(405, "Method Not Allowed\n");
      reply.headers.emplace_back("Allow", "GET, HEAD");
      return reply;
    }
    case Route::kMetrics:
    case Route::kNotFound:
      break;
  }
  return PlainReply(404, "Not Found\n");
}

bool QueueReply(MHD_Connection* connection, const Reply& reply, const Headers& configured) {
  const std::shared_ptr<const std::string> body = reply.body != nullptr ? reply.body : Text("");
  // The body is shared with the scrapes that waited for the same reading:
  // the response holds a reference until libmicrohttpd has sent it.
  auto reference = std::make_unique<std::shared_ptr<const std::string>>(body);
  MHD_Response* response = MHD_create_response_from_buffer_with_free_callback_cls(
      body->size(), const_cast<char*>(body->data()), &ReleaseBody, reference.get());
  // A response that was not made never calls ReleaseBody.
  if (response == nullptr) return false;
  reference.release();
  if (!reply.contentType.empty()) {
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, reply.contentType.c_str());
  }
  for (const Headers* headers : {&reply.headers, &configured}) {
    for (const auto& [name, value] : *headers) {
      MHD_add_response_header(response, name.c_str(), value.c_str());
    }
  }
  const MHD_Result result = MHD_queue_response(connection, reply.status, response);
  MHD_destroy_response(response);
  return result == MHD_YES;
}

}  // namespace gpuproc
