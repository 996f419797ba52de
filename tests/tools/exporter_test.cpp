// gpuproc-exporter's pure parts: the --listen value, the owner of a process
// from /proc/<pid>/cgroup texts and the kubelet's log folders, label values,
// the Authorization header, the per-pod sums, and the metric families of a
// reading that failed (the scrape and web tests cover the series of every
// recorded tree and the served requests).
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "basic_auth.h"
#include "container_label.h"
#include "gpu_collector.h"
#include "label_text.h"
#include "listen_address.h"
#include "pod_label.h"

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

TEST(CgroupIdentity, FindsContainerIdPodUidAndUnitOnEveryLayout) {
  const std::string id = "3f4e8b1c9d2a7e6f5b4c3d2e1f0a9b8c7d6e5f4a3b2c1d0e9f8a7b6c5d4e3f2a";
  const std::string uid = "6f1c2a9e-3b4d-4e8f-9a0b-1c2d3e4f5a6b";
  const std::string uidSystemd = "6f1c2a9e_3b4d_4e8f_9a0b_1c2d3e4f5a6b";
  const std::string staticUid = "0a1b2c3d4e5f60718293a4b5c6d7e8f9";  // a static pod's hash
  const std::string kubeSlice = "0::/kubepods.slice/";
  const struct {
    std::string cgroup;
    CgroupIdentity expected;  // container id, pod UID, unit
  } cases[] = {
      // Kubernetes, systemd driver: each QoS class, each runtime.
      {kubeSlice + "kubepods-burstable.slice/kubepods-burstable-pod" + uidSystemd +
           ".slice/cri-containerd-" + id + ".scope\n",
       {id, uid, "cri-containerd-" + id + ".scope"}},
      {kubeSlice + "kubepods-besteffort.slice/kubepods-besteffort-pod" + uidSystemd +
           ".slice/crio-" + id + ".scope\n",
       {id, uid, "crio-" + id + ".scope"}},
      {kubeSlice + "kubepods-pod" + uidSystemd + ".slice/docker-" + id + ".scope\n",
       {id, uid, "docker-" + id + ".scope"}},
      {kubeSlice + "kubepods-pod" + staticUid + ".slice/libpod-" + id + ".scope\n",
       {id, staticUid, "libpod-" + id + ".scope"}},
      // The pod's own cgroup, no container in it.
      {kubeSlice + "kubepods-besteffort.slice/kubepods-besteffort-pod" + uidSystemd + ".slice\n",
       {"", uid, ""}},
      // cgroupfs driver, v1 lines, and the v2 line; Guaranteed without a class.
      {"12:pids:/kubepods/burstable/pod" + uid + "/" + id + "\n4:memory:/kubepods/burstable/pod" +
           uid + "/" + id + "\n0::/\n",
       {id, uid, ""}},
      {"0::/kubepods/besteffort/pod" + uid + "/" + id + "\n", {id, uid, ""}},
      {"0::/kubepods/pod" + uid + "/" + id + "\n", {id, uid, ""}},
      // Seen from inside the container's own cgroup namespace.
      {"0::/../../kubepods-burstable-pod" + uidSystemd + ".slice/cri-containerd-" + id + ".scope\n",
       {id, uid, "cri-containerd-" + id + ".scope"}},
      // Hybrid host in another cgroup namespace: the v2 line reads the
      // root as /../.. and must not hide the v1 line naming the container.
      {"13:pids:/docker/" + id + "\n1:name=systemd:/docker/" + id + "\n0::/../..\n", {id, "", ""}},
      {"0::/../..\n5:memory:/kubepods/pod" + uid + "/" + id + "\n", {id, uid, ""}},
      // Docker and Podman outside Kubernetes, both drivers.
      {"0::/system.slice/docker-" + id + ".scope\n", {id, "", "docker-" + id + ".scope"}},
      {"0::/user.slice/user-1000.slice/user@1000.service/user.slice/libpod-" + id +
           ".scope/container\n",
       {id, "", "libpod-" + id + ".scope"}},
      {"0::/libpod_parent/libpod-" + id + "\n", {id, "", ""}},
      {"9:devices:/libpod_parent/libpod-" + id + "\n0::/\n", {id, "", ""}},
      // Podman's monitor is not the container: its unit is named instead.
      {"0::/machine.slice/libpod-conmon-" + id + ".scope\n",
       {"", "", "libpod-conmon-" + id + ".scope"}},
      // systemd units, innermost wins; the v2 line wins among equals.
      {"0::/system.slice/gdm.service\n", {"", "", "gdm.service"}},
      {"0::/user.slice/user-1000.slice/user@1000.service/app.slice/vte-spawn-1b2c.scope\n",
       {"", "", "vte-spawn-1b2c.scope"}},
      {"1:name=systemd:/system.slice/a.service\n0::/system.slice/x:y.service\n",
       {"", "", "x:y.service"}},
      // Nothing to name, or not quite an id.
      {"0::/\n", {}},
      {"0::/user.slice/user-1000.slice\n", {}},
      {"0::/docker/" + id.substr(1) + "\n", {}},
      {"0::/docker/" + std::string(64, 'A') + "\n", {}},
      {"0::/system.slice/docker-" + id + ".scope.bak\n", {}},
      {"0::/kubepods/pod" + uid.substr(1) + "/\n", {}},
      {kubeSlice + "kubepods-gold-pod" + uidSystemd + ".slice\n", {}},
      {"", {}},
      {"garbage without colons\n\n::\n", {}},
      // An overlong line is not the kernel's and is skipped, not searched.
      {"0::/" + std::string(5000, 'x') + "/docker-" + id + ".scope\n", {}},
      {"0::/" + std::string(5000, 'x') + "\n1:cpu:/docker/" + id + "\n", {id, "", ""}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.cgroup.substr(0, 200));
    const CgroupIdentity got = IdentityFromCgroup(c.cgroup);
    EXPECT_EQ(got.containerId, c.expected.containerId);
    EXPECT_EQ(got.podUid, c.expected.podUid);
    EXPECT_EQ(got.unit, c.expected.unit);
    // The label outside Kubernetes: the id, else the unit.
    EXPECT_EQ(ContainerFromCgroup(c.cgroup),
              c.expected.containerId.empty() ? c.expected.unit : c.expected.containerId);
  }
}

