// The --web.listen-address (--listen) value of gpuproc-exporter, in the
// forms the Prometheus exporter-toolkit takes: ":PORT" (every address),
// "HOST:PORT" with a numeric IPv4 address or a name, and "[IPV6]:PORT".
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace gpuproc {

struct ListenAddress {
  std::string host;  // an IPv4 literal, or an IPv6 literal without brackets
  unsigned port = 0;
  bool ipv6 = false;
  // ":PORT": bound as "[::]" taking IPv4 too, or as "0.0.0.0" on a kernel
  // without IPv6.
  bool everyAddress = false;
};

// PORT is 0 to 65535 (0: any free port). A name is resolved now, once:
// like the toolkit, the exporter binds one of its addresses, the first
// IPv4 one if any, else the first IPv6 one. Numeric forms other than the
// dotted quad ("127.1", "0x7f.0.0.1") are refused rather than guessed.
// Without a value, `why` ends a sentence that starts with the flag and the
// quoted text: "is not [HOST]:PORT (...)", "names no address: ...".
std::optional<ListenAddress> ParseListenAddress(std::string_view text, std::string& why);

// "127.0.0.1:10436" or "[::1]:10436".
std::string FormatListenAddress(const ListenAddress& address);

// Which of `names` the command line gave `value` under ("--listen x",
// "--listen=x"), so that a message names the flag as the user typed it;
// the first name when none did (a default).
std::string FlagAsTyped(int argc, const char* const* argv, const std::vector<std::string>& names,
                        std::string_view value);

}  // namespace gpuproc
