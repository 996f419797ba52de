// gpuproc-exporter's pure parts: the --listen value, the Authorization
// header, the families of a snapshot and of one that failed, and scrapes
// sharing a snapshot (the scrape and web tests cover the series of every
// recorded tree and the served requests).
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "basic_auth.h"
#include "gpu_collector.h"
#include "listen_address.h"
#include "web/tls_priority.h"

namespace gpuproc {
namespace {

TEST(ListenAddress, AcceptsNumericAddressesAndPortsInRange) {
  const struct {
    const char* text;
    const char* bound;  // nullptr: refused
  } cases[] = {
      {"127.0.0.1:10436", "127.0.0.1:10436"},
      {"0.0.0.0:0", "0.0.0.0:0"},
      {"10.1.2.3:65535", "10.1.2.3:65535"},
      {"[::1]:10436", "[::1]:10436"},
      {"[fe80::1:2]:80", "[fe80::1:2]:80"},
      {"127.0.0.1:65536", nullptr},
      {"127.0.0.1:-1", nullptr},
      {"127.0.0.1:+80", nullptr},
      {"127.0.0.1:", nullptr},
      {"127.0.0.1:80x", nullptr},
      {"127.0.0.1:0000010436", nullptr},
      {"127.0.0.1", nullptr},
      {":10436", nullptr},
      {"10436", nullptr},
      {"localhost:10436", nullptr},
      {"127.1:10436", nullptr},
      {"256.0.0.1:10436", nullptr},
      {"::1:10436", nullptr},
      {"[::1:10436", nullptr},
      {"[127.0.0.1]:10436", nullptr},
      {"", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const auto address = ParseListenAddress(c.text);
    ASSERT_EQ(address.has_value(), c.bound != nullptr);
    if (address) {
      EXPECT_EQ(FormatListenAddress(*address), c.bound);
    }
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

// Each family's samples as "label=value,... value".
std::map<std::string, std::vector<std::string>> Samples(
    const std::vector<prometheus::MetricFamily>& families) {
  std::map<std::string, std::vector<std::string>> result;
  for (const auto& family : families) {
    auto& samples = result[family.name];
    for (const auto& metric : family.metric) {
      std::string text;
      for (const auto& label : metric.label) text += label.name + "=" + label.value + ",";
      const double value = family.type == prometheus::MetricType::Counter ? metric.counter.value
                                                                          : metric.gauge.value;
      samples.push_back(text + " " + std::to_string(value));
    }
  }
  return result;
}

TEST(MetricFamilies, FailedReadingKeepsOnlyTheExportersOwnSeriesAndCountsAnError) {
  for (const char* text : {"", "not json", "[]", R"({"Processes":[{"ProcessID":1}],"Adapters":[]})",
                           R"({"Processes":[]})", "{}"}) {
    SCOPED_TRACE(text);
    bool ok = true;
    const auto samples = Samples(BuildMetricFamilies(
        text, [](std::uint32_t) { return ProcessOwner(); }, {0.5, 2, 0}, ok));
    EXPECT_FALSE(ok);
    const std::map<std::string, std::vector<std::string>> expected = {
        {"gpuproc_scrape_duration_seconds", {" 0.500000"}},
        {"gpuproc_readings_total", {" 2.000000"}},
        {"gpuproc_scrape_errors_total", {" 1.000000"}},
    };
    EXPECT_EQ(samples, expected);
  }
}

TEST(MetricFamilies, SnapshotGivesBusyCountersAdapterInfoAndPodMemorySums) {
  // Three processes of one pod on two GPUs, one process outside any pod;
  // unread values (null, and the old -1) must not count as 0.
  const std::string text = R"({"Time": 12.5,
    "Adapters": [
      {"Adapter": "gpu0", "AdapterName": "Navi 21", "PciAddress": "0000:03:00.0",
       "GPUMemoryTotal": 10, "GPUMemoryFree": 90},
      {"Adapter": "gpu1", "AdapterName": "", "PciAddress": "", "GPUMemoryTotal": null,
       "GPUMemoryFree": -1}],
    "Processes": [
      {"ProcessID": 1, "Name": "a", "Adapter": "gpu0",
       "GPUProcessMemoryDedicatedUsage": 1, "GPUProcessMemorySharedUsage": 2,
       "GPUProcessMemoryLocalUsage": null, "GPUProcessMemoryTotalCommitted": 3,
       "EngineBusySeconds": {"3D": 12.25, "Compute": null}},
      {"ProcessID": 2, "Name": "b", "Adapter": "gpu0",
       "GPUProcessMemoryDedicatedUsage": 4, "GPUProcessMemorySharedUsage": 8,
       "GPUProcessMemoryLocalUsage": null, "GPUProcessMemoryTotalCommitted": 12,
       "EngineBusySeconds": {"Copy": 0.5}},
      {"ProcessID": 2, "Name": "b", "Adapter": "gpu1",
       "GPUProcessMemoryDedicatedUsage": 16, "GPUProcessMemorySharedUsage": 0,
       "GPUProcessMemoryLocalUsage": 16, "GPUProcessMemoryTotalCommitted": 16,
       "EngineBusySeconds": {}},
      {"ProcessID": 3, "Name": "c", "Adapter": "gpu0",
       "GPUProcessMemoryDedicatedUsage": 64, "GPUProcessMemorySharedUsage": 64,
       "GPUProcessMemoryLocalUsage": 64, "GPUProcessMemoryTotalCommitted": 64,
       "EngineBusySeconds": {"3D": 3600}}]})";
  std::map<std::uint32_t, int> lookups;
  const OwnerLookup owner = [&lookups](std::uint32_t pid) {
    ++lookups[pid];
    return pid == 3 ? ProcessOwner{"gdm.service", "", "", ""}
                    : ProcessOwner{pid == 1 ? "app" : "sidecar", "ns", "web-0", "uid-1"};
  };
  bool ok = false;
  const auto families = BuildMetricFamilies(text, owner, {0.1, 1, 0}, ok);
  ASSERT_TRUE(ok);
  const auto samples = Samples(families);
  // One cgroup read per process, however many GPUs it uses.
  EXPECT_EQ(lookups, (std::map<std::uint32_t, int>{{1, 1}, {2, 1}, {3, 1}}));
  const std::string pod0 = "adapter=gpu0,namespace=ns,pod=web-0,pod_uid=uid-1, ";
  const std::string pod1 = "adapter=gpu1,namespace=ns,pod=web-0,pod_uid=uid-1, ";
  const std::map<std::string, std::vector<std::string>> expected = {
      {"gpuproc_pod_memory_dedicated_bytes", {pod0 + "5242880.000000", pod1 + "16777216.000000"}},
      {"gpuproc_pod_memory_shared_bytes", {pod0 + "10485760.000000", pod1 + "0.000000"}},
      {"gpuproc_pod_memory_local_bytes", {pod1 + "16777216.000000"}},
      {"gpuproc_pod_memory_committed_bytes", {pod0 + "15728640.000000", pod1 + "16777216.000000"}},
      {"gpuproc_process_engine_busy_seconds_total",
       {"adapter=gpu0,container=app,engine=3D,name=a,namespace=ns,pid=1,pod=web-0,pod_uid=uid-1, "
        "12.250000",
        "adapter=gpu0,container=sidecar,engine=Copy,name=b,namespace=ns,pid=2,pod=web-0,pod_uid="
        "uid-1, 0.500000",
        "adapter=gpu0,container=gdm.service,engine=3D,name=c,namespace=,pid=3,pod=,pod_uid=, "
        "3600.000000"}},
      {"gpuproc_adapter_info",
       {"adapter=gpu0,adapter_name=Navi 21,pci_address=0000:03:00.0, 1.000000",
        "adapter=gpu1,adapter_name=,pci_address=, 1.000000"}},
      {"gpuproc_adapter_memory_committed_bytes", {"adapter=gpu0, 10485760.000000"}},
      {"gpuproc_adapter_memory_free_bytes", {"adapter=gpu0, 94371840.000000"}},
  };
  for (const auto& [name, series] : expected) {
    SCOPED_TRACE(name);
    EXPECT_EQ(samples.at(name), series);
  }
  // The process series carry the owner's labels in name order.
  EXPECT_EQ(samples.at("gpuproc_process_memory_dedicated_bytes").front(),
            "adapter=gpu0,container=app,name=a,namespace=ns,pid=1,pod=web-0,pod_uid=uid-1, "
            "1048576.000000");
  for (const auto& family : families) {
    EXPECT_EQ(family.name.find("utilization"), std::string::npos) << family.name;
    if (family.name == "gpuproc_process_engine_busy_seconds_total") {
      EXPECT_EQ(family.type, prometheus::MetricType::Counter);
    }
  }
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
  const ScrapeArrival arrival = [&] {
    const auto now = std::chrono::steady_clock::now();
    std::lock_guard lock(mutex);
    if (reading) secondArrived = true;
    changed.notify_all();
    return now;
  };
  GPUCollector collector(
      reader, [] { return [](std::uint32_t) { return ProcessOwner(); }; }, arrival);
  std::thread first([&] { collector.Collect(); });
  {
    std::unique_lock lock(mutex);
    changed.wait(lock, [&] { return reading; });
  }
  const auto second = Samples(collector.Collect());
  first.join();
  EXPECT_EQ(snapshots, 1);
  EXPECT_EQ(second.at("gpuproc_readings_total"), std::vector<std::string>{" 1.000000"});
  EXPECT_EQ(Samples(collector.Collect()).at("gpuproc_readings_total"),
            std::vector<std::string>{" 2.000000"});
  EXPECT_EQ(snapshots, 2);
}

}  // namespace
}  // namespace gpuproc
