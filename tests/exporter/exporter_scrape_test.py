#!/usr/bin/env python3
"""gpuproc-exporter serving recorded trees on a loopback port.

    exporter_scrape_test.py EXPORTER FIXTURES [PROMTOOL]

Each tree is served through HOST_PROC/HOST_SYS, scraped over HTTP, parsed
with prometheus_client's parser and compared series by series with the
tree's known figures. Exits 77 (skipped) when prometheus_client is missing.
"""
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
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
            pod=("", "", ""), energy=None):
    """The series one (process, GPU) entry gives: memory in MiB (None: no series), engines in busy
    seconds, the energy estimate in joules (None: the GPU has no energy figure). pod: (namespace,
    pod, pod UID)."""
    namespace, pod_name, uid = pod
    labels = (("adapter", adapter), ("container", container), ("name", name), ("namespace", namespace),
              ("pid", str(pid)), ("pod", pod_name), ("pod_uid", uid))
    series = {}
    for kind, mib in (("dedicated", dedicated), ("shared", shared), ("local", local), ("committed", committed)):
        if mib is not None:
            series[(f"gpuproc_process_memory_{kind}_bytes", labels)] = mib * MIB
    for engine, seconds in engines.items():
        engine_labels = labels[:2] + (("engine", engine),) + labels[2:]
        series[("gpuproc_process_engine_busy_seconds_total", engine_labels)] = seconds
    if energy is not None:
        energy_labels = labels[:2] + (("estimate", "true"),) + labels[2:]
        series[("gpuproc_process_energy_joules_total", energy_labels)] = energy
    return series


def pod_series(adapter, pod, dedicated, shared, local, committed):
    """The per-pod memory sums on one GPU, in MiB."""
    labels = (("adapter", adapter), ("namespace", pod[0]), ("pod", pod[1]), ("pod_uid", pod[2]))
    return {(f"gpuproc_pod_memory_{kind}_bytes", labels): mib * MIB
            for kind, mib in (("dedicated", dedicated), ("shared", shared), ("local", local),
                              ("committed", committed))}


def adapter_memory(adapter, committed, free):
    labels = (("adapter", adapter),)
    return {("gpuproc_adapter_memory_committed_bytes", labels): committed * MIB,
            ("gpuproc_adapter_memory_free_bytes", labels): free * MIB}


def adapter_info(adapter, name, pci_address, kind="GPU"):
    labels = (("adapter", adapter), ("adapter_name", name), ("kind", kind), ("pci_address", pci_address))
    return {("gpuproc_adapter_info", labels): 1}


def merge(*parts):
    result = {}
    for part in parts:
        result.update(part)
    return result


