// The --listen value of gpuproc-exporter: ADDRESS:PORT with a numeric
// address, as the HTTP server's listening_ports option takes it.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace gpuproc {

struct ListenAddress {
  std::string host;  // an IPv4 literal, or an IPv6 literal without brackets
  unsigned port = 0;
  bool ipv6 = false;
};

// IPv4 "a.b.c.d:PORT" or IPv6 "[addr]:PORT", PORT 0 to 65535 (0: any free
// port). Host names are refused: the exporter binds before any resolver is
// worth trusting, and a name that resolves to several addresses would bind
// only one of them.
std::optional<ListenAddress> ParseListenAddress(std::string_view text);

// "127.0.0.1:10436" or "[::1]:10436".
std::string FormatListenAddress(const ListenAddress& address);

}  // namespace gpuproc
