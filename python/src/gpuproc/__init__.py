"""GPU memory and engine use of processes, from the gpuproc library.

    >>> import gpuproc
    >>> for record in gpuproc.get_all_gpu_data():
    ...     print(record.pid, record.name, record.adapter, record.dedicated_mib, record.engines)

``get_gpu_data`` and ``get_all_gpu_data`` sample the GPU counters for 100 ms.
``snapshot()`` takes one reading without waiting, with engine time as
cumulative busy seconds; ``utilization(before, after)`` turns two of them
into busy ratios over any interval::

    >>> before = gpuproc.snapshot()
    >>> time.sleep(5)
    >>> for (pid, adapter, engine), ratio in gpuproc.utilization(before, gpuproc.snapshot()).items():
    ...     print(pid, adapter, engine, f"{ratio:.0%}")
 The per-process call
(``get_gpu_data``) also makes the library print its report on the process's
standard output (file descriptor 1, below Python's ``sys.stdout``); to keep
that off a host's output, call ``get_all_gpu_data()``, which prints nothing,
and keep the records of the process wanted::

    mine = [r for r in gpuproc.get_all_gpu_data() if r.pid == pid]

Calls from several threads are serialised by the package.
"""
from __future__ import annotations

import json
from typing import List, Optional

from ._library import GpuprocError, Library, default_library
from ._record import Record
from ._snapshot import EngineKey, Snapshot, SnapshotAdapter, SnapshotProcess, utilization

__all__ = [
    "EngineKey",
    "GpuprocError",
    "Library",
    "Record",
    "Snapshot",
    "SnapshotAdapter",
    "SnapshotProcess",
    "get_all_gpu_data",
    "get_all_gpu_data_json",
    "get_gpu_data",
    "get_gpu_data_json",
    "snapshot",
    "snapshot_json",
    "utilization",
]
__version__ = "0.1.0"


def get_gpu_data_json(pid: int) -> str:
    """The library's per-process report as it returns it: a JSON array, or ``null``."""
    return default_library().process_json(pid)


def get_all_gpu_data_json() -> str:
    """The library's all-processes report as it returns it: a JSON array."""
    return default_library().all_processes_json()


def get_gpu_data(pid: int) -> Optional[List[Record]]:
    """The records of process ``pid`` (one per GPU), or ``None`` when it uses no GPU.

    Raises ``GpuprocError`` when the counters cannot be opened, ``TypeError``
    for an id that is not an ``int`` and ``ValueError`` for one outside
    0..4294967295.
    """
    document = json.loads(get_gpu_data_json(pid))
    return None if document is None else [Record.from_json(m) for m in document]


def get_all_gpu_data() -> List[Record]:
    """One record per (process, GPU), ordered by process id then GPU.

    Raises ``GpuprocError`` when the counters cannot be opened.
    """
    return [Record.from_json(m) for m in json.loads(get_all_gpu_data_json())]


def snapshot_json() -> str:
    """The library's snapshot as it returns it: a JSON object."""
    return default_library().snapshot_json()


def snapshot() -> Snapshot:
    """One reading of every GPU process, without waiting.

    Raises ``GpuprocError`` when the counters cannot be opened, ``ValueError``
    when the library's text is not a snapshot document.
    """
    return Snapshot.from_text(snapshot_json())
