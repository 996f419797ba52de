"""The installed gpuproc package over recorded /proc and /sys trees.

GPUPROC_FIXTURES names the trees (tests/fixtures); GPUPROC_HOST, when set,
names the gpuproc command whose table `python -m gpuproc` must repeat.
"""
import ctypes
import json
import os
import pty
import shutil
import subprocess
import sys
import tempfile
import unittest

import gpuproc

FIXTURES = os.environ["GPUPROC_FIXTURES"]
HOST = os.environ.get("GPUPROC_HOST", "")
INTEL, AMD = "luid_0x00000000_0x00000010_phys_0", "luid_0x00000000_0x00000300_phys_0"


def tree_environment(tree):
    environment = dict(os.environ)
    environment["HOST_PROC"] = os.path.join(FIXTURES, tree, "proc")
    environment["HOST_SYS"] = os.path.join(FIXTURES, tree, "sys")
    return environment


def run(arguments, tree=None, **options):
    """Runs a command on a fixture tree (or in the environment given)."""
    if "env" not in options:
        options["env"] = tree_environment(tree)
    if "stdout" not in options:
        options["capture_output"] = True
    return subprocess.run(arguments, text=True, timeout=60, **options)


class OnTree(unittest.TestCase):
    tree = "multi"

    def setUp(self):
        self.saved = {k: os.environ.get(k) for k in ("HOST_PROC", "HOST_SYS")}
        self.use_tree()

    def use_tree(self):
        os.environ.update({k: v for k, v in tree_environment(self.tree).items() if k in self.saved})

    def tearDown(self):
        for key, value in self.saved.items():
            if value is None:
                os.environ.pop(key, None)
            else:
                os.environ[key] = value


class AllProcessesTest(OnTree):
    def test_records_in_python_units(self):
        records = gpuproc.get_all_gpu_data()
        blender_intel = gpuproc.Record(
            pid=2000, name="blender", dedicated_mib=0.0, shared_mib=96.0, local_mib=96.0, committed_mib=128.0,
            utilization_percent=0.0, adapter_committed_mib=None, adapter_free_mib=None, adapter=INTEL,
            adapter_name="Intel Corporation Raptor Lake-S GT1 [UHD Graphics 770]",
            engines={"3D": 0.0, "Copy": 0.0, "VideoDecode": 0.0, "VideoProcessing": 0.0})
        blender_amd = gpuproc.Record(
            pid=2000, name="blender", dedicated_mib=128.0, shared_mib=8.0, local_mib=128.0, committed_mib=264.0,
            utilization_percent=0.0, adapter_committed_mib=1280.0, adapter_free_mib=7168.0, adapter=AMD,
            adapter_name="Advanced Micro Devices, Inc. [AMD/ATI] Navi 21 [Radeon RX 6800/6800 XT / 6900 XT]",
            engines={"3D": 0.0})
        self.assertEqual(records, [blender_intel, blender_amd])
        self.assertEqual(gpuproc.get_all_gpu_data_json().count('"ProcessID":2000'), 2)

    def test_unread_values_are_none(self):
        # Integrated xe: no adapter figures; cycle counters that never move.
        os.environ["HOST_PROC"] = os.path.join(FIXTURES, "xe-lnl", "proc")
        os.environ["HOST_SYS"] = os.path.join(FIXTURES, "xe-lnl", "sys")
        (record,) = gpuproc.get_all_gpu_data()
        self.assertEqual((record.dedicated_mib, record.adapter_free_mib, record.utilization_percent),
                         (4.0, None, None))
        self.assertEqual(set(record.engines.values()), {None})

    def test_per_process_call(self):
        (intel, amd) = gpuproc.get_gpu_data(2000)
        self.assertEqual((intel.adapter, intel.adapter_name, intel.engines, intel.local_mib, amd.dedicated_mib),
                         (None, None, {}, 96.0, 128.0))
        # Each record its own GPU's figures: only the amdgpu publishes them.
        self.assertEqual((intel.adapter_committed_mib, amd.adapter_committed_mib), (None, 1280.0))
        self.assertIsNone(gpuproc.get_gpu_data(2001))  # DRM fds without statistics
        for pid, error in ((-1, ValueError), (1 << 32, ValueError), (3.7, TypeError), ("2000", TypeError),
                           (True, TypeError), (None, TypeError)):
            with self.subTest(pid=pid), self.assertRaises(error):
                gpuproc.get_gpu_data(pid)

    def test_roots_that_are_not_directories_are_errors(self):
        # As root, a mode-000 folder is still readable: a file stands in for
        # an unreadable root, a missing path for a mistyped one.
        file = os.path.join(FIXTURES, "multi", "proc", "2000", "cgroup")
        for variable, path in (("HOST_PROC", "/nonexistent"), ("HOST_SYS", file)):
            with self.subTest(variable=variable):
                os.environ[variable] = path
                with self.assertRaises(gpuproc.GpuprocError):
                    gpuproc.get_all_gpu_data()
                with self.assertRaises(gpuproc.GpuprocError):
                    gpuproc.get_gpu_data(2000)
                self.use_tree()
                done = run([sys.executable, "-m", "gpuproc"], env=dict(tree_environment("multi"), **{variable: path}))
                self.assertEqual((done.returncode, done.stdout), (1, ""))
                self.assertIn(f"PdhOpenQuery: The {variable} root {path} is not a readable directory: ", done.stderr)
                self.assertNotIn("Traceback", done.stderr)

    def test_empty_text_is_an_error(self):
        library = gpuproc.Library()
        library._all = lambda: b""
        library._per_process = lambda pid: b""
        with self.assertRaises(gpuproc.GpuprocError):
            library.all_processes_json()
        with self.assertRaises(gpuproc.GpuprocError):
            library.process_json(1)

    def test_declares_the_c_signatures(self):
        handle = gpuproc.Library()._handle
        self.assertEqual(handle.GetGPUDataForProcess.argtypes, [ctypes.c_uint32])
        self.assertIs(handle.GetGPUDataForAllProcesses.restype, ctypes.c_char_p)
        # The wheel's own copy, not one found elsewhere on the system.
        self.assertEqual(os.path.dirname(handle._name), os.path.dirname(gpuproc.__file__))


