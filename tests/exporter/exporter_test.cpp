// gpuproc-exporter's pure parts: the --listen value, the Authorization
// header and what logins remember, the text format's escaping and
// numbers, the text of a snapshot and of one that failed, and scrapes
// sharing a snapshot (the scrape and web tests cover the series of every
// recorded tree and the served requests).
#include <arpa/inet.h>
#include <netinet/in.h>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <fstream>
#include <iterator>
#include <limits>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>

#include "basic_auth.h"
#include "exposition_text.h"
#include "failed_logins.h"
#include "gpu_collector.h"
#include "listen_address.h"
#include "reader_channel.h"
#include "web/tls_priority.h"

namespace gpuproc {
namespace {

TEST(ListenAddress, TakesTheToolkitsFormsAndNamesTheFlagAsTyped) {
  const struct {
    const char* text;
    const char* bound;  // nullptr: refused
    bool everyAddress;
  } cases[] = {
      {"127.0.0.1:10436", "127.0.0.1:10436", false},
      {"0.0.0.0:0", "0.0.0.0:0", false},
      {"10.1.2.3:65535", "10.1.2.3:65535", false},
      {"[::1]:10436", "[::1]:10436", false},
      {"[fe80::1:2]:80", "[fe80::1:2]:80", false},
      {"[::]:10436", "[::]:10436", false},
      // Every address, as node_exporter's users type it: dual-stack.
      {":10436", "[::]:10436", true},
      {":0", "[::]:0", true},
      // A name is resolved at start, to its first IPv4 address.
      {"localhost:10436", "127.0.0.1:10436", false},
      {"no-such-host.invalid:10436", nullptr, false},
      {"127.0.0.1:65536", nullptr, false},
      {"127.0.0.1:-1", nullptr, false},
      {"127.0.0.1:+80", nullptr, false},
      {"127.0.0.1:", nullptr, false},
      {"127.0.0.1:80x", nullptr, false},
      {"127.0.0.1:0000010436", nullptr, false},
      {"127.0.0.1", nullptr, false},
      {":", nullptr, false},
      {"10436", nullptr, false},
      {"localhost", nullptr, false},
      // Numbers that are not a dotted quad are not taken for names.
      {"127.1:10436", nullptr, false},
      {"0x7f.0.0.1:10436", nullptr, false},
      {"256.0.0.1:10436", nullptr, false},
      {"::1:10436", nullptr, false},
      {"[::1:10436", nullptr, false},
      {"[127.0.0.1]:10436", nullptr, false},
      {"[]:10436", nullptr, false},
      {"local host:10436", nullptr, false},
      {"", nullptr, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    std::string why;
    const auto address = ParseListenAddress(c.text, why);
    ASSERT_EQ(address.has_value(), c.bound != nullptr) << why;
    if (address) {
      EXPECT_EQ(FormatListenAddress(*address), c.bound);
      EXPECT_EQ(address->everyAddress, c.everyAddress);
      EXPECT_EQ(why, "");
    } else {
      EXPECT_NE(why, "");
    }
  }
  std::string why;
  ParseListenAddress("host:99999", why);
  EXPECT_TRUE(why.starts_with("is not [HOST]:PORT")) << why;
  ParseListenAddress("no-such-host.invalid:80", why);
  EXPECT_TRUE(why.starts_with("names no address")) << why;

  const std::vector<std::string> names = {"--web.listen-address", "--listen"};
  const struct {
    std::vector<const char*> argv;
    const char* value;
    const char* typed;
  } flags[] = {
      {{"x", "--listen", "bad"}, "bad", "--listen"},
      {{"x", "--listen=bad"}, "bad", "--listen"},
      {{"x", "--web.listen-address", "bad"}, "bad", "--web.listen-address"},
      {{"x", "--web.listen-address=bad"}, "bad", "--web.listen-address"},
      {{"x", "--web.listen-address", "good", "--listen", "bad"}, "bad", "--listen"},
      {{"x", "--listen=good", "--web.listen-address=bad"}, "bad", "--web.listen-address"},
      {{"x", "--listen=badder"}, "bad", "--web.listen-address"},
      {{"x"}, "127.0.0.1:10436", "--web.listen-address"},
  };
  for (const auto& f : flags) {
    SCOPED_TRACE(f.argv.back());
    EXPECT_EQ(FlagAsTyped(static_cast<int>(f.argv.size()), f.argv.data(), names, f.value), f.typed);
  }
}

TEST(BasicAuth, HashesByFormAloneAndCredentialsWithoutNul) {
  const std::string body = "xiu99piP5Mn5cGgoEsiakuZUvSUTq3r9eoD/jd2srdvf2DDGT52XO";
  const struct {
    std::string hash;
    bool accepted;
  } hashes[] = {
      {"$2y$04$" + body, true},
      {"$2b$31$" + body, true},  // the form holds; the cost is refused at load
      {"$2a$12$" + body, true},
      {"$2y$03$" + body, false},
      {"$2y$32$" + body, false},
      {"$2x$10$" + body, false},
      {"$2y$1a$" + body, false},
      {"$2y$10$" + body.substr(1) + "!", false},
      {"$2y$10$" + body + "x", false},
  };
  for (const auto& c : hashes) {
    SCOPED_TRACE(c.hash);
    EXPECT_EQ(IsBcryptHash(c.hash), c.accepted);
  }
  EXPECT_EQ(BcryptCost("$2b$31$" + body), 31);
  const struct {
    const char* header;
    const char* user;  // nullptr: refused
    const char* password;
  } headers[] = {
      {"bAsIc YWxpY2U6cGE6c3M=", "alice", "pa:ss"},
      {"BASIC YWxpY2U6c2VjcmV0AGp1bms=", nullptr, nullptr},  // alice:secret\0junk
      {"Basic AGFsaWNlOng=", nullptr, nullptr},              // \0alice:x
      {"Basic Og==", "", ""},
      {"Basicx YWxpY2U6cGE6c3M=", nullptr, nullptr},
  };
  for (const auto& c : headers) {
    SCOPED_TRACE(c.header);
    const auto credentials = ParseAuthorization(c.header);
    ASSERT_EQ(credentials.has_value(), c.user != nullptr);
    if (credentials) {
      EXPECT_EQ(credentials->user, c.user);
      EXPECT_EQ(credentials->password, c.password);
    }
  }
}

TEST(TLSPriority, ForwardSecretByDefaultAndEveryChoiceHonouredOrRefusedByName) {
  const struct {
    TLSChoices choices;
    const char* priority;  // "" when refused
    const char* key;
  } cases[] = {
      {{},
       "NORMAL:-VERS-ALL:+VERS-TLS1.3:+VERS-TLS1.2:-KX-ALL:+ECDHE-ECDSA:+ECDHE-RSA:-CIPHER-ALL:"
       "+AES-256-GCM:+CHACHA20-POLY1305:+AES-128-GCM:-MAC-ALL:+AEAD:-GROUP-ALL:+GROUP-X25519:"
       "+GROUP-SECP256R1:+GROUP-SECP384R1:+GROUP-SECP521R1:%SERVER_PRECEDENCE",
       ""},
      {{"TLS12", "TLS12", {"TLS_ECDHE_RSA_WITH_AES_128_CBC_SHA"}, {"CurveP384"}, false},
       "NORMAL:-VERS-ALL:+VERS-TLS1.2:-KX-ALL:+ECDHE-RSA:-CIPHER-ALL:+AES-128-CBC:-MAC-ALL:+SHA1:"
       "-GROUP-ALL:+GROUP-SECP384R1",
       ""},
      {{"TLS13", "TLS12", {}, {}, true}, "", "max_version"},
      {{"TLS9", "TLS13", {}, {}, true}, "", "min_version"},
      {{"TLS12", "TLS13", {"TLS_RSA_WITH_RC4_128_SHA"}, {}, true}, "", "cipher_suites"},
      {{"TLS12", "TLS13", {"TLS_AES_128_GCM_SHA256"}, {}, true}, "", "cipher_suites"},
      {{"TLS12", "TLS13", {}, {"P256"}, true}, "", "curve_preferences"},
  };
  for (const auto& c : cases) {
    const TLSPriority got = MakeTLSPriority(c.choices);
    SCOPED_TRACE(got.error);
    EXPECT_EQ(got.priority, c.priority);
    EXPECT_EQ(got.key, c.key);
  }
}

TEST(BasicAuth, ChecksTheHeaderAgainstBcryptHashes) {
  BasicAuth auth;
  EXPECT_FALSE(auth.Enabled());
  // htpasswd -nbBC 4 alice pa:ss (a colon belongs to the password).
  auth.SetUsers({{"alice", "$2y$04$xiu99piP5Mn5cGgoEsiakuZUvSUTq3r9eoD/jd2srdvf2DDGT52XO"}});
  EXPECT_TRUE(auth.Enabled());
  const struct {
    const char* header;
    bool accepted;
  } cases[] = {
      {"Basic YWxpY2U6cGE6c3M=", true},   // alice:pa:ss
      {"basic  YWxpY2U6cGE6c3M=", true},  // the scheme is case-insensitive
      {"Basic YWxpY2U6cGE6c3M=", true},   // again, from the cache
      {"Basic YWxpY2U6d3Jvbmc=", false},  // alice:wrong
      {"Basic Ym9iOnBhOnNz", false},      // bob:pa:ss, unknown user
      {"Basic YWxpY2VwYTpzcw==", false},  // no colon after the user
      {"Basic Og==", false},              // ":"
      {"Basic YWxpY2U6cGE6c3M", false},   // not base64 (length)
      {"Basic !!!!", false},
      {"Basic ", false},
      {"Bearer YWxpY2U6cGE6c3M=", false},
      {nullptr, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.header != nullptr ? c.header : "(none)");
    EXPECT_EQ(auth.CheckHeader(c.header), c.accepted);
  }
  // New users drop the cached verdicts of the old ones.
  auth.SetUsers({{"bob", "$2y$04$xiu99piP5Mn5cGgoEsiakuZUvSUTq3r9eoD/jd2srdvf2DDGT52XO"}});
  EXPECT_FALSE(auth.CheckHeader("Basic YWxpY2U6cGE6c3M="));
  EXPECT_TRUE(auth.CheckHeader("Basic Ym9iOnBhOnNz"));
  EXPECT_FALSE(IsBcryptHash("$2y$04$xiu99piP5Mn5cGgoEsiakuZUvSUTq3r9eoD/jd2srdvf2DDGT52X"));
  EXPECT_FALSE(IsBcryptHash("$1$abcdefgh$abcdefghijklmnopqrstuv"));
}

TEST(BasicAuth, AcceptedPasswordsOutlastFloodsOfWrongOnesAndReloadsThatKeepTheHash) {
  // htpasswd -nbBC 4 alice pa:ss, and another hash of the same password.
  const std::string hash = "$2y$04$xiu99piP5Mn5cGgoEsiakuZUvSUTq3r9eoD/jd2srdvf2DDGT52XO";
  const std::string rehashed = "$2y$04$vZjVu3fbAV5UpkQsddNPF.Gv/6HsLB15dC.P/hskpeJxDSBwuxLl.";
  const Credentials good{"alice", "pa:ss"};
  const Credentials wrong{"alice", "wrong"};
  BasicAuth auth(2);
  auth.SetUsers({{"alice", hash}});
  ASSERT_TRUE(auth.Admit("scraper"));
  ASSERT_TRUE(auth.Check(good, "scraper"));
  // Wrong passwords from many addresses and from the scraper's own.
  for (int i = 0; i < 200; ++i) {
    const std::string client = i % 2 == 0 ? "scraper" : "flood" + std::to_string(i);
    if (auth.Admit(client)) {
      EXPECT_FALSE(auth.Check({"alice", "guess" + std::to_string(i)}, client));
    }
  }
  EXPECT_EQ(auth.Remembered(good, "scraper"), true);
  EXPECT_EQ(auth.Remembered(good, "elsewhere"), true);
  EXPECT_EQ(auth.AcceptedRemembered(), 1u);
  ASSERT_TRUE(auth.Admit("scraper"));
  EXPECT_FALSE(auth.Check(wrong, "scraper"));
  EXPECT_EQ(auth.Remembered(wrong, "scraper"), false);           // this client's failure
  EXPECT_EQ(auth.Remembered(wrong, "elsewhere"), std::nullopt);  // not another's

  const struct {
    const char* reload;
    std::map<std::string, std::string> users;
    std::optional<bool> remembered;
  } reloads[] = {
      {"the same users", {{"alice", hash}}, true},
      {"another user added", {{"alice", hash}, {"bob", rehashed}}, true},
      {"alice's hash replaced", {{"alice", rehashed}, {"bob", rehashed}}, std::nullopt},
  };
  for (const auto& r : reloads) {
    SCOPED_TRACE(r.reload);
    auth.SetUsers(r.users);
    EXPECT_EQ(auth.Remembered(good, "scraper"), r.remembered);
  }
  ASSERT_TRUE(auth.Admit("scraper"));
  EXPECT_TRUE(auth.Check(good, "scraper"));
  auth.SetUsers({{"bob", rehashed}});  // alice removed
  EXPECT_EQ(auth.Remembered(good, "scraper"), std::nullopt);
  EXPECT_EQ(auth.AcceptedRemembered(), 0u);
}

TEST(FailedLogins, BoundedPerAddressInAnLRUAndOnlyAFailedAddressIsLimited) {
  FailedLogins failed(/*clients=*/2, /*digestsPerClient=*/2, /*checksPerFailedClient=*/2);
  // No failure on record: any number of checks.
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(failed.Admit("a"));
  failed.Finished("a", "d1", false);
  // A failure, and still two under way: the address has its share.
  EXPECT_FALSE(failed.Admit("a"));
  EXPECT_TRUE(failed.Admit("b"));
  failed.Release("b");
  failed.Finished("a", "d2", true);
  EXPECT_TRUE(failed.Admit("a"));
  failed.Finished("a", "d3", false);
  failed.Release("a");  // the checks under way: none
  failed.Finished("a", "d4", false);
  EXPECT_FALSE(failed.Remembered("a", "d1"));  // the oldest of three
  EXPECT_FALSE(failed.Remembered("a", "d2"));  // accepted, never kept
  EXPECT_TRUE(failed.Remembered("a", "d3"));
  EXPECT_TRUE(failed.Remembered("a", "d4"));
  EXPECT_FALSE(failed.Remembered("b", "d4"));
  // A third address evicts the least recently used.
  EXPECT_TRUE(failed.Admit("b"));
  EXPECT_TRUE(failed.Admit("c"));
  EXPECT_EQ(failed.ClientsRemembered(), 2u);
  EXPECT_FALSE(failed.Remembered("a", "d4"));

  const auto v4 = [](const char* text) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    inet_pton(AF_INET, text, &address.sin_addr);
    return ClientKey(reinterpret_cast<const sockaddr*>(&address));
  };
  const auto v6 = [](const char* text) {
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    inet_pton(AF_INET6, text, &address.sin6_addr);
    return ClientKey(reinterpret_cast<const sockaddr*>(&address));
  };
  EXPECT_EQ(v4("192.0.2.1").size(), 4u);
  EXPECT_NE(v4("192.0.2.1"), v4("192.0.2.2"));
  EXPECT_EQ(v6("::ffff:192.0.2.1"), v4("192.0.2.1"));
  EXPECT_EQ(v6("2001:db8::1"), v6("2001:db8::ffff:2"));  // one /64
  EXPECT_NE(v6("2001:db8::1"), v6("2001:db8:0:1::1"));
  EXPECT_EQ(ClientKey(nullptr), "");
}

TEST(ExpositionText, EscapesLabelValuesAndWritesValuesAsPrometheusDoes) {
  // A name or cgroup that could close its quotes or its line would forge
  // series; tab and carriage return are legal as they are.
  const struct {
    const char* value;
    const char* written;
  } labels[] = {
      {"", ""},
      {"plain.service", "plain.service"},
      {"a\"b", "a\\\"b"},
      {"\\", "\\\\"},
      {"x\"} 1\n", "x\\\"} 1\\n"},
      {"\\\"\n\\n", "\\\\\\\"\\n\\\\n"},
      {"tab\tcr\r", "tab\tcr\r"},
      {"n\xC3\xA4me", "n\xC3\xA4me"},
  };
  for (const auto& c : labels) {
    SCOPED_TRACE(c.value);
    std::string out = "x";
    AppendLabelValue(out, c.value);
    EXPECT_EQ(out, std::string("x") + c.written);
  }
  const struct {
    double value;
    const char* written;
  } values[] = {
      {0, "0"},
      {-0.0, "-0"},
      {0.1 + 0.2, "0.3"},
      {1.0 / 3, "0.3333333333333333"},
      {5242880, "5242880"},
      {1e15, "1000000000000000"},
      {1e16, "1e+16"},
      {123456789012345678.0, "1.234567890123457e+17"},
      {1e-5, "1e-05"},
      {std::numeric_limits<double>::infinity(), "+Inf"},
      {-std::numeric_limits<double>::infinity(), "-Inf"},
      {std::numeric_limits<double>::quiet_NaN(), "Nan"},
      {-std::numeric_limits<double>::max(), "-1.797693134862316e+308"},
  };
  for (const auto& c : values) {
    SCOPED_TRACE(c.written);
    std::string out;
    AppendSampleValue(out, c.value);
    EXPECT_EQ(out, c.written);
  }
}

TEST(MetricsText, FailedReadingKeepsOnlyTheExportersOwnSeriesAndCountsAnError) {
  // No snapshot, and documents the snapshot reader refuses (its own tests
  // go through every rule on the documents under tests/fixtures/snapshots).
  const std::string texts[] = {
      "",
      "not json",
      R"({"Time":1,"Processes":[],"Adapters":{}})",
      R"({"Time":1,"Adapters":[],"Processes":[{"ProcessID":4294967296,"Adapter":"g"}]})",
  };
  for (const std::string& text : texts) {
    SCOPED_TRACE(text);
    bool ok = true;
    EXPECT_EQ(BuildMetricsText(
                  text, [](std::uint32_t) { return ProcessOwner(); }, {0.5, 2, 0}, ok),
              R"(# HELP gpuproc_scrape_duration_seconds Time the last snapshot took.
# TYPE gpuproc_scrape_duration_seconds gauge
gpuproc_scrape_duration_seconds 0.5
# HELP gpuproc_readings_total Snapshots taken (concurrent scrapes share one).
# TYPE gpuproc_readings_total counter
gpuproc_readings_total 2
# HELP gpuproc_scrape_errors_total Snapshots that gave no series: the library returned no snapshot (its GPU counters could not be opened) or one of a shape this exporter cannot read.
# TYPE gpuproc_scrape_errors_total counter
gpuproc_scrape_errors_total 1
)");
    EXPECT_FALSE(ok);
  }
}

TEST(MetricsText, SnapshotGivesBusyCountersAdapterInfoAndPodMemorySums) {
  // Three processes of one pod on two GPUs, one process outside any pod,
  // one whose names would break out of their quotes; unread values (null,
  // the old -1, an object) must not count as 0, a repeated engine type
  // counts once, and what the exporter does not know is skipped. Sensor and
  // clock names come from the driver and are escaped like any other label.
  const std::string text = R"({"Time": 12.5, "Future": {"Nested": [1, {"Adapters": []}]},
    "UnreadableProcesses": 3,
    "Adapters": [
      {"Adapter": "gpu0", "AdapterName": "Navi 21", "Kind": "GPU", "PciAddress": "0000:03:00.0",
       "GPUMemoryTotal": 10, "GPUMemoryFree": 90, "PowerWatts": 87.5, "PowerLimitWatts": 203,
       "PowerScope": "device", "EnergyJoules": 10440, "EnergySource": "integrated",
       "IdleEnergyJoulesEstimate": 7830, "Temperatures": {"junction": 61, "edge": 54, "mem": null},
       "SlowdownTemperatures": {"edge": 100}, "Clocks": {"graphics": 2.1e9, "x\"}\n": 1},
       "FanRPM": 0, "BusyPercent": 37},
      {"Adapter": "gpu1", "AdapterName": "", "Kind": "NPU", "PciAddress": "", "GPUMemoryTotal": null,
       "GPUMemoryFree": -1, "PowerWatts": null, "PowerLimitWatts": -1, "EnergyJoules": null,
       "Temperatures": null, "SlowdownTemperatures": {}, "Clocks": [1], "FanRPM": "1",
       "BusyPercent": null}],
    "Processes": [
      {"ProcessID": 1, "Name": "a", "Adapter": "gpu0",
       "GPUProcessMemoryDedicatedUsage": 1, "GPUProcessMemorySharedUsage": 2,
       "GPUProcessMemoryLocalUsage": null, "GPUProcessMemoryTotalCommitted": 3,
       "EngineBusySeconds": {"3D": 12.25, "Compute": null}, "EnergyJoulesEstimate": 2610.5},
      {"ProcessID": 2, "Name": "b", "Adapter": "gpu0",
       "GPUProcessMemoryDedicatedUsage": 4, "GPUProcessMemorySharedUsage": 8,
       "GPUProcessMemoryLocalUsage": {"unread": true}, "GPUProcessMemoryTotalCommitted": 12,
       "EngineBusySeconds": {"Video": 2, "Copy": 0.5, "Video": 0.1, "3D": 1, "3D": null}},
      {"ProcessID": 2, "Name": "b", "Adapter": "gpu1",
       "GPUProcessMemoryDedicatedUsage": 16, "GPUProcessMemorySharedUsage": 0,
       "GPUProcessMemoryLocalUsage": 16, "GPUProcessMemoryTotalCommitted": 16,
       "EngineBusySeconds": {}, "EnergyJoulesEstimate": 0},
      {"ProcessID": 3, "Name": "c", "Adapter": "gpu0",
       "GPUProcessMemoryDedicatedUsage": 64, "GPUProcessMemorySharedUsage": 64,
       "GPUProcessMemoryLocalUsage": 64, "GPUProcessMemoryTotalCommitted": 64,
       "EngineBusySeconds": {"3D": 3600}, "EnergyJoulesEstimate": null},
      {"ProcessID": 4, "Name": "x\"} 1\n\\", "Adapter": "gpu0",
       "GPUProcessMemoryDedicatedUsage": 0.30000000000000004, "GPUProcessMemorySharedUsage": -1,
       "GPUProcessMemoryLocalUsage": null, "GPUProcessMemoryTotalCommitted": null,
       "EngineBusySeconds": {"3D\"\n": 1e-7}}]})";
  std::map<std::uint32_t, int> lookups;
  const OwnerLookup owner = [&lookups](std::uint32_t pid) {
    ++lookups[pid];
    switch (pid) {
      case 3:
        return ProcessOwner{"gdm.service", "", "", ""};
      case 4:
        return ProcessOwner{"c\"q\\\nx\xFF", "ns\n", "p\"", "u\\"};
      default:
        return ProcessOwner{pid == 1 ? "app" : "sidecar", "ns", "web-0", "uid-1"};
    }
  };
  bool ok = false;
  const std::string got = BuildMetricsText(text, owner, {0.1, 1, 0}, ok);
  EXPECT_TRUE(ok);
  // One cgroup read per process, however many GPUs it uses.
  EXPECT_EQ(lookups, (std::map<std::uint32_t, int>{{1, 1}, {2, 1}, {3, 1}, {4, 1}}));
  EXPECT_EQ(
      got,
      R"x(# HELP gpuproc_process_memory_dedicated_bytes GPU memory of the process in the GPU's own memory.
# TYPE gpuproc_process_memory_dedicated_bytes gauge
gpuproc_process_memory_dedicated_bytes{adapter="gpu0",container="app",name="a",namespace="ns",pid="1",pod="web-0",pod_uid="uid-1"} 1048576
gpuproc_process_memory_dedicated_bytes{adapter="gpu0",container="sidecar",name="b",namespace="ns",pid="2",pod="web-0",pod_uid="uid-1"} 4194304
gpuproc_process_memory_dedicated_bytes{adapter="gpu1",container="sidecar",name="b",namespace="ns",pid="2",pod="web-0",pod_uid="uid-1"} 16777216
gpuproc_process_memory_dedicated_bytes{adapter="gpu0",container="gdm.service",name="c",namespace="",pid="3",pod="",pod_uid=""} 67108864
gpuproc_process_memory_dedicated_bytes{adapter="gpu0",container="c\"q\\\nx�",name="x\"} 1\n\\",namespace="ns\n",pid="4",pod="p\"",pod_uid="u\\"} 314572.8
# HELP gpuproc_process_memory_shared_bytes GPU memory of the process in system memory.
# TYPE gpuproc_process_memory_shared_bytes gauge
gpuproc_process_memory_shared_bytes{adapter="gpu0",container="app",name="a",namespace="ns",pid="1",pod="web-0",pod_uid="uid-1"} 2097152
gpuproc_process_memory_shared_bytes{adapter="gpu0",container="sidecar",name="b",namespace="ns",pid="2",pod="web-0",pod_uid="uid-1"} 8388608
gpuproc_process_memory_shared_bytes{adapter="gpu1",container="sidecar",name="b",namespace="ns",pid="2",pod="web-0",pod_uid="uid-1"} 0
gpuproc_process_memory_shared_bytes{adapter="gpu0",container="gdm.service",name="c",namespace="",pid="3",pod="",pod_uid=""} 67108864
# HELP gpuproc_process_memory_local_bytes GPU memory of the process in the GPU's local (fastest) memory.
# TYPE gpuproc_process_memory_local_bytes gauge
gpuproc_process_memory_local_bytes{adapter="gpu1",container="sidecar",name="b",namespace="ns",pid="2",pod="web-0",pod_uid="uid-1"} 16777216
gpuproc_process_memory_local_bytes{adapter="gpu0",container="gdm.service",name="c",namespace="",pid="3",pod="",pod_uid=""} 67108864
# HELP gpuproc_process_memory_committed_bytes All GPU memory the process has committed.
# TYPE gpuproc_process_memory_committed_bytes gauge
gpuproc_process_memory_committed_bytes{adapter="gpu0",container="app",name="a",namespace="ns",pid="1",pod="web-0",pod_uid="uid-1"} 3145728
gpuproc_process_memory_committed_bytes{adapter="gpu0",container="sidecar",name="b",namespace="ns",pid="2",pod="web-0",pod_uid="uid-1"} 12582912
gpuproc_process_memory_committed_bytes{adapter="gpu1",container="sidecar",name="b",namespace="ns",pid="2",pod="web-0",pod_uid="uid-1"} 16777216
gpuproc_process_memory_committed_bytes{adapter="gpu0",container="gdm.service",name="c",namespace="",pid="3",pod="",pod_uid=""} 67108864
# HELP gpuproc_process_engine_busy_seconds_total Seconds the process kept the GPU's engines of each type busy, summed over those engines.
# TYPE gpuproc_process_engine_busy_seconds_total counter
gpuproc_process_engine_busy_seconds_total{adapter="gpu0",container="app",engine="3D",name="a",namespace="ns",pid="1",pod="web-0",pod_uid="uid-1"} 12.25
gpuproc_process_engine_busy_seconds_total{adapter="gpu0",container="sidecar",engine="Copy",name="b",namespace="ns",pid="2",pod="web-0",pod_uid="uid-1"} 0.5
gpuproc_process_engine_busy_seconds_total{adapter="gpu0",container="sidecar",engine="Video",name="b",namespace="ns",pid="2",pod="web-0",pod_uid="uid-1"} 0.1
gpuproc_process_engine_busy_seconds_total{adapter="gpu0",container="gdm.service",engine="3D",name="c",namespace="",pid="3",pod="",pod_uid=""} 3600
gpuproc_process_engine_busy_seconds_total{adapter="gpu0",container="c\"q\\\nx�",engine="3D\"\n",name="x\"} 1\n\\",namespace="ns\n",pid="4",pod="p\"",pod_uid="u\\"} 1e-07
# HELP gpuproc_process_energy_joules_total Estimated energy the process used on the GPU since it was first seen: its share of the GPU's energy by its busy time.
# TYPE gpuproc_process_energy_joules_total counter
gpuproc_process_energy_joules_total{adapter="gpu0",container="app",estimate="true",name="a",namespace="ns",pid="1",pod="web-0",pod_uid="uid-1"} 2610.5
gpuproc_process_energy_joules_total{adapter="gpu1",container="sidecar",estimate="true",name="b",namespace="ns",pid="2",pod="web-0",pod_uid="uid-1"} 0
# HELP gpuproc_adapter_memory_committed_bytes Memory committed on the GPU by all processes.
# TYPE gpuproc_adapter_memory_committed_bytes gauge
gpuproc_adapter_memory_committed_bytes{adapter="gpu0"} 10485760
# HELP gpuproc_adapter_memory_free_bytes Free memory of the GPU.
# TYPE gpuproc_adapter_memory_free_bytes gauge
gpuproc_adapter_memory_free_bytes{adapter="gpu0"} 94371840
# HELP gpuproc_adapter_info The GPU's name, kind (GPU, NPU) and PCI address; always 1.
# TYPE gpuproc_adapter_info gauge
gpuproc_adapter_info{adapter="gpu0",adapter_name="Navi 21",kind="GPU",pci_address="0000:03:00.0"} 1
gpuproc_adapter_info{adapter="gpu1",adapter_name="",kind="NPU",pci_address=""} 1
# HELP gpuproc_gpu_power_watts The GPU's power now (the whole package's on an integrated GPU).
# TYPE gpuproc_gpu_power_watts gauge
gpuproc_gpu_power_watts{adapter="gpu0"} 87.5
# HELP gpuproc_gpu_power_limit_watts The GPU's power limit.
# TYPE gpuproc_gpu_power_limit_watts gauge
gpuproc_gpu_power_limit_watts{adapter="gpu0"} 203
# HELP gpuproc_gpu_energy_joules_total Energy the GPU used (its own counter, or its power readings summed).
# TYPE gpuproc_gpu_energy_joules_total counter
gpuproc_gpu_energy_joules_total{adapter="gpu0"} 10440
# HELP gpuproc_gpu_temperature_celsius The GPU's temperature at each sensor.
# TYPE gpuproc_gpu_temperature_celsius gauge
gpuproc_gpu_temperature_celsius{adapter="gpu0",sensor="edge"} 54
gpuproc_gpu_temperature_celsius{adapter="gpu0",sensor="junction"} 61
# HELP gpuproc_gpu_slowdown_temperature_celsius The temperature at which the GPU starts to throttle, by sensor.
# TYPE gpuproc_gpu_slowdown_temperature_celsius gauge
gpuproc_gpu_slowdown_temperature_celsius{adapter="gpu0",sensor="edge"} 100
# HELP gpuproc_gpu_clock_hertz The GPU's clocks now.
# TYPE gpuproc_gpu_clock_hertz gauge
gpuproc_gpu_clock_hertz{adapter="gpu0",clock="graphics"} 2100000000
gpuproc_gpu_clock_hertz{adapter="gpu0",clock="x\"}\n"} 1
# HELP gpuproc_gpu_fan_rpm The GPU's fan speed.
# TYPE gpuproc_gpu_fan_rpm gauge
gpuproc_gpu_fan_rpm{adapter="gpu0"} 0
# HELP gpuproc_gpu_busy_ratio Share of the last interval the GPU was busy (0 to 1).
# TYPE gpuproc_gpu_busy_ratio gauge
gpuproc_gpu_busy_ratio{adapter="gpu0"} 0.37
# HELP gpuproc_exporter_unreadable_processes Processes whose fds the reading was refused.
# TYPE gpuproc_exporter_unreadable_processes gauge
gpuproc_exporter_unreadable_processes 3
# HELP gpuproc_exporter_gpu_devices GPU devices in the reading (those its processes use).
# TYPE gpuproc_exporter_gpu_devices gauge
gpuproc_exporter_gpu_devices 2
# HELP gpuproc_pod_memory_dedicated_bytes Sum over the pod's processes of their dedicated GPU memory.
# TYPE gpuproc_pod_memory_dedicated_bytes gauge
gpuproc_pod_memory_dedicated_bytes{adapter="gpu0",namespace="ns",pod="web-0",pod_uid="uid-1"} 5242880
gpuproc_pod_memory_dedicated_bytes{adapter="gpu0",namespace="ns\n",pod="p\"",pod_uid="u\\"} 314572.8
gpuproc_pod_memory_dedicated_bytes{adapter="gpu1",namespace="ns",pod="web-0",pod_uid="uid-1"} 16777216
# HELP gpuproc_pod_memory_shared_bytes Sum over the pod's processes of their shared GPU memory.
# TYPE gpuproc_pod_memory_shared_bytes gauge
gpuproc_pod_memory_shared_bytes{adapter="gpu0",namespace="ns",pod="web-0",pod_uid="uid-1"} 10485760
gpuproc_pod_memory_shared_bytes{adapter="gpu1",namespace="ns",pod="web-0",pod_uid="uid-1"} 0
# HELP gpuproc_pod_memory_local_bytes Sum over the pod's processes of their local GPU memory.
# TYPE gpuproc_pod_memory_local_bytes gauge
gpuproc_pod_memory_local_bytes{adapter="gpu1",namespace="ns",pod="web-0",pod_uid="uid-1"} 16777216
# HELP gpuproc_pod_memory_committed_bytes Sum over the pod's processes of their committed GPU memory.
# TYPE gpuproc_pod_memory_committed_bytes gauge
gpuproc_pod_memory_committed_bytes{adapter="gpu0",namespace="ns",pod="web-0",pod_uid="uid-1"} 15728640
gpuproc_pod_memory_committed_bytes{adapter="gpu1",namespace="ns",pod="web-0",pod_uid="uid-1"} 16777216
# HELP gpuproc_scrape_duration_seconds Time the last snapshot took.
# TYPE gpuproc_scrape_duration_seconds gauge
gpuproc_scrape_duration_seconds 0.1
# HELP gpuproc_readings_total Snapshots taken (concurrent scrapes share one).
# TYPE gpuproc_readings_total counter
gpuproc_readings_total 1
# HELP gpuproc_scrape_errors_total Snapshots that gave no series: the library returned no snapshot (its GPU counters could not be opened) or one of a shape this exporter cannot read.
# TYPE gpuproc_scrape_errors_total counter
gpuproc_scrape_errors_total 0
)x");
}

