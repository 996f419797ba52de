"""ctypes wrapper around the gpuproc library.

    >>> import gpuproc
    >>> gpuproc.get_gpu_data(1234)     # None when the process uses no GPU
    [{'GPUMemoryFree': ..., 'Name': 'game', 'ProcessID': 1234, ...}]
    >>> gpuproc.get_all_gpu_data()     # every (process, GPU); [] when none
    [{'Adapter': 'luid_0x00000000_0x00000300_phys_0', 'Engines': {'3D': 12.5}, ...}]

The library prints each per-process report on standard output too; this
wrapper parses the returned copy.
"""
import ctypes
import ctypes.util
import json
import os
import sys

__all__ = ["GpuprocError", "GPUProc", "load", "get_gpu_data", "get_all_gpu_data"]


class GpuprocError(RuntimeError):
    """The library could not open its GPU counter query."""


def _default_library_path():
    # GPUPROC_LIBRARY names the file explicitly (a build tree, a bundled copy).
    explicit = os.environ.get("GPUPROC_LIBRARY")
    if explicit:
        return explicit
    if sys.platform == "win32":
        return "gpuproc.dll"
    return ctypes.util.find_library("gpuproc") or "libgpuproc.so"


class GPUProc:
    """One loaded library. `library` is anything with a GetGPUDataForProcess."""

    def __init__(self, library=None):
        if library is None:
            library = ctypes.CDLL(_default_library_path())
        self._function = library.GetGPUDataForProcess
        self._function.argtypes = [ctypes.c_uint32]
        self._function.restype = ctypes.c_char_p
        self._all = library.GetGPUDataForAllProcesses
        self._all.argtypes = []
        self._all.restype = ctypes.c_char_p

    def get_gpu_data(self, pid):
        """The parsed report for `pid`: a list of records, or None."""
        if not 0 <= pid <= 0xFFFFFFFF:
            raise ValueError(f"process id {pid} is outside 0..4294967295")
        return self._parse(self._function(pid))

    def get_all_gpu_data(self):
        """Every (process, GPU) record, sampled together: a list, [] when none."""
        return self._parse(self._all())

    @staticmethod
    def _parse(text):
        if not text:
            raise GpuprocError("gpuproc could not open its GPU counter query")
        return json.loads(text.decode("utf-8"))


_default = None


def load(path=None):
    """Loads the library (from `path`, GPUPROC_LIBRARY or the system's search path)."""
    global _default
    _default = GPUProc(ctypes.CDLL(path) if path else None)
    return _default


def get_gpu_data(pid):
    return (_default or load()).get_gpu_data(pid)


def get_all_gpu_data():
    return (_default or load()).get_all_gpu_data()


if __name__ == "__main__":
    if len(sys.argv) == 1:
        print(json.dumps(get_all_gpu_data()))
    for argument in sys.argv[1:]:
        print(json.dumps(get_gpu_data(int(argument))))