class SnapshotTest(OnTree):
    def test_snapshot_of_a_tree(self):
        taken = gpuproc.snapshot()
        intel_name = "Intel Corporation Raptor Lake-S GT1 [UHD Graphics 770]"
        amd_name = "Advanced Micro Devices, Inc. [AMD/ATI] Navi 21 [Radeon RX 6800/6800 XT / 6900 XT]"
        self.assertEqual(taken.adapters, [
            gpuproc.SnapshotAdapter(INTEL, intel_name, "0000:00:02.0", None, None, "GPU"),
            gpuproc.SnapshotAdapter(AMD, amd_name, "0000:03:00.0", 1280.0, 7168.0, "GPU")])
        # The fdinfo's drm-engine-<class> in seconds, to the 100 ns of "Running Time";
        # amdgpu's two fds are one client.
        self.assertEqual([(p.pid, p.name, p.adapter, p.dedicated_mib, p.shared_mib, p.local_mib, p.committed_mib)
                          for p in taken.processes],
                         [(2000, "blender", INTEL, 0.0, 96.0, 96.0, 128.0), (2000, "blender", AMD, 128.0, 8.0, 128.0, 264.0)])
        expected_busy = [{"3D": 9.288864723, "Copy": 2.035071108, "VideoDecode": 0.0, "VideoProcessing": 0.0},
                         {"3D": 0.00512}]
        for process, busy in zip(taken.processes, expected_busy):
            self.assertEqual(sorted(process.engine_busy_seconds), sorted(busy))
            for engine, seconds in busy.items():
                self.assertAlmostEqual(process.engine_busy_seconds[engine], seconds, delta=1e-7)
        self.assertGreater(gpuproc.snapshot().time, taken.time)

    def test_utilization_over_a_tree_whose_engine_time_moves(self):
        with tempfile.TemporaryDirectory() as scratch:
            tree = os.path.join(scratch, "tree")
            shutil.copytree(os.path.join(FIXTURES, "multi"), tree, symlinks=True)
            os.environ["HOST_PROC"] = os.path.join(tree, "proc")
            before = gpuproc.snapshot()
            for fd in ("10", "12"):  # one client on two fds
                path = os.path.join(tree, "proc", "2000", "fdinfo", fd)
                with open(path) as file:
                    text = file.read()
                with open(path, "w") as file:
                    file.write(text.replace("drm-engine-gfx:\t5120000 ns", "drm-engine-gfx:\t1505120000 ns"))
            after = gpuproc.snapshot()
        ratios = gpuproc.utilization(before, after)
        # Over the interval between the two readings of that process.
        read_at = [next(p.time for p in taken.processes if (p.pid, p.adapter) == (2000, AMD))
                   for taken in (before, after)]
        self.assertAlmostEqual(ratios[(2000, AMD, "3D")] * (read_at[1] - read_at[0]), 1.5, places=9)
        self.assertEqual(ratios[gpuproc.EngineKey(2000, INTEL, "Copy")], 0.0)

    def test_utilization_keeps_what_both_snapshots_hold(self):
        def taken(time, *processes):
            return gpuproc.Snapshot(time, [], [gpuproc.SnapshotProcess(pid, "p", "gpu", None, None, None, None, busy)
                                               for pid, busy in processes])
        before = taken(10.0, (1, {"3D": 4.0, "Copy": 1.0}), (2, {"3D": 7.0}), (3, {"3D": 50.0}))
        # 1: 3D half busy, two copy engines busy; 2 has ended; 3's id went to a new process; 4 is new.
        after = taken(14.0, (1, {"3D": 6.0, "Copy": 9.0, "Compute": 1.0}), (3, {"3D": 0.5}), (4, {"3D": 3.0}))
        self.assertEqual(gpuproc.utilization(before, after), {(1, "gpu", "3D"): 0.5, (1, "gpu", "Copy"): 2.0})
        for later in (taken(10.0), taken(9.0)):
            with self.assertRaises(ValueError):
                gpuproc.utilization(before, later)