// The library writes "EngineBusySeconds": null for a process whose busy
// time it could not read: the process keeps its memory series, and only the
// counters that are unknown are left out.
TEST(MetricsText, ProcessWithUnknownBusyTimeKeepsItsMemorySeries) {
  std::ifstream file(GPUPROC_FIXTURES_DIR "/snapshots/null-busy.json");
  const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  ASSERT_FALSE(text.empty());
  bool ok = false;
  const std::string got = BuildMetricsText(
      text, [](std::uint32_t) { return ProcessOwner(); }, {0.1, 1, 0}, ok);
  EXPECT_TRUE(ok);
  const std::string labels = R"(container="",name="vkcube",namespace="",pid="7",pod="",pod_uid="")";
  for (const char* line : {
           "gpuproc_process_memory_dedicated_bytes{adapter=\"gpu0\",%s} 158859264\n",
           "gpuproc_process_memory_shared_bytes{adapter=\"gpu0\",%s} 20971520\n",
           "gpuproc_process_memory_local_bytes{adapter=\"gpu0\",%s} 158859264\n",
           "gpuproc_process_memory_committed_bytes{adapter=\"gpu0\",%s} 179830784\n",
       }) {
    std::string expected = line;
    expected.replace(expected.find("%s"), 2, labels);
    EXPECT_NE(got.find(expected), std::string::npos) << expected << got;
  }
  std::istringstream lines(got);
  for (std::string line; std::getline(lines, line);) {
    EXPECT_FALSE(line.find("engine_busy") != std::string::npos &&
                 line.find(R"(pid="7")") != std::string::npos)
        << line;
  }
  EXPECT_NE(got.find(R"(gpuproc_process_engine_busy_seconds_total{adapter="gpu0",container="",)"
                     R"(engine="3D",name="ffmpeg",namespace="",pid="9",pod="",pod_uid=""} 2)"
                     "\n"),
            std::string::npos)
      << got;
  EXPECT_EQ(got.find(R"(engine="Video")"), std::string::npos) << got;
  EXPECT_NE(got.find("gpuproc_adapter_memory_free_bytes{adapter=\"gpu0\"} 7516192768\n"),
            std::string::npos);
  EXPECT_NE(got.find("gpuproc_scrape_errors_total 0\n"), std::string::npos);
}

