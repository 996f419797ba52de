// Who a process belongs to: the container id, pod UID and systemd unit from
// /proc/<pid>/cgroup texts, pods and containers named from the kubelet's log
// folders, and label values made valid, bounded UTF-8.
#include <gtest/gtest.h>

#include <string>

#include "container_label.h"
#include "label_text.h"
#include "pod_label.h"

namespace gpuproc {
namespace {
// The one split of the cgroup file's lines, behind both the owner and the
// path top shows.
TEST(CgroupPath, TheV2LineElseTheFirstOfTheLinesTheKernelWrites) {
  const std::string tooLong = "5:cpu:/" + std::string(5000, 'a') + "\n";
  struct Case {
    std::string text;
    const char* path;
  } const cases[] = {
      {"0::/user.slice/user-1000.slice/session-2.scope\n",
       "/user.slice/user-1000.slice/session-2.scope"},
      {"12:pids:/docker/abc\n0::/system.slice/a:b.service\n", "/system.slice/a:b.service"},
      {"12:pids:/docker/abc\n4:cpu,cpuacct:/other\n", "/docker/abc"},
      {tooLong + "no colons\n1:one colon\n3:memory:/kept\n", "/kept"},
      {"", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text.substr(0, 80));
    EXPECT_EQ(CgroupPath(c.text), c.path);
  }
  // The owner comes from the same lines: a container id on an over-long
  // line is not read.
  EXPECT_EQ(
      IdentityFromCgroup(tooLong + "0::/system.slice/docker-" + std::string(64, 'c') + ".scope\n")
          .containerId,
      std::string(64, 'c'));
  EXPECT_EQ(IdentityFromCgroup("5:cpu:/system.slice/docker-" + std::string(64, 'c') + ".scope" +
                               std::string(5000, '/') + "\n")
                .containerId,
            "");
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

// Names that only the kubelet or a runtime may place count only where they
// place them: a user who builds the kubelet's names inside their own
// delegated subtree, or anywhere below the root, is not a pod.
TEST(CgroupIdentity, PodsAndContainersOnlyWhereTheSystemPutsThem) {
  const std::string id = "3f4e8b1c9d2a7e6f5b4c3d2e1f0a9b8c7d6e5f4a3b2c1d0e9f8a7b6c5d4e3f2a";
  const std::string uid = "6f1c2a9e_3b4d_4e8f_9a0b_1c2d3e4f5a6b";
  const std::string pod = "kubepods-besteffort-pod" + uid + ".slice";
  const std::string scope = "cri-containerd-" + id + ".scope";
  const std::string userTree = "0::/user.slice/user-1000.slice/user@1000.service/";
  const struct {
    std::string cgroup;
    CgroupIdentity expected;
  } cases[] = {
      // The forged pod in a user's subtree: that user's container id, no pod.
      {userTree + "app.slice/kubepods.slice/kubepods-besteffort.slice/" + pod + "/" + scope + "\n",
       {id, "", scope}},
      {userTree + pod + "/" + scope + "\n", {id, "", scope}},
      // Another user's subtree named inside one's own is not theirs either.
      {"0::/user.slice/user-1000.slice/user@1001.service/" + scope + "\n", {"", "", scope}},
      // The kubelet's names below some other root.
      {"0::/system.slice/kubepods.slice/" + pod + "/" + scope + "\n", {id, "", scope}},
      {"0::/home/kubepods/pod6f1c2a9e-3b4d-4e8f-9a0b-1c2d3e4f5a6b/" + id + "\n", {"", "", ""}},
      {"0::/" + pod + "/" + scope + "\n", {"", "", scope}},
      // The container must sit directly under the pod.
      {"0::/kubepods.slice/kubepods-besteffort.slice/" + pod + "/x.slice/" + scope + "\n",
       {"", "6f1c2a9e-3b4d-4e8f-9a0b-1c2d3e4f5a6b", scope}},
      // A container id where no runtime puts one.
      {"0::/opt/docker-" + id + ".scope\n", {"", "", "docker-" + id + ".scope"}},
      {"0::/user.slice/user-1000.slice/session-2.scope/" + id + "\n", {"", "", "session-2.scope"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.cgroup);
    const CgroupIdentity got = IdentityFromCgroup(c.cgroup);
    EXPECT_EQ(got.containerId, c.expected.containerId);
    EXPECT_EQ(got.podUid, c.expected.podUid);
    EXPECT_EQ(got.unit, c.expected.unit);
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

}  // namespace
}  // namespace gpuproc