class SnapshotDocumentsTest(unittest.TestCase):
    """The documents every reader of the snapshot is tested on (tests/fixtures/snapshots)."""

    def reading(self, snapshot):
        """The snapshot in the words of expected.json."""
        def busy(process):
            if process.engine_busy_seconds is None:
                return None
            return [[engine, seconds] for engine, seconds in sorted(process.engine_busy_seconds.items())]
        def readings(named):
            return [[name, value] for name, value in sorted(named.items())]
        return {
            "time": snapshot.time,
            "unreadableProcesses": snapshot.unreadable_processes,
            "adapters": [{"adapter": a.adapter, "adapterName": a.name or "", "pciAddress": a.pci_address or "",
                          "kind": a.kind or "", "committedMiB": a.committed_mib, "freeMiB": a.free_mib,
                          "powerWatts": a.power_watts, "powerLimitWatts": a.power_limit_watts,
                          "powerScope": a.power_scope or "", "energyJoules": a.energy_joules,
                          "energySource": a.energy_source or "",
                          "idleEnergyJoulesEstimate": a.idle_energy_joules_estimate,
                          "temperaturesCelsius": readings(a.temperatures_celsius),
                          "slowdownTemperaturesCelsius": readings(a.slowdown_temperatures_celsius),
                          "clocksHertz": readings(a.clocks_hertz), "fanRpm": a.fan_rpm,
                          "busyPercent": a.busy_percent}
                         for a in snapshot.adapters],
            "processes": [{"processId": p.pid, "name": p.name, "adapter": p.adapter, "time": p.time,
                           "memoryMiB": [p.dedicated_mib, p.shared_mib, p.local_mib, p.committed_mib],
                           "engineBusySeconds": busy(p), "energyJoulesEstimate": p.energy_joules_estimate}
                          for p in snapshot.processes],
        }

    def test_documents_read_as_expected(self):
        folder = os.path.join(FIXTURES, "snapshots")
        with open(os.path.join(folder, "expected.json")) as file:
            cases = json.load(file)["cases"]
        self.assertGreaterEqual(len(cases), 20)
        for case in cases:
            with self.subTest(case["name"]):
                if "file" in case:
                    with open(os.path.join(folder, case["file"])) as file:
                        text = file.read()
                else:
                    text = case["text"]
                if case["reading"] is None:
                    with self.assertRaises(ValueError):
                        gpuproc.Snapshot.from_text(text)
                else:
                    self.assertEqual(self.reading(gpuproc.Snapshot.from_text(text)), case["reading"])

    def test_utilization_over_each_process_reading_times(self):
        # Read early in the first scan and late in the second: 1.5 s between its readings.
        before = gpuproc.Snapshot.from_text(
            '{"Time":10,"Adapters":[],"Processes":[{"ProcessID":1,"Adapter":"g","Time":9.5,'
            '"EngineBusySeconds":{"3D":0,"Copy":1}},{"ProcessID":2,"Adapter":"g","EngineBusySeconds":null}]}')
        after = gpuproc.Snapshot.from_text(
            '{"Time":11,"Adapters":[],"Processes":[{"ProcessID":1,"Adapter":"g","Time":11,'
            '"EngineBusySeconds":{"3D":0.75,"Copy":null}},{"ProcessID":2,"Adapter":"g","EngineBusySeconds":{"3D":4}}]}')
        self.assertEqual(gpuproc.utilization(before, after), {(1, "g", "3D"): 0.5})


