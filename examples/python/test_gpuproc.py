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

    def __call__(self, pid):
        self.calls.append(pid)
        return self.result


class _Library:
    def __init__(self, result):
        self.GetGPUDataForProcess = _Function(result)


class WrapperTest(unittest.TestCase):
    def test_declares_the_c_signature(self):
        library = _Library(b"null")
        gpuproc.GPUProc(library)
        self.assertEqual(library.GetGPUDataForProcess.argtypes, [ctypes.c_uint32])
        self.assertIs(library.GetGPUDataForProcess.restype, ctypes.c_char_p)

    def test_parses_records(self):
        text = b'[{"GPUUtilizationPercent":12.5,"Name":"g\xc3\xbc","ProcessID":4294967295}]'
        report = gpuproc.GPUProc(_Library(text)).get_gpu_data(4294967295)
        self.assertEqual(report, [{"GPUUtilizationPercent": 12.5, "Name": "g\u00fc",
                                   "ProcessID": 4294967295}])

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


if __name__ == "__main__":
    unittest.main()
