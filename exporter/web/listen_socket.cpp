#include "listen_socket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace gpuproc {

namespace {
constexpr int kListenBacklog = 128;
}  // namespace

ListenSocket::ListenSocket(const ListenAddress& wanted, std::string& error) : address_(wanted) {
  fd_ = ::socket(wanted.ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd_ < 0 && wanted.everyAddress && errno == EAFNOSUPPORT) {
    // A kernel without IPv6 (ipv6.disable=1): every address is every IPv4 one.
    address_ = {"0.0.0.0", wanted.port, false, true};
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  }
  const ListenAddress& address = address_;
  if (fd_ < 0) {
    error = std::strerror(errno);
    return;
  }
  const int on = 1;
  ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_storage storage{};
  socklen_t size = 0;
  if (address.ipv6) {
    auto* socketAddress = reinterpret_cast<sockaddr_in6*>(&storage);
    socketAddress->sin6_family = AF_INET6;
    socketAddress->sin6_port = htons(static_cast<std::uint16_t>(address.port));
    ::inet_pton(AF_INET6, address.host.c_str(), &socketAddress->sin6_addr);
    const int v6Only = IN6_IS_ADDR_UNSPECIFIED(&socketAddress->sin6_addr) ? 0 : 1;
    ::setsockopt(fd_, IPPROTO_IPV6, IPV6_V6ONLY, &v6Only, sizeof v6Only);
    size = sizeof(sockaddr_in6);
  } else {
    auto* socketAddress = reinterpret_cast<sockaddr_in*>(&storage);
    socketAddress->sin_family = AF_INET;
    socketAddress->sin_port = htons(static_cast<std::uint16_t>(address.port));
    ::inet_pton(AF_INET, address.host.c_str(), &socketAddress->sin_addr);
    size = sizeof(sockaddr_in);
  }
  if (::bind(fd_, reinterpret_cast<const sockaddr*>(&storage), size) != 0 ||
      ::listen(fd_, kListenBacklog) != 0 ||
      ::getsockname(fd_, reinterpret_cast<sockaddr*>(&storage), &size) != 0) {
    error = std::strerror(errno);
    ::close(fd_);
    fd_ = -1;
    return;
  }
  address_.port = ntohs(address.ipv6 ? reinterpret_cast<sockaddr_in6*>(&storage)->sin6_port
                                     : reinterpret_cast<sockaddr_in*>(&storage)->sin_port);
}

ListenSocket::~ListenSocket() {
  if (fd_ >= 0) ::close(fd_);
}

ListenSocket::ListenSocket(ListenSocket&& other) noexcept
    : fd_(other.fd_), address_(std::move(other.address_)) {
  other.fd_ = -1;
}

}  // namespace gpuproc
