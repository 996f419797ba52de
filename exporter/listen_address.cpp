#include "listen_address.h"

#include <arpa/inet.h>

#include <charconv>

namespace gpuproc {

namespace {

std::optional<unsigned> ParsePort(std::string_view text) {
  if (text.empty() || text.size() > 5) return std::nullopt;
  unsigned port = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), port);
  if (error != std::errc() || end != text.data() + text.size() || port > 65535) return std::nullopt;
  return port;
}

}  // namespace

std::optional<ListenAddress> ParseListenAddress(std::string_view text) {
  const std::size_t colon = text.rfind(':');
  if (colon == std::string_view::npos) return std::nullopt;
  const std::optional<unsigned> port = ParsePort(text.substr(colon + 1));
  if (!port) return std::nullopt;
  std::string_view host = text.substr(0, colon);
  ListenAddress address;
  address.port = *port;
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    address.host = std::string(host.substr(1, host.size() - 2));
    address.ipv6 = true;
    in6_addr parsed{};
    if (::inet_pton(AF_INET6, address.host.c_str(), &parsed) != 1) return std::nullopt;
    return address;
  }
  address.host = std::string(host);
  in_addr parsed{};
  // inet_pton takes only the dotted quad: no "0x7f.1", no "127.1".
  if (::inet_pton(AF_INET, address.host.c_str(), &parsed) != 1) return std::nullopt;
  return address;
}

std::string FormatListenAddress(const ListenAddress& address) {
  const std::string host = address.ipv6 ? "[" + address.host + "]" : address.host;
  return host + ":" + std::to_string(address.port);
}

}  // namespace gpuproc
