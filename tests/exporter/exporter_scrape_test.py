#!/usr/bin/env python3
"""gpuproc-exporter serving recorded trees on a loopback port.

    exporter_scrape_test.py EXPORTER FIXTURES [PROMTOOL]

Each tree is served through HOST_PROC/HOST_SYS, scraped over HTTP, parsed
with prometheus_client's parser and compared series by series with the
tree's known figures. Exits 77 (skipped) when prometheus_client is missing.
"""
import os
import signal
import socket
import subprocess
import sys
import threading
import unittest
import urllib.request

try:
    from prometheus_client.parser import text_string_to_metric_families
except ImportError:
    print("skipped: python3-prometheus-client is not installed")
    sys.exit(77)

EXPORTER, FIXTURES = sys.argv[1], sys.argv[2]
PROMTOOL = sys.argv[3] if len(sys.argv) > 3 else ""
MIB = 1048576
DOCKER_ID = "4c1e2b7f9a3d5e6c8b0a1f2e3d4c5b6a7f8e9d0c1b2a3f4e5d6c7b8a9f0e1d2c"
TIMEOUT = 20


def luid(pci_low):
    return f"luid_0x00000000_0x{pci_low:08X}_phys_0"


def process(tree, pid, name, adapter, dedicated, shared, local, committed, engines, container="",
            pod=("", "", "")):
    """The series one (process, GPU) record gives: memory in MiB, engines in percent (None: no series).
    pod: (namespace, pod, pod UID)."""
    namespace, pod_name, uid = pod
    labels = (("adapter", adapter), ("container", container), ("name", name), ("namespace", namespace),
              ("pid", str(pid)), ("pod", pod_name), ("pod_uid", uid))
    series = {}
    for kind, mib in (("dedicated", dedicated), ("shared", shared), ("local", local), ("committed", committed)):
        if mib is not None:
            series[(f"gpuproc_process_memory_{kind}_bytes", labels)] = mib * MIB
    for engine, percent in engines.items():
        engine_labels = labels[:2] + (("engine", engine),) + labels[2:]
        series[("gpuproc_process_engine_utilization_ratio", engine_labels)] = percent / 100
    return series


def pod_series(adapter, pod, dedicated, shared, local, committed, engines):
    """The per-pod series on one GPU: memory sums in MiB, busiest process per engine type in percent."""
    labels = (("adapter", adapter), ("namespace", pod[0]), ("pod", pod[1]), ("pod_uid", pod[2]))
    series = {(f"gpuproc_pod_memory_{kind}_bytes", labels): mib * MIB
              for kind, mib in (("dedicated", dedicated), ("shared", shared), ("local", local),
                                ("committed", committed))}
    for engine, percent in engines.items():
        series[("gpuproc_pod_engine_utilization_ratio", labels[:1] + (("engine", engine),) + labels[1:])] = \
            percent / 100
    return series


def adapter_memory(adapter, committed, free):
    labels = (("adapter", adapter),)
    return {("gpuproc_adapter_memory_committed_bytes", labels): committed * MIB,
            ("gpuproc_adapter_memory_free_bytes", labels): free * MIB}


def adapter_info(adapter, name, pci_address):
    labels = (("adapter", adapter), ("name", name), ("pci_address", pci_address))
    return {("gpuproc_adapter_info", labels): 1}


def merge(*parts):
    result = {}
    for part in parts:
        result.update(part)
    return result


