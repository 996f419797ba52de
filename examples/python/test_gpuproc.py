import ctypes
import os
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import gpuproc  # noqa: E402


class _Function:
    """Stands in for the library's function: returns scripted bytes."""

    def __init__(self, result):
        self.result = result
        self.calls = []

    def __call__(self, *arguments):
        self.calls.append(arguments)
        return self.result


class _Library:
    def __init__(self, result, all_result=b"[]"):
        self.GetGPUDataForProcess = _Function(result)
        self.GetGPUDataForAllProcesses = _Function(all_result)


class WrapperTest(unittest.TestCase):
    def test_declares_the_c_signature(self):
        library = _Library(b"null")
        gpuproc.GPUProc(library)
        self.assertEqual(library.GetGPUDataForProcess.argtypes, [ctypes.c_uint32])
        self.assertIs(library.GetGPUDataForProcess.restype, ctypes.c_char_p)
        self.assertEqual(library.GetGPUDataForAllProcesses.argtypes, [])
        self.assertIs(library.GetGPUDataForAllProcesses.restype, ctypes.c_char_p)

    def test_parses_records(self):
        text = b'[{"GPUUtilizationPercent":12.5,"Name":"g\xc3\xbc","ProcessID":4294967295}]'
        report = gpuproc.GPUProc(_Library(text)).get_gpu_data(4294967295)
        self.assertEqual(report, [{"GPUUtilizationPercent": 12.5, "Name": "g\u00fc",
                                   "ProcessID": 4294967295}])

    def test_all_processes_parses_records_and_empty_text_is_an_error(self):
        text = b'[{"Adapter":"luid_0x00000000_0x00000300_phys_0","Engines":{"3D":-1.0}}]'
        self.assertEqual(gpuproc.GPUProc(_Library(b"null", text)).get_all_gpu_data(),
                         [{"Adapter": "luid_0x00000000_0x00000300_phys_0",
                           "Engines": {"3D": -1.0}}])
        with self.assertRaises(gpuproc.GpuprocError):
            gpuproc.GPUProc(_Library(b"null", b"")).get_all_gpu_data()

    def test_empty_text_is_an_error(self):
        with self.assertRaises(gpuproc.GpuprocError):
            gpuproc.GPUProc(_Library(b"")).get_gpu_data(1)

    def test_rejects_ids_outside_32_bits(self):
        library = _Library(b"null")
        with self.assertRaises(ValueError):
            gpuproc.GPUProc(library).get_gpu_data(-1)
        with self.assertRaises(ValueError):
            gpuproc.GPUProc(library).get_gpu_data(1 << 32)
        self.assertEqual(library.GetGPUDataForProcess.calls, [])


@unittest.skipUnless(os.environ.get("GPUPROC_LIBRARY"), "GPUPROC_LIBRARY names no built library")
class LiveLibraryTest(unittest.TestCase):
    def test_live_process_without_gpu_is_none_and_echoed_once(self):
        script = ("import sys, gpuproc; r = gpuproc.get_gpu_data(int(sys.argv[1])); "
                  "sys.stderr.write(repr(r))")
        sleeper = subprocess.Popen([sys.executable, "-c", "import time; time.sleep(30)"])
        try:
            done = subprocess.run([sys.executable, "-c", script, str(sleeper.pid)],
                                  cwd=os.path.dirname(os.path.abspath(__file__)),
                                  capture_output=True, timeout=60)
        finally:
            sleeper.kill()
            sleeper.wait()
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertEqual(done.stdout, b"null\n")
        self.assertEqual(done.stderr, b"None")

    def test_all_processes_is_a_list_of_records(self):
        records = gpuproc.load(os.environ["GPUPROC_LIBRARY"]).get_all_gpu_data()
        self.assertIsInstance(records, list)
        for record in records:
            self.assertIn("Adapter", record)
            self.assertIsInstance(record["Engines"], dict)


if __name__ == "__main__":
    unittest.main()
