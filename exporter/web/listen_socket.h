// The exporter's own listening sockets: bound once at start and kept open
// for the life of the process, whatever the server on them is replaced by,
// so that no other process can take the port in between.
#pragma once

#include <string>

#include "listen_address.h"

namespace gpuproc {

class ListenSocket {
 public:
  // Binds and listens; on failure the socket is invalid and `error` says
  // why. An IPv6 wildcard ("[::]") also takes IPv4 connections; every
  // address (":PORT") is "0.0.0.0" on a kernel without IPv6.
  ListenSocket(const ListenAddress& wanted, std::string& error);
  ~ListenSocket();
  ListenSocket(ListenSocket&& other) noexcept;
  ListenSocket(const ListenSocket&) = delete;
  ListenSocket& operator=(const ListenSocket&) = delete;
  ListenSocket& operator=(ListenSocket&&) = delete;

  int Fd() const { return fd_; }
  // The address with the port the kernel chose for port 0.
  const ListenAddress& Address() const { return address_; }

 private:
  int fd_ = -1;
  ListenAddress address_;
};

}  // namespace gpuproc
