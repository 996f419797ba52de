"""The record of one process on one GPU, in Python names and units."""
from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any, Dict, Mapping, Optional


def _reading(value: Any) -> Optional[float]:
    # The library reports a value it could not read as -1 (before the MiB
    # conversion: -9.5367431640625e-07 MiB); any negative value is such a mark.
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        return None
    return None if value < 0 else float(value)


@dataclass(frozen=True)
class Record:
    """GPU use of one process on one GPU.

    Memory is in MiB (bytes / 1048576), utilisation in percent over the
    100 ms the library samples. ``None`` stands for a value the system did
    not give (the library's -1).
    """

    pid: int
    """Process id."""
    name: str
    """Executable file name; ``"unknown"`` when it could not be read."""
    dedicated_mib: Optional[float]
    """Memory in the GPU's own (dedicated) memory."""
    shared_mib: Optional[float]
    """GPU memory in system (shared) memory."""
    local_mib: Optional[float]
    """Memory in the GPU's local (fastest) memory."""
    committed_mib: Optional[float]
    """All GPU memory the process has committed."""
    utilization_percent: Optional[float]
    """Busiest 3D engine of the process."""
    adapter_committed_mib: Optional[float]
    """Memory committed on the GPU by all processes."""
    adapter_free_mib: Optional[float]
    """Free memory of the GPU."""
    adapter: Optional[str] = None
    """The GPU (``luid_0x<HI>_0x<LO>_phys_<N>``); ``None`` in per-process reports, which do not name it."""
    adapter_name: Optional[str] = None
    """The GPU's name (DXGI's description, NVML's or the PCI ID database's name); ``None`` where the
    system gives none and in per-process reports."""
    engines: Dict[str, Optional[float]] = field(default_factory=dict)
    """Engine type (``3D``, ``Compute``, ``Copy``...) to its busiest engine in percent; per-process reports have none."""

    @classmethod
    def from_json(cls, member: Mapping[str, Any]) -> Record:
        """Builds a record from one JSON object of the library's report."""
        engines = member.get("Engines", {})
        return cls(
            pid=int(member["ProcessID"]),
            name=str(member["Name"]),
            dedicated_mib=_reading(member["GPUProcessMemoryDedicatedUsage"]),
            shared_mib=_reading(member["GPUProcessMemorySharedUsage"]),
            local_mib=_reading(member["GPUProcessMemoryLocalUsage"]),
            committed_mib=_reading(member["GPUProcessMemoryTotalCommitted"]),
            utilization_percent=_reading(member["GPUUtilizationPercent"]),
            adapter_committed_mib=_reading(member["GPUMemoryTotal"]),
            adapter_free_mib=_reading(member["GPUMemoryFree"]),
            adapter=str(member["Adapter"]) if "Adapter" in member else None,
            adapter_name=str(member["AdapterName"]) if member.get("AdapterName") else None,
            engines={str(k): _reading(v) for k, v in engines.items()},
        )
