// The exporter's HTTP server across reloads: a reload that restarts the
// TLS event threads takes the listening socket back from the old ones and
// must give back everything it took, while the socket keeps serving.
#include <arpa/inet.h>
#include <gnutls/gnutls.h>
#include <gnutls/x509.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <string>

#include "web/http_server.h"

namespace gpuproc {
namespace {

std::string Exported(int result, gnutls_datum_t& datum) {
  EXPECT_EQ(result, 0);
  std::string text(reinterpret_cast<const char*>(datum.data), datum.size);
  gnutls_free(datum.data);
  return text;
}

// A self-signed P-256 certificate and its key, made here so that no key
// is kept in the tree.
TLSSettings SelfSigned() {
  gnutls_x509_privkey_t key = nullptr;
  gnutls_x509_crt_t certificate = nullptr;
  gnutls_x509_privkey_init(&key);
  gnutls_x509_crt_init(&certificate);
  EXPECT_EQ(gnutls_x509_privkey_generate(key, GNUTLS_PK_ECDSA,
                                         GNUTLS_CURVE_TO_BITS(GNUTLS_ECC_CURVE_SECP256R1), 0),
            0);
  const std::time_t now = std::time(nullptr);
  gnutls_x509_crt_set_version(certificate, 3);
  gnutls_x509_crt_set_serial(certificate, "\x01", 1);
  gnutls_x509_crt_set_activation_time(certificate, now - 60);
  gnutls_x509_crt_set_expiration_time(certificate, now + 3600);
  gnutls_x509_crt_set_dn_by_oid(certificate, GNUTLS_OID_X520_COMMON_NAME, 0, "test", 4);
  gnutls_x509_crt_set_key(certificate, key);
  EXPECT_EQ(gnutls_x509_crt_sign2(certificate, certificate, key, GNUTLS_DIG_SHA256, 0), 0);
  TLSSettings tls;
  gnutls_datum_t datum{};
  tls.certificatePEM =
      Exported(gnutls_x509_crt_export2(certificate, GNUTLS_X509_FMT_PEM, &datum), datum);
  tls.keyPEM = Exported(gnutls_x509_privkey_export2_pkcs8(key, GNUTLS_X509_FMT_PEM, nullptr,
                                                          GNUTLS_PKCS_PLAIN, &datum),
                        datum);
  gnutls_x509_crt_deinit(certificate);
  gnutls_x509_privkey_deinit(key);
  return tls;
}

std::size_t OpenDescriptors() {
  std::size_t count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    ++count;
  }
  return count;
}

// The status line of GET / over plain HTTP.
std::string StatusLine(unsigned port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::string reply;
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
    const std::string request = "GET / HTTP/1.0\r\n\r\n";
    EXPECT_EQ(::write(fd, request.data(), request.size()), static_cast<ssize_t>(request.size()));
    char buffer[256];
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got > 0) reply.assign(buffer, static_cast<std::size_t>(got));
  }
  ::close(fd);
  return reply.substr(0, reply.find("\r\n"));
}

TEST(HttpServer, ReloadsThatRestartTLSKeepDescriptorsFlatAndTheSocketServing) {
  std::string error;
  std::vector<ListenSocket> sockets;
  sockets.emplace_back(ListenAddress{"127.0.0.1", 0, false}, error);
  ASSERT_GE(sockets.front().Fd(), 0) << error;
  HttpServer server("/metrics", "landing", [](auto) { return nullptr; });
  WebConfig config;
  config.tls = SelfSigned();
  // Two priorities differ, so every reload starts new event threads.
  const char* priorities[] = {"NORMAL", "NORMAL:-VERS-TLS1.3"};
  config.tls->priority = priorities[0];
  StartFailure failure;
  ASSERT_TRUE(server.Start(std::move(sockets), config, failure)) << failure.text;
  const unsigned port = server.Addresses().front().port;
  // The first restart's threads and buffers are the baseline.
  config.tls->priority = priorities[1];
  ASSERT_TRUE(server.Apply(config, error)) << error;
  server.Tidy();
  const std::size_t before = OpenDescriptors();
  constexpr int kReloads = 100;
  for (int reload = 0; reload < kReloads; ++reload) {
    config.tls->priority = priorities[reload % 2];
    ASSERT_TRUE(server.Apply(config, error)) << error;
    server.Tidy();
  }
  EXPECT_EQ(OpenDescriptors(), before) << "after " << kReloads << " TLS restarts";
  // The same socket still takes connections once served without TLS.
  config.tls.reset();
  ASSERT_TRUE(server.Apply(config, error)) << error;
  server.Tidy();
  EXPECT_EQ(OpenDescriptors(), before);
  EXPECT_EQ(StatusLine(port), "HTTP/1.1 200 OK");
}

}  // namespace
}  // namespace gpuproc