class OutputTest(unittest.TestCase):
    def test_only_the_per_process_call_prints(self):
        script = ("import gpuproc, sys; gpuproc.get_all_gpu_data(); sys.stdout.flush(); "
                  "sys.stderr.write(repr(gpuproc.get_gpu_data(2001)))")
        done = run([sys.executable, "-c", script], "multi")
        self.assertEqual((done.returncode, done.stdout, done.stderr), (0, "null\n", "None"))

    def test_module_prints_the_table(self):
        done = run([sys.executable, "-m", "gpuproc"], "multi")
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertEqual(done.stdout,
                         "GPU NAME                              PCI     COMMITTED      FREE    POWER TEMP\n"
                         "  0 Intel Corporation Raptor Lake-S ~ 00:02.0         -         -        -    -\n"
                         "  1 Advanced Micro Devices, Inc. [AM~ 03:00.0    1280.0    7168.0        -    -\n"
                         "\n"
                         "    PID NAME                    GPU DEDICATED  SHARED COMMITTED   3D OTHER\n"
                         "   2000 blender                 1       128.0     8.0     264.0   0% -\n"
                         "   2000 blender                 0         0.0    96.0     128.0   0% Copy 0%\n")
        self.assertTrue(all(len(line) <= 79 for line in done.stdout.splitlines()))
        self.assertEqual(run([sys.executable, "-m", "gpuproc", "--json"], "multi").stdout,
                         run([sys.executable, "-c", "import gpuproc; print(gpuproc.get_all_gpu_data_json())"],
                             "multi").stdout)

    @unittest.skipUnless(HOST, "GPUPROC_HOST names no gpuproc command")
    def test_module_repeats_the_command_on_every_tree(self):
        if run([HOST], "multi").returncode == 2:
            self.skipTest("this gpuproc command has no table mode")
        for tree in sorted(os.listdir(FIXTURES)):
            if not os.path.isdir(os.path.join(FIXTURES, tree, "proc")):
                continue
            with self.subTest(tree=tree):
                command = run([HOST], tree)
                module = run([sys.executable, "-m", "gpuproc"], tree)
                self.assertEqual((module.returncode, module.stdout), (command.returncode, command.stdout))

    @unittest.skipUnless(HOST, "GPUPROC_HOST names no gpuproc command")
    def test_module_takes_the_commands_arguments(self):
        with tempfile.TemporaryDirectory() as scratch:
            # Another user's process, as the command's own check makes it.
            hidden = os.path.join(scratch, "hidden")
            shutil.copytree(os.path.join(FIXTURES, "multi"), hidden, symlinks=True)
            os.chmod(os.path.join(hidden, "proc/2001/fd"), 0)
            as_user = ["setpriv", "--bounding-set", "-dac_override,-dac_read_search"] if os.geteuid() == 0 else []
            hidden_environment = dict(os.environ, HOST_PROC=f"{hidden}/proc", HOST_SYS=f"{hidden}/sys")
            for arguments in ([], ["--jsonl"], ["--count", "2", "-n", "0.1"], ["2000", "999999"],
                              ["--json", "2000"]):
                for tree in ("multi", "amdgpu", "hidden"):
                    with self.subTest(arguments=arguments, tree=tree):
                        where = {"env": hidden_environment} if tree == "hidden" else {"tree": tree}
                        command = run([*as_user, HOST, *arguments], **where)
                        module = run([*as_user, sys.executable, "-m", "gpuproc", *arguments], **where)
                        self.assertEqual((module.returncode, module.stdout, module.stderr),
                                         (command.returncode, command.stdout, command.stderr))
            os.chmod(os.path.join(hidden, "proc/2001/fd"), 0o700)


