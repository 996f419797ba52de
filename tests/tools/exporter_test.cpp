// gpuproc-exporter's pure parts: the --listen value, the container label
// from /proc/<pid>/cgroup texts, label values, the Authorization header,
// and the metric families of a reading that failed (the scrape and web
// tests cover the series of every recorded tree and the served requests).
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "basic_auth.h"
#include "container_label.h"
#include "gpu_collector.h"
#include "label_text.h"
#include "listen_address.h"

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

TEST(ContainerLabel, NamesTheContainerElseTheInnermostUnit) {
  const std::string id = "3f4e8b1c9d2a7e6f5b4c3d2e1f0a9b8c7d6e5f4a3b2c1d0e9f8a7b6c5d4e3f2a";
  const struct {
    std::string cgroup;
    std::string container;
  } cases[] = {
      // cgroup v2, systemd driver: Docker, containerd (Kubernetes), CRI-O, Podman.
      {"0::/system.slice/docker-" + id + ".scope\n", id},
      {"0::/kubepods.slice/kubepods-burstable.slice/kubepods-burstable-pod1a2b.slice/"
       "cri-containerd-" +
           id + ".scope\n",
       id},
      {"0::/kubepods.slice/kubepods-pod1a2b.slice/crio-" + id + ".scope\n", id},
      {"0::/user.slice/user-1000.slice/user@1000.service/user.slice/libpod-" + id +
           ".scope/container\n",
       id},
      // Podman's monitor is not the container: its unit is named instead.
      {"0::/machine.slice/libpod-conmon-" + id + ".scope\n", "libpod-conmon-" + id + ".scope"},
      // cgroupfs driver, v1 lines: the first one with a path names it.
      {"12:pids:/docker/" + id + "\n11:memory:/docker/" + id + "\n0::/\n", id},
      {"5:cpu,cpuacct:/kubepods/besteffort/pod1a2b/" + id +
           "\n4:memory:/kubepods/besteffort/pod1a2b/" + id + "\n",
       id},
      // Units, innermost wins.
      {"0::/system.slice/gdm.service\n", "gdm.service"},
      {"0::/user.slice/user-1000.slice/user@1000.service/app.slice/app-org.gnome.Terminal.slice/"
       "vte-spawn-1b2c.scope\n",
       "vte-spawn-1b2c.scope"},
      {"0::/user.slice/user-1000.slice/session-2.scope\n", "session-2.scope"},
      {"0::/init.scope\n", "init.scope"},
      // A cgroup namespace of its own shows paths relative to it.
      {"0::/../../system.slice/docker-" + id + ".scope\n", id},
      // Nothing to name.
      {"0::/\n", ""},
      {"0::/user.slice/user-1000.slice\n", ""},
      {"0::/docker/" + id.substr(1) + "\n", ""},
      {"0::/system.slice/docker-" + id + ".scope.bak\n", ""},
      {"", ""},
      {"garbage without colons\n", ""},
      // A v2 path may hold colons; the v2 line wins over v1 lines.
      {"1:name=systemd:/system.slice/a.service\n0::/system.slice/x:y.service\n", "x:y.service"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.cgroup);
    EXPECT_EQ(ContainerFromCgroup(c.cgroup), c.container);
  }
}

TEST(LabelText, ReplacesInvalidUTF8AndCutsAtACharacterBoundary) {
  const std::string fffd = "\xEF\xBF\xBD";
  const struct {
    std::string text;
    std::string label;
    std::size_t maxBytes = kMaxLabelValueBytes;
  } cases[] = {
      {"gdm.service", "gdm.service"},
      {"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x8E\xAE", "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x8E\xAE"},
      {"\xFF\xFE.service", fffd + fffd + ".service"},
      {"a\x80"
       "b",
       "a" + fffd + "b"},                               // stray continuation byte
      {"\xC0\xAF", fffd + fffd},                        // overlong '/'
      {"\xED\xA0\x80", fffd + fffd + fffd},             // a UTF-16 surrogate
      {"\xF4\x90\x80\x80", fffd + fffd + fffd + fffd},  // above U+10FFFF
      {"\xE2\x82", fffd + fffd},                        // cut short at the end
      {"\xE2\x82x", fffd + fffd + "x"},                 // cut short before a valid byte
      {std::string(300, 'a'), std::string(kMaxLabelValueBytes, 'a')},
      {"ab\xE2\x82\xAC", "ab", 4},  // the euro sign does not fit whole
      {"ab\xFF", "ab", 4},          // nor does its replacement
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(LabelText(c.text, c.maxBytes), c.label);
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
  for (const char* text : {"", "not json", R"([{"ProcessID":1}])", "{}"}) {
    SCOPED_TRACE(text);
    bool ok = true;
    const auto samples = Samples(BuildMetricFamilies(
        text, [](std::uint32_t) { return std::string(); }, {0.5, 2, 0}, ok));
    EXPECT_FALSE(ok);
    const std::map<std::string, std::vector<std::string>> expected = {
        {"gpuproc_scrape_duration_seconds", {" 0.500000"}},
        {"gpuproc_readings_total", {" 2.000000"}},
        {"gpuproc_scrape_errors_total", {" 1.000000"}},
    };
    EXPECT_EQ(samples, expected);
  }
}

TEST(MetricFamilies, NoProcessGivesEmptyFamiliesAndNoError) {
  bool ok = false;
  const auto samples = Samples(BuildMetricFamilies(
      "[]", [](std::uint32_t) { return std::string(); }, {0.1, 1, 0}, ok));
  EXPECT_TRUE(ok);
  EXPECT_TRUE(samples.at("gpuproc_process_memory_dedicated_bytes").empty());
  EXPECT_EQ(samples.at("gpuproc_scrape_errors_total"), std::vector<std::string>{" 0.000000"});
}

}  // namespace
}  // namespace gpuproc