TEST(GPUCollector, ScrapeArrivingDuringASnapshotIsAnsweredFromIt) {
  // The first scrape's snapshot is held open until the second scrape has
  // arrived; the second must then take no snapshot of its own. A third,
  // arriving after both, takes a new one.
  std::mutex mutex;
  std::condition_variable changed;
  bool reading = false, secondArrived = false;
  int snapshots = 0;
  const SnapshotReader reader = [&] {
    std::unique_lock lock(mutex);
    ++snapshots;
    reading = true;
    changed.notify_all();
    changed.wait(lock, [&] { return secondArrived; });
    return std::string(R"({"Time":1,"Adapters":[],"Processes":[]})");
  };
  GPUCollector collector(reader, [] { return [](std::uint32_t) { return ProcessOwner(); }; });
  const auto readings = [](const std::string& text) {
    return text.substr(text.find("\ngpuproc_readings_total ") + 1);
  };
  std::thread first([&] { collector.Collect(std::chrono::steady_clock::now()); });
  std::chrono::steady_clock::time_point arrival;
  {
    std::unique_lock lock(mutex);
    changed.wait(lock, [&] { return reading; });
    arrival = std::chrono::steady_clock::now();
    secondArrived = true;
    changed.notify_all();
  }
  const auto second = collector.Collect(arrival);
  first.join();
  EXPECT_EQ(snapshots, 1);
  EXPECT_EQ(readings(*second).substr(0, 25), "gpuproc_readings_total 1\n");
  const auto third = collector.Collect(std::chrono::steady_clock::now());
  EXPECT_EQ(readings(*third).substr(0, 25), "gpuproc_readings_total 2\n");
  EXPECT_EQ(snapshots, 2);
}

}  // namespace
}  // namespace gpuproc

// The reader ends the pair on a lost source rather than serve its absence;
// a process name cannot make it do so.
TEST(ReaderChannel, FirstLostSourceIsReadFromTheLibrarysLastMember) {
  const struct {
    const char* snapshot;
    const char* lost;
  } cases[] = {
      {R"({"Time":1.0,"Adapters":[],"Processes":[],"UnreadableProcesses":0,"LostSources":[]})", ""},
      {R"({"Time":1.0,"Adapters":[],"Processes":[],"LostSources":["nvml"]})", "nvml"},
      {R"({"Time":1.0,"Adapters":[],"Processes":[]})", ""},  // an older library
      {R"({"Processes":[{"Name":"x\"LostSources\":[\"nvml\"]"}],"LostSources":[]})", ""},
      {"", ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(gpuproc::FirstLostSource(c.snapshot), c.lost) << c.snapshot;
  }
}