class RealHandsTest(unittest.TestCase):
    """The module where its output cannot be written, and over names chosen by other users."""

    def test_failed_writes_end_with_one_line(self):
        for arguments in ([], ["--json"]):
            with self.subTest(arguments=arguments):
                with open("/dev/full", "w") as full:
                    done = run([sys.executable, "-m", "gpuproc", *arguments], "multi", stdout=full, stderr=subprocess.PIPE)
                self.assertEqual((done.returncode, done.stderr),
                                 (1, "gpuproc: cannot write the output: No space left on device\n"))
                reader, writer = os.pipe()
                os.close(reader)
                done = run([sys.executable, "-m", "gpuproc", *arguments], "multi", stdout=writer,
                           stderr=subprocess.PIPE)
                os.close(writer)
                self.assertEqual((done.returncode, done.stderr), (1, "gpuproc: cannot write the output: Broken pipe\n"))

    def test_empty_table_on_a_terminal_says_so(self):
        with tempfile.TemporaryDirectory() as idle:
            for folder in ("proc", "sys"):
                os.mkdir(os.path.join(idle, folder))
            environment = dict(os.environ, HOST_PROC=os.path.join(idle, "proc"), HOST_SYS=os.path.join(idle, "sys"))
            controller, terminal = pty.openpty()
            done = run([sys.executable, "-m", "gpuproc"], env=environment, stdout=terminal, stderr=subprocess.PIPE)
            os.close(terminal)
            shown = os.read(controller, 4096).decode().replace("\r\n", "\n")
            os.close(controller)
            self.assertEqual(done.returncode, 0, done.stderr)
            self.assertTrue(shown.startswith("    PID NAME "), shown)
            # Wrapped as the command wraps it: lines of at most 79, broken at spaces.
            why = shown.splitlines()[1:]
            self.assertEqual(" ".join(why), f"no GPU device found (looked for DRM devices in {idle}/sys/class/drm "
                             f"and NVIDIA's driver in {idle}/sys/module/nvidia)", shown)
            self.assertLessEqual(max(len(line) for line in why), 79, shown)
            self.assertEqual(run([sys.executable, "-m", "gpuproc"], env=environment).stdout.count("\n"), 1)

    @unittest.skipUnless(HOST, "GPUPROC_HOST names no gpuproc command")
    def test_hostile_names_show_as_the_command_shows_them(self):
        names = [b"\x1b[31mred\x1b[0m", b"two\nlines", b"cr\rx\ttab\x7f", "c1\u009b2J".encode(), b"bad\xff\xc3",
                 "\u6f22\u5b57\u30d7\u30ed\u30bb\u30b9\u540d\u524d".encode(), "cafe\u0301s".encode(),
                 ("\U0001f3ae" * 8).encode(), "evil\u202etxt.exe".encode(), b"x" * 4000]
        with tempfile.TemporaryDirectory() as scratch:
            tree = os.path.join(scratch, "tree")
            shutil.copytree(os.path.join(FIXTURES, "multi"), tree, symlinks=True)
            link = os.path.join(tree, "proc", "2000", "exe")
            environment = dict(os.environ, HOST_PROC=os.path.join(tree, "proc"), HOST_SYS=os.path.join(tree, "sys"))
            for name in names:
                with self.subTest(name=name):
                    os.remove(link)
                    os.symlink(b"/usr/bin/" + name, link)
                    command = run([HOST], env=environment)
                    module = run([sys.executable, "-m", "gpuproc"], env=environment)
                    self.assertEqual((module.returncode, module.stdout), (command.returncode, command.stdout))
                    lines = module.stdout.splitlines()
                    # Two GPU lines under their header, an empty line, the header and two rows.
                    self.assertEqual(len(lines), 7)
                    self.assertFalse([c for c in module.stdout if c != "\n" and (c < " " or "\x7f" <= c <= "\x9f")])


class ExampleTest(unittest.TestCase):
    @unittest.skipUnless(os.environ.get("GPUPROC_EXAMPLE"), "GPUPROC_EXAMPLE names no example")
    def test_example_lists_the_tree(self):
        done = run([sys.executable, os.environ["GPUPROC_EXAMPLE"]], "multi")
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertIn("2000 blender", done.stdout)


if __name__ == "__main__":
    unittest.main()