# The figures of tests/platform/linux/fdinfo_replay_test.cpp, per GPU.
# Nothing changes between the two collections of a recorded tree, so busy
# time reads 0; xe's cycle counters never move there and have no value.
AMD = luid(0x300)
# The name from the PCI ID database where the tree has the ids, else driver and address.
NAVI21 = "Advanced Micro Devices, Inc. [AMD/ATI] Navi 21 [Radeon RX 6800/6800 XT / 6900 XT]"
UHD770 = "Intel Corporation Raptor Lake-S GT1 [UHD Graphics 770]"
TRAINER = ("ml", "trainer-0", "6f1c2a9e-3b4d-4e8f-9a0b-1c2d3e4f5a6b")
RENDER = ("video", "render-0", "0d9e8f7a-6b5c-4d3e-8f2a-1b0c9d8e7f6a")
EXPECTED = {
    "amdgpu-legacy": merge(
        process("amdgpu-legacy", 1000, "glxgears", AMD, 256, 16, 256, 272, {"3D": 0, "Copy": 0}),
        adapter_memory(AMD, 1280, 7168), adapter_info(AMD, "amdgpu 0000:03:00.0", "0000:03:00.0")),
    "amdgpu": merge(
        process("amdgpu", 1010, "firefox", AMD, 512, 40, 512, 816, {"3D": 0, "Compute": 0, "VideoDecode": 0}),
        adapter_memory(AMD, 2560, 14336), adapter_info(AMD, NAVI21, "0000:03:00.0")),
    # Older i915 (1101) reports no memory; xe's engines have no value.
    "i915": merge(
        process("i915", 1100, "vkcube", AMD, 256, 24, 256, 324,
                {"3D": 0, "Compute": 0, "Copy": 0, "VideoDecode": 0, "VideoProcessing": 0}),
        process("i915", 1101, "glmark2", luid(0x10), None, None, None, None,
                {"3D": 0, "Copy": 0, "VideoDecode": 0, "VideoProcessing": 0}),
        adapter_info(AMD, "i915 0000:03:00.0", "0000:03:00.0"),
        adapter_info(luid(0x10), "i915 0000:00:02.0", "0000:00:02.0")),
    # Discrete xe's adapter figures come from the dmem controller's root files.
    "xe": merge(
        process("xe", 1200, "gnome-shell", AMD, 520, 32, 520, 680, {}),
        adapter_memory(AMD, 2048, 10240), adapter_info(AMD, "xe 0000:03:00.0", "0000:03:00.0")),
    # Integrated xe: the carve-out is dedicated, Local adds system memory.
    "xe-lnl": merge(process("xe-lnl", 1800, "firefox", luid(0x10), 4, 128, 132, 164, {}),
                    adapter_info(luid(0x10), "xe 0000:00:02.0", "0000:00:02.0")),
    # 2001 and 2002 have DRM fds but no statistics: no series.
    "multi": merge(
        process("multi", 2000, "blender", luid(0x10), 0, 96, 96, 128,
                {"3D": 0, "Copy": 0, "VideoDecode": 0, "VideoProcessing": 0}, DOCKER_ID),
        process("multi", 2000, "blender", AMD, 128, 8, 128, 264, {"3D": 0}, DOCKER_ID),
        adapter_memory(AMD, 1280, 7168), adapter_info(AMD, NAVI21, "0000:03:00.0"),
        adapter_info(luid(0x10), UHD770, "0000:00:02.0")),
    # Two pods of two namespaces (names from the tree's var/log/pods and
    # var/log/containers) and one process outside Kubernetes.
    "pods": merge(
        process("pods", 3000, "python3.11", AMD, 128, 8, 128, 136, {"3D": 0, "Compute": 0}, "trainer", TRAINER),
        process("pods", 3001, "ffmpeg", AMD, 256, 16, 256, 272, {"3D": 0, "Compute": 0}, "encoder", TRAINER),
        process("pods", 3002, "vkcube", luid(0x10), 0, 96, 96, 96, {"3D": 0, "Copy": 0}, "render", RENDER),
        process("pods", 3003, "Xorg", luid(0x10), 0, 32, 32, 32, {"3D": 0, "Copy": 0}, "display-manager.service"),
        pod_series(AMD, TRAINER, 384, 24, 384, 408, {"3D": 0, "Compute": 0}),
        pod_series(luid(0x10), RENDER, 0, 96, 96, 96, {"3D": 0, "Copy": 0}),
        adapter_memory(AMD, 1280, 7168), adapter_info(AMD, "amdgpu 0000:03:00.0", "0000:03:00.0"),
        adapter_info(luid(0x10), "i915 0000:00:02.0", "0000:00:02.0")),
}


