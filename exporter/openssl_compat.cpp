// Loaded by gpuproc-exporter before its HTTP server starts TLS. Debian 12's
// civetweb (1.15) is built for the OpenSSL 1.1 interface and loads
// "libssl.so" at run time, calling SSL_get_peer_certificate after every TLS
// handshake; OpenSSL 3 (Debian 12's libssl3) kept that function only as a
// macro for SSL_get1_peer_certificate, so the server calls a null pointer
// and the whole exporter crashes on the first HTTPS connection. This object
// carries the SONAME "libssl.so", so the server's dlopen("libssl.so")
// returns it; its own dependency on libssl.so.3 supplies every other
// function, and the one below restores the old name with its unchanged
// meaning (a new reference the caller frees).
#include <openssl/ssl.h>

#undef SSL_get_peer_certificate

extern "C" __attribute__((visibility("default"))) X509* SSL_get_peer_certificate(const SSL* ssl) {
  return SSL_get1_peer_certificate(ssl);
}