# The figures of tests/platform/linux/fdinfo_replay_test.cpp, per GPU, and
# each client's drm-engine-<class> nanoseconds as busy seconds (a client on
# two fds counts once), to the 100 ns of "Running Time". xe's busy time comes from cycle counters, from 0 when
# first seen; they never move in a recorded tree.
AMD = luid(0x300)
# The name from the PCI ID database where the tree has the ids, else driver and address.
NAVI21 = "Advanced Micro Devices, Inc. [AMD/ATI] Navi 21 [Radeon RX 6800/6800 XT / 6900 XT]"
UHD770 = "Intel Corporation Raptor Lake-S GT1 [UHD Graphics 770]"
TRAINER = ("ml", "trainer-0", "6f1c2a9e-3b4d-4e8f-9a0b-1c2d3e4f5a6b")
RENDER = ("video", "render-0", "0d9e8f7a-6b5c-4d3e-8f2a-1b0c9d8e7f6a")
XE_IDLE = {"3D": 0.0, "Compute": 0.0, "Copy": 0.0, "VideoDecode": 0.0, "VideoProcessing": 0.0}
I915_BUSY = {"3D": 9.288864723, "Copy": 2.035071108}
EXPECTED = {
    "amdgpu-legacy": merge(
        process("amdgpu-legacy", 1000, "glxgears", AMD, 256, 16, 256, 272, {"3D": 1.23456789, "Copy": 0.000023456}),
        adapter_memory(AMD, 1280, 7168), adapter_info(AMD, "amdgpu 0000:03:00.0", "0000:03:00.0")),
    "amdgpu": merge(
        process("amdgpu", 1010, "firefox", AMD, 512, 40, 512, 816,
                {"3D": 88.21943002, "Compute": 0.00012035, "VideoDecode": 0.009931002}, energy=0.0),
        adapter_memory(AMD, 2560, 14336), adapter_info(AMD, NAVI21, "0000:03:00.0")),
    # Older i915 (1101) reports no memory.
    "i915": merge(
        process("i915", 1100, "vkcube", AMD, 256, 24, 256, 324,
                {"3D": 25.662044495, "Compute": 0.0, "Copy": 0.0, "VideoDecode": 0.0, "VideoProcessing": 0.0},
                energy=0.0),
        process("i915", 1101, "glmark2", luid(0x10), None, None, None, None,
                {**I915_BUSY, "VideoDecode": 0.0, "VideoProcessing": 0.0}),
        adapter_info(AMD, "i915 0000:03:00.0", "0000:03:00.0"),
        adapter_info(luid(0x10), "i915 0000:00:02.0", "0000:00:02.0")),
    # Discrete xe's adapter figures come from the dmem controller's root files.
    "xe": merge(
        process("xe", 1200, "gnome-shell", AMD, 520, 32, 520, 680, XE_IDLE, energy=0.0),
        adapter_memory(AMD, 2048, 10240), adapter_info(AMD, "xe 0000:03:00.0", "0000:03:00.0")),
    # Integrated xe: the carve-out is dedicated, Local adds system memory.
    "xe-lnl": merge(process("xe-lnl", 1800, "firefox", luid(0x10), 4, 128, 132, 164, XE_IDLE),
                    adapter_info(luid(0x10), "xe 0000:00:02.0", "0000:00:02.0")),
    # 2001 and 2002 have DRM fds but no statistics: no series.
    "multi": merge(
        process("multi", 2000, "blender", luid(0x10), 0, 96, 96, 128,
                {**I915_BUSY, "VideoDecode": 0.0, "VideoProcessing": 0.0}, DOCKER_ID),
        process("multi", 2000, "blender", AMD, 128, 8, 128, 264, {"3D": 0.00512}, DOCKER_ID),
        adapter_memory(AMD, 1280, 7168), adapter_info(AMD, NAVI21, "0000:03:00.0"),
        adapter_info(luid(0x10), UHD770, "0000:00:02.0")),
    # Two pods of two namespaces (names from the tree's var/log/pods and
    # var/log/containers) and one process outside Kubernetes.
    "pods": merge(
        process("pods", 3000, "python3.11", AMD, 128, 8, 128, 136, {"3D": 0.00512, "Compute": 0.00012035},
                "trainer", TRAINER, energy=0.0),
        process("pods", 3001, "ffmpeg", AMD, 256, 16, 256, 272, {"3D": 0.00512, "Compute": 0.00012035},
                "encoder", TRAINER, energy=0.0),
        process("pods", 3002, "vkcube", luid(0x10), 0, 96, 96, 96, I915_BUSY, "render", RENDER),
        process("pods", 3003, "Xorg", luid(0x10), 0, 32, 32, 32, I915_BUSY, "display-manager.service"),
        pod_series(AMD, TRAINER, 384, 24, 384, 408),
        pod_series(luid(0x10), RENDER, 0, 96, 96, 96),
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
        # "gpuproc-exporter: serving http://ADDRESS:PORT/metrics", after any
        # line the library's first reading wrote (a driver switch that is off).
        line = self.process.stderr.readline()
        for _ in range(8):
            if "serving " in line or not line:
                break
            line = self.process.stderr.readline()
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
    """Each series' value, to the nanosecond that busy time is counted in."""
    result = {}
    for family in text_string_to_metric_families(text):
        for sample in family.samples:
            if sample.name.startswith(prefix):
                result[(sample.name, tuple(sorted(sample.labels.items())))] = round(sample.value, 9)
    return result


def run_exporter(arguments):
    done = subprocess.run([EXPORTER, *arguments], capture_output=True, text=True, timeout=TIMEOUT)
    return done.returncode, done.stderr


class ScrapeTest(unittest.TestCase):
    def assertSeries(self, got, expected):
        """The same series; busy time to the 100 ns that "Running Time" counts in, the rest exactly."""
        self.assertEqual(sorted(got), sorted(expected))
        for key, value in expected.items():
            self.assertAlmostEqual(got[key], value, delta=1e-7 if key[0].endswith("_seconds_total") else 0,
                                   msg=key)

    def test_each_tree_gives_its_known_series(self):
        trees = sorted(os.listdir(FIXTURES))
        for tree in (t for t in trees if os.path.isdir(os.path.join(FIXTURES, t, "proc"))):
            with self.subTest(tree=tree), Exporter(tree) as exporter:
                text = exporter.scrape()
                got = {k: v for k, v in samples(text).items()
                       if k[0].startswith(("gpuproc_process_", "gpuproc_adapter_", "gpuproc_pod_"))}
                if tree in EXPECTED:
                    self.assertSeries(got, EXPECTED[tree])
                else:
                    # Every process of the tree has series, with the tree's own names;
                    # where a value is unknown (Gaudi's fdinfo names the client alone,
                    # panfrost samples nothing with profiling off) what is known.
                    wanted = {"habanalabs": "gpuproc_adapter_info",
                              "panfrost-noprof": "gpuproc_process_memory_dedicated_bytes"}.get(
                                  tree, "gpuproc_process_engine_busy_seconds_total")
                    self.assertTrue(any(k[0] == wanted for k in got), sorted(got))
                self.assertIn("# TYPE gpuproc_process_engine_busy_seconds_total counter\n", text)
                self.assertIn("# TYPE gpuproc_process_energy_joules_total counter\n", text)
                self.assertIn("# TYPE gpuproc_gpu_energy_joules_total counter\n", text)
                self.assertNotIn("_utilization_ratio", text)
            self.assertEqual(exporter.status, 0)

    def test_device_health_from_hwmon(self):
        # amdgpu's hwmon folder: power now and its cap, temperatures and
        # their critical points by label, clocks from the current DPM level,
        # fan and busy share. Energy is the library's sum of power readings,
        # so it only has to be there and not fall.
        with Exporter("amdgpu") as exporter:
            first = samples(exporter.scrape())
            second = samples(exporter.scrape())
        adapter = (("adapter", AMD),)

        def named(label, **values):
            return {adapter + ((label, name),): value for name, value in values.items()}

        health = {k: v for k, v in second.items()
                  if k[0].startswith("gpuproc_gpu_") and k[0] != "gpuproc_gpu_energy_joules_total"}
        expected = {("gpuproc_gpu_power_watts", adapter): 87, ("gpuproc_gpu_power_limit_watts", adapter): 203,
                    ("gpuproc_gpu_fan_rpm", adapter): 1450, ("gpuproc_gpu_busy_ratio", adapter): 0.37}
        for family, label, values in (
                ("gpuproc_gpu_temperature_celsius", "sensor", {"edge": 54, "junction": 61, "memory": 58}),
                ("gpuproc_gpu_slowdown_temperature_celsius", "sensor", {"edge": 100, "junction": 110, "memory": 105}),
                ("gpuproc_gpu_clock_hertz", "clock", {"graphics": 2.1e9, "memory": 1e9})):
            expected.update({(family, labels): value for labels, value in named(label, **values).items()})
        self.assertEqual(health, expected)
        energy = ("gpuproc_gpu_energy_joules_total", adapter)
        self.assertGreaterEqual(second[energy], first[energy])
        self.assertGreaterEqual(first[energy], 0)

    def test_busy_counter_over_two_scrapes(self):
        # Between two scrapes amdgpu's client (open on fds 10 and 12) gains
        # 2.5 s of gfx and i915's 0.75 s of render: the counters move by
        # exactly that, the rest stays as it was.
        with tempfile.TemporaryDirectory() as scratch:
            tree = os.path.join(scratch, "multi")
            shutil.copytree(os.path.join(FIXTURES, "multi"), tree, symlinks=True)
            with Exporter(tree) as exporter:
                before = samples(exporter.scrape())
                for fd, old, new in (("10", "drm-engine-gfx:\t5120000 ns", "drm-engine-gfx:\t2505120000 ns"),
                                     ("12", "drm-engine-gfx:\t5120000 ns", "drm-engine-gfx:\t2505120000 ns"),
                                     ("11", "drm-engine-render:\t9288864723 ns", "drm-engine-render:\t10038864723 ns")):
                    path = os.path.join(tree, "proc", "2000", "fdinfo", fd)
                    with open(path, encoding="utf-8") as file:
                        text = file.read()
                    self.assertIn(old, text)
                    with open(path, "w", encoding="utf-8") as file:
                        file.write(text.replace(old, new))
                after = samples(exporter.scrape())
        busy = {k: v for k, v in after.items() if k[0] == "gpuproc_process_engine_busy_seconds_total"}
        moved = {(dict(k[1])["adapter"], dict(k[1])["engine"]): round(v - before[k], 9) for k, v in busy.items()}
        self.assertEqual(moved, {(AMD, "3D"): 2.5, (luid(0x10), "3D"): 0.75, (luid(0x10), "Copy"): 0.0,
                                 (luid(0x10), "VideoDecode"): 0.0, (luid(0x10), "VideoProcessing"): 0.0})
        self.assertEqual({k: v for k, v in after.items() if "memory" in k[0]},
                         {k: v for k, v in before.items() if "memory" in k[0]})

    def test_own_series_and_promtool(self):
        with Exporter("multi") as exporter:
            first = exporter.scrape()
            second = samples(exporter.scrape())
        own = samples(first)
        self.assertEqual(own[("gpuproc_readings_total", ())], 1)
        self.assertEqual(second[("gpuproc_readings_total", ())], 2)
        self.assertEqual(own[("gpuproc_scrape_errors_total", ())], 0)
        if not PROMTOOL:
            self.skipTest("promtool (Debian prometheus) is not installed")
        lint = subprocess.run([PROMTOOL, "check", "metrics"], input=first, capture_output=True, text=True,
                              timeout=TIMEOUT)
        self.assertEqual((lint.returncode, lint.stdout, lint.stderr), (0, "", ""))

    def test_listen_address_forms(self):
        # The exporter-toolkit's forms: every address (dual-stack, so IPv4
        # reaches it too), a name resolved at start, an IPv6 literal.
        for value, serving, reach in ((":0", "http://[::]:", "127.0.0.1"),
                                      ("localhost:0", "http://127.0.0.1:", "127.0.0.1"),
                                      ("[::1]:0", "http://[::1]:", "[::1]")):
            with self.subTest(value=value), Exporter("multi", ("--web.listen-address", value)) as exporter:
                self.assertTrue(exporter.url.startswith(serving), exporter.url)
                port = exporter.url.rsplit(":", 1)[1].split("/", 1)[0]
                exporter.url = f"http://{reach}:{port}/metrics"
                self.assertIn("gpuproc_readings_total 1", exporter.scrape())
        # A refusal names the flag as it was typed.
        for flag, value, message in (("--listen", "10436", "is not [HOST]:PORT"),
                                     ("--web.listen-address", "127.0.0.1:65536", "is not [HOST]:PORT"),
                                     ("--listen", "127.0.0.1:", "is not [HOST]:PORT"),
                                     ("--web.listen-address", "[::1:10436", "is not [HOST]:PORT"),
                                     ("--listen", "1.2.3:4", "is not [HOST]:PORT"),
                                     ("--web.listen-address", "no-such-host.invalid:80", "names no address: ")):
            for arguments in ([flag, value], [f"{flag}={value}"]):
                with self.subTest(arguments=arguments):
                    status, error = run_exporter(arguments)
                    self.assertEqual(status, 2)
                    self.assertIn(f"gpuproc-exporter: {flag} '{value}' {message}", error)
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