class Exporter:
    """One exporter process on a free loopback port, stopped on exit."""

    def __init__(self, tree=None, arguments=("--listen", "127.0.0.1:0")):
        environment = dict(os.environ)
        if tree is not None:
            environment["HOST_PROC"] = os.path.join(FIXTURES, tree, "proc")
            environment["HOST_SYS"] = os.path.join(FIXTURES, tree, "sys")
            # Most trees have no kubelet folders: no names, no error.
            arguments = (*arguments, "--kubelet.pod-logs-dir", os.path.join(FIXTURES, tree, "var/log/pods"))
        self.process = subprocess.Popen([EXPORTER, *arguments], env=environment,
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.url = None

    def __enter__(self):
        line = self.process.stderr.readline()  # "gpuproc-exporter: serving http://ADDRESS:PORT/metrics"
        if "serving " not in line:
            self.process.kill()
            raise AssertionError(f"exporter did not start: {line}{self.process.stderr.read()}")
        self.url = line.split("serving ", 1)[1].strip()
        return self

    def __exit__(self, *exc):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
        self.status = self.process.wait(timeout=TIMEOUT)
        self.process.stdout.close()
        self.process.stderr.close()

    def scrape(self):
        with urllib.request.urlopen(self.url, timeout=TIMEOUT) as response:
            return response.read().decode("utf-8")


def samples(text, prefix="gpuproc_"):
    result = {}
    for family in text_string_to_metric_families(text):
        for sample in family.samples:
            if sample.name.startswith(prefix):
                result[(sample.name, tuple(sorted(sample.labels.items())))] = sample.value
    return result


def run_exporter(arguments):
    done = subprocess.run([EXPORTER, *arguments], capture_output=True, text=True, timeout=TIMEOUT)
    return done.returncode, done.stderr


class ScrapeTest(unittest.TestCase):
    def test_each_tree_gives_its_known_series(self):
        trees = sorted(os.listdir(FIXTURES))
        for tree in (t for t in trees if os.path.isdir(os.path.join(FIXTURES, t))):
            with self.subTest(tree=tree), Exporter(tree) as exporter:
                text = exporter.scrape()
                got = {k: v for k, v in samples(text).items()
                       if k[0].startswith(("gpuproc_process_", "gpuproc_adapter_", "gpuproc_pod_"))}
                if tree in EXPECTED:
                    self.assertEqual(got, EXPECTED[tree])
                else:
                    # Every process of the tree has series, with the tree's own names.
                    self.assertTrue(any(k[0] == "gpuproc_process_engine_utilization_ratio" for k in got))
            self.assertEqual(exporter.status, 0)

    def test_own_series_and_promtool(self):
        with Exporter("multi") as exporter:
            first = exporter.scrape()
            second = samples(exporter.scrape())
        own = samples(first)
        self.assertEqual(own[("gpuproc_readings_total", ())], 1)
        self.assertEqual(second[("gpuproc_readings_total", ())], 2)
        self.assertEqual(own[("gpuproc_scrape_errors_total", ())], 0)
        # Two 50 ms pauses, and no more than a loaded machine adds.
        self.assertGreaterEqual(own[("gpuproc_scrape_duration_seconds", ())], 0.1)
        if not PROMTOOL:
            self.skipTest("promtool (Debian prometheus) is not installed")
        lint = subprocess.run([PROMTOOL, "check", "metrics"], input=first, capture_output=True, text=True,
                              timeout=TIMEOUT)
        self.assertEqual((lint.returncode, lint.stdout, lint.stderr), (0, "", ""))

    def test_concurrent_scrapes_share_one_reading(self):
        # Two scrapes started together both arrive within the first one's
        # 100 ms window, so they report the same reading; without sharing
        # two readings are taken one after the other and the counts differ.
        # A few rounds absorb a scheduler that delays one thread past it.
        with Exporter("multi") as exporter:
            counts = []
            for _ in range(3):
                barrier = threading.Barrier(2)
                round_counts = []

                def scrape():
                    barrier.wait(timeout=TIMEOUT)
                    round_counts.append(samples(exporter.scrape())[("gpuproc_readings_total", ())])

                threads = [threading.Thread(target=scrape) for _ in range(2)]
                for thread in threads:
                    thread.start()
                for thread in threads:
                    thread.join(timeout=TIMEOUT)
                counts.append(sorted(round_counts))
                if round_counts[0] == round_counts[1]:
                    break
            self.assertTrue(any(a == b for a, b in counts), counts)
            # Readings are counted, not scrapes: the next one is one more.
            after = samples(exporter.scrape())[("gpuproc_readings_total", ())]
            self.assertEqual(after, counts[-1][1] + 1)

    def test_bad_listen_values_exit_2(self):
        for value in ("10436", "localhost:10436", "127.0.0.1:65536", "127.0.0.1:", "[::1:10436", "1.2.3:4"):
            with self.subTest(value=value):
                status, error = run_exporter(["--listen", value])
                self.assertEqual(status, 2)
                self.assertIn(f"--listen '{value}' is not ADDRESS:PORT", error)
        status, error = run_exporter(["--no-such-option"])
        self.assertEqual(status, 2, error)

    def test_port_in_use_exits_1(self):
        with socket.socket() as taken:
            taken.bind(("127.0.0.1", 0))
            taken.listen()
            port = taken.getsockname()[1]
            status, error = run_exporter(["--listen", f"127.0.0.1:{port}"])
        self.assertEqual(status, 1)
        self.assertEqual(error, f"gpuproc-exporter: cannot listen on 127.0.0.1:{port}: Address already in use\n")


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
