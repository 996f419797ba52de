"""Loads the gpuproc library with ctypes and calls its entry points."""
from __future__ import annotations

import ctypes
import operator
import os
import sys
import threading
from typing import Callable, Optional


class GpuprocError(RuntimeError):
    """The library could not open its GPU counter query."""


def _library_path() -> str:
    # GPUPROC_LIBRARY names another build of the library (a build tree).
    explicit = os.environ.get("GPUPROC_LIBRARY")
    if explicit:
        return explicit
    name = "gpuproc.dll" if sys.platform == "win32" else "libgpuproc.so"
    carried = os.path.join(os.path.dirname(os.path.abspath(__file__)), name)
    if sys.platform == "win32" or os.path.exists(carried):
        return carried
    # A distribution's package (python3-gpuproc) carries no copy: the
    # system's library, by its SONAME, as the package libgpuproc0 installs it.
    return "libgpuproc.so.0"


class Library:
    """One loaded copy of the library.

    The library answers one call at a time and its returned text lives only
    until its next call: every call here holds one lock and copies the text.
    """

    def __init__(self, path: Optional[str] = None) -> None:
        self._handle = ctypes.CDLL(path or _library_path())
        self._per_process: Callable[[int], Optional[bytes]] = self._handle.GetGPUDataForProcess
        self._handle.GetGPUDataForProcess.argtypes = [ctypes.c_uint32]
        self._handle.GetGPUDataForProcess.restype = ctypes.c_char_p
        self._all: Callable[[], Optional[bytes]] = self._handle.GetGPUDataForAllProcesses
        self._handle.GetGPUDataForAllProcesses.argtypes = []
        self._handle.GetGPUDataForAllProcesses.restype = ctypes.c_char_p
        self._snapshot: Callable[[], Optional[bytes]] = self._handle.GetGPUSnapshotForAllProcesses
        self._handle.GetGPUSnapshotForAllProcesses.argtypes = []
        self._handle.GetGPUSnapshotForAllProcesses.restype = ctypes.c_char_p
        self._lock = threading.Lock()

    def process_json(self, pid: int) -> str:
        """The per-process report text; the library also prints it on standard output."""
        # ctypes would raise its own ArgumentError for a float and pass True
        # as process 1; any integer type (a NumPy one too) is welcome.
        if isinstance(pid, bool) or not hasattr(type(pid), "__index__"):
            raise TypeError(f"a process id is an integer, not {type(pid).__name__}")
        pid = operator.index(pid)
        if not 0 <= pid <= 0xFFFFFFFF:
            raise ValueError(f"process id {pid} is outside 0..4294967295")
        with self._lock:
            return self._checked(self._per_process(pid))

    def all_processes_json(self) -> str:
        """The all-processes report text; the library prints nothing."""
        with self._lock:
            return self._checked(self._all())

    def snapshot_json(self) -> str:
        """The snapshot text: one reading without waiting; the library prints nothing."""
        with self._lock:
            return self._checked(self._snapshot())

    @staticmethod
    def _checked(text: Optional[bytes]) -> str:
        if not text:
            raise GpuprocError("gpuproc could not open its GPU counter query")
        return text.decode("utf-8")


_default: Optional[Library] = None
_default_lock = threading.Lock()


def default_library() -> Library:
    """The package's library (or the system's, or GPUPROC_LIBRARY's), loaded once."""
    global _default
    with _default_lock:
        if _default is None:
            _default = Library()
        return _default
