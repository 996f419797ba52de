#include "listen_address.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

#include <algorithm>
#include <charconv>

namespace gpuproc {

namespace {

constexpr const char* kForm =
    "is not [HOST]:PORT (HOST: an IPv4 address, a name, an IPv6 address in brackets, or "
    "nothing for every address; PORT: 0 to 65535)";

std::optional<unsigned> ParsePort(std::string_view text) {
  if (text.empty() || text.size() > 5) return std::nullopt;
  unsigned port = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), port);
  if (error != std::errc() || end != text.data() + text.size() || port > 65535) return std::nullopt;
  return port;
}

// A host name in the letters, digits, hyphens and dots of DNS, whose last
// label is not all digits (as no top-level domain is), so that a number
// that is not a dotted quad never reaches the resolver as a name.
bool IsHostName(std::string_view host) {
  if (host.empty() || host.size() > 253) return false;
  const bool characters = std::all_of(host.begin(), host.end(), [](char c) {
    return c == '-' || c == '.' || c == '_' || (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') ||
           (c >= 'A' && c <= 'Z');
  });
  std::string_view last = host;
  if (last.back() == '.') last.remove_suffix(1);  // a fully qualified name
  last = last.substr(last.rfind('.') == std::string_view::npos ? 0 : last.rfind('.') + 1);
  return characters && !last.empty() &&
         !std::all_of(last.begin(), last.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// The first IPv4 address of `name`, else its first IPv6 one.
std::optional<ListenAddress> Resolve(const std::string& name, std::string& why) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const int error = ::getaddrinfo(name.c_str(), nullptr, &hints, &found);
  if (error != 0) {
    why = std::string("names no address: ") + ::gai_strerror(error);
    return std::nullopt;
  }
  const addrinfo* chosen = nullptr;
  for (const addrinfo* entry = found; entry != nullptr; entry = entry->ai_next) {
    if (entry->ai_family == AF_INET) {
      chosen = entry;
      break;
    }
    if (entry->ai_family == AF_INET6 && chosen == nullptr) chosen = entry;
  }
  std::optional<ListenAddress> address;
  char text[INET6_ADDRSTRLEN] = {};
  if (chosen != nullptr) {
    const bool ipv6 = chosen->ai_family == AF_INET6;
    const void* bytes =
        ipv6 ? static_cast<const void*>(
                   &reinterpret_cast<const sockaddr_in6*>(chosen->ai_addr)->sin6_addr)
             : &reinterpret_cast<const sockaddr_in*>(chosen->ai_addr)->sin_addr;
    if (::inet_ntop(chosen->ai_family, bytes, text, sizeof text) != nullptr) {
      address = ListenAddress{text, 0, ipv6, false};
    }
  }
  ::freeaddrinfo(found);
  if (!address) why = "names no IPv4 or IPv6 address";
  return address;
}

}  // namespace

std::optional<ListenAddress> ParseListenAddress(std::string_view text, std::string& why) {
  why = kForm;
  const std::size_t colon = text.rfind(':');
  if (colon == std::string_view::npos) return std::nullopt;
  const std::optional<unsigned> port = ParsePort(text.substr(colon + 1));
  if (!port) return std::nullopt;
  const std::string_view host = text.substr(0, colon);
  std::optional<ListenAddress> address;
  if (host.empty()) {
    address = ListenAddress{"::", 0, true, true};
  } else if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    const std::string literal(host.substr(1, host.size() - 2));
    in6_addr parsed{};
    if (::inet_pton(AF_INET6, literal.c_str(), &parsed) != 1) return std::nullopt;
    address = ListenAddress{literal, 0, true, false};
  } else {
    const std::string literal(host);
    in_addr parsed{};
    // inet_pton takes only the dotted quad: no "0x7f.1", no "127.1".
    if (::inet_pton(AF_INET, literal.c_str(), &parsed) == 1) {
      address = ListenAddress{literal, 0, false, false};
    } else if (IsHostName(host)) {
      address = Resolve(literal, why);
    }
  }
  if (address) {
    address->port = *port;
    why.clear();
  }
  return address;
}

std::string FormatListenAddress(const ListenAddress& address) {
  const std::string host = address.ipv6 ? "[" + address.host + "]" : address.host;
  return host + ":" + std::to_string(address.port);
}

std::string FlagAsTyped(int argc, const char* const* argv, const std::vector<std::string>& names,
                        std::string_view value) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view argument = argv[i];
    for (const std::string& name : names) {
      if ((argument == name && i + 1 < argc && argv[i + 1] == value) ||
          (argument.size() == name.size() + 1 + value.size() && argument.starts_with(name) &&
           argument[name.size()] == '=' && argument.ends_with(value))) {
        return name;
      }
    }
  }
  return names.empty() ? std::string() : names.front();
}

}  // namespace gpuproc