TEST(KubeletLogLayout, NamesPodsAndContainersFromTheTreeAndNothingWhereItIsMissing) {
  const std::string fixture = std::string(GPUPROC_FIXTURES_DIR) + "/pods/var/log/pods";
  const std::string trainerUid = "6f1c2a9e-3b4d-4e8f-9a0b-1c2d3e4f5a6b";
  const std::string encoderId = "1d3f5a7c9e0b2d4f6a8c0e1f3a5c7e9b0d2f4a6c8e0a1b3d5f7a9c0e2f4a6b8c";
  const std::string unknownId(64, 'e');
  const KubeletLogLayout layout = KubeletLogLayout::Read(fixture + "/");
  ASSERT_TRUE(layout.Pod(trainerUid).has_value());
  EXPECT_EQ(layout.Pod(trainerUid)->namespaceName, "ml");
  EXPECT_EQ(layout.Pod(trainerUid)->pod, "trainer-0");
  EXPECT_EQ(layout.ContainerName(encoderId), "encoder");

  const struct {
    const char* what;
    CgroupIdentity identity;
    ProcessOwner expected;  // container, namespace, pod, pod UID
  } cases[] = {
      {"named", {encoderId, trainerUid, ""}, {"encoder", "ml", "trainer-0", trainerUid}},
      {"unknown container",
       {unknownId, trainerUid, ""},
       {unknownId, "ml", "trainer-0", trainerUid}},
      {"unknown pod",
       {unknownId, "0d9e8f7a-0000-4d3e-8f2a-1b0c9d8e7f6a", ""},
       {unknownId, "", "", "0d9e8f7a-0000-4d3e-8f2a-1b0c9d8e7f6a"}},
      {"pod cgroup", {"", trainerUid, ""}, {"", "ml", "trainer-0", trainerUid}},
      {"outside a pod", {unknownId, "", "docker-x.scope"}, {unknownId, "", "", ""}},
      {"unit", {"", "", "gdm.service"}, {"gdm.service", "", "", ""}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(layout.Owner(c.identity), c.expected);
  }

  // A folder that is missing, or a file where a folder should be: UID and
  // id only, no error.
  for (const std::string& missing : {std::string("/nonexistent/var/log/pods"),
                                     fixture + "/ml_trainer-0_" + trainerUid + "/trainer/0.log"}) {
    SCOPED_TRACE(missing);
    const KubeletLogLayout empty = KubeletLogLayout::Read(missing);
    EXPECT_EQ(empty.Owner({encoderId, trainerUid, ""}),
              (ProcessOwner{encoderId, "", "", trainerUid}));
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

TEST(MetricFamilies, NoProcessGivesEmptyFamiliesAndNoError) {
  bool ok = false;
  const auto samples = Samples(BuildMetricFamilies(
      "[]", [](std::uint32_t) { return ProcessOwner(); }, {0.1, 1, 0}, ok));
  EXPECT_TRUE(ok);
  EXPECT_TRUE(samples.at("gpuproc_process_memory_dedicated_bytes").empty());
  EXPECT_EQ(samples.at("gpuproc_scrape_errors_total"), std::vector<std::string>{" 0.000000"});
}

TEST(MetricFamilies, PodSeriesSumMemoryAndTakeTheBusiestProcessPerEngineType) {
  // Three processes of one pod on two GPUs, one process outside any pod,
  // one unreadable value (-1) that must not count as 0.
  const std::string text = R"([
    {"ProcessID": 1, "Name": "a", "Adapter": "gpu0", "GPUMemoryTotal": 10, "GPUMemoryFree": 90,
     "GPUProcessMemoryDedicatedUsage": 1, "GPUProcessMemorySharedUsage": 2,
     "GPUProcessMemoryLocalUsage": -1, "GPUProcessMemoryTotalCommitted": 3,
     "Engines": {"3D": 40, "Compute": 10}},
    {"ProcessID": 2, "Name": "b", "Adapter": "gpu0", "GPUMemoryTotal": 10, "GPUMemoryFree": 90,
     "GPUProcessMemoryDedicatedUsage": 4, "GPUProcessMemorySharedUsage": 8,
     "GPUProcessMemoryLocalUsage": -1, "GPUProcessMemoryTotalCommitted": 12,
     "Engines": {"3D": 25, "Copy": 5}},
    {"ProcessID": 2, "Name": "b", "Adapter": "gpu1", "GPUMemoryTotal": -1, "GPUMemoryFree": -1,
     "GPUProcessMemoryDedicatedUsage": 16, "GPUProcessMemorySharedUsage": 0,
     "GPUProcessMemoryLocalUsage": 16, "GPUProcessMemoryTotalCommitted": 16,
     "Engines": {"3D": 50}},
    {"ProcessID": 3, "Name": "c", "Adapter": "gpu0", "GPUMemoryTotal": 10, "GPUMemoryFree": 90,
     "GPUProcessMemoryDedicatedUsage": 64, "GPUProcessMemorySharedUsage": 64,
     "GPUProcessMemoryLocalUsage": 64, "GPUProcessMemoryTotalCommitted": 64,
     "Engines": {"3D": 90}}
  ])";
  std::map<std::uint32_t, int> lookups;
  const OwnerLookup owner = [&lookups](std::uint32_t pid) {
    ++lookups[pid];
    return pid == 3 ? ProcessOwner{"gdm.service", "", "", ""}
                    : ProcessOwner{pid == 1 ? "app" : "sidecar", "ns", "web-0", "uid-1"};
  };
  bool ok = false;
  const auto samples = Samples(BuildMetricFamilies(text, owner, {0.1, 1, 0}, ok));
  ASSERT_TRUE(ok);
  // One cgroup read per process, however many GPUs it uses.
  EXPECT_EQ(lookups, (std::map<std::uint32_t, int>{{1, 1}, {2, 1}, {3, 1}}));
  const std::string pod0 = "adapter=gpu0,namespace=ns,pod=web-0,pod_uid=uid-1, ";
  const std::string pod1 = "adapter=gpu1,namespace=ns,pod=web-0,pod_uid=uid-1, ";
  const std::map<std::string, std::vector<std::string>> expected = {
      {"gpuproc_pod_memory_dedicated_bytes", {pod0 + "5242880.000000", pod1 + "16777216.000000"}},
      {"gpuproc_pod_memory_shared_bytes", {pod0 + "10485760.000000", pod1 + "0.000000"}},
      {"gpuproc_pod_memory_local_bytes", {pod1 + "16777216.000000"}},
      {"gpuproc_pod_memory_committed_bytes", {pod0 + "15728640.000000", pod1 + "16777216.000000"}},
      {"gpuproc_pod_engine_utilization_ratio",
       {"adapter=gpu0,engine=3D,namespace=ns,pod=web-0,pod_uid=uid-1, 0.400000",
        "adapter=gpu0,engine=Compute,namespace=ns,pod=web-0,pod_uid=uid-1, 0.100000",
        "adapter=gpu0,engine=Copy,namespace=ns,pod=web-0,pod_uid=uid-1, 0.050000",
        "adapter=gpu1,engine=3D,namespace=ns,pod=web-0,pod_uid=uid-1, 0.500000"}},
  };
  for (const auto& [name, series] : expected) {
    SCOPED_TRACE(name);
    EXPECT_EQ(samples.at(name), series);
  }
  // The process series carry the owner's labels in name order.
  EXPECT_EQ(samples.at("gpuproc_process_memory_dedicated_bytes").front(),
            "adapter=gpu0,container=app,name=a,namespace=ns,pid=1,pod=web-0,pod_uid=uid-1, "
            "1048576.000000");
  EXPECT_EQ(samples.at("gpuproc_process_engine_utilization_ratio").back(),
            "adapter=gpu0,container=gdm.service,engine=3D,name=c,namespace=,pid=3,pod=,pod_uid=, "
            "0.900000");
}

}  // namespace
}  // namespace gpuproc
