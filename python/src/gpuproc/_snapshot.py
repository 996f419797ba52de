"""The snapshot document: memory now and engine time as cumulative busy seconds."""
from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any, Dict, List, Mapping, NamedTuple, Optional


def _mib(value: Any) -> Optional[float]:
    # The snapshot writes a value it could not read as null.
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        return None
    return None if value < 0 else float(value)


@dataclass(frozen=True)
class SnapshotAdapter:
    """One GPU that a process of the snapshot uses."""

    adapter: str
    """The GPU (``luid_0x<HI>_0x<LO>_phys_<N>``), as the processes name it."""
    name: Optional[str]
    """The GPU's name; ``None`` where the system gives none."""
    pci_address: Optional[str]
    """``0000:03:00.0``; ``None`` for a GPU without one."""
    committed_mib: Optional[float]
    """Memory committed on the GPU by all processes."""
    free_mib: Optional[float]
    """Free memory of the GPU."""

    @classmethod
    def from_json(cls, member: Mapping[str, Any]) -> SnapshotAdapter:
        return cls(
            adapter=str(member["Adapter"]),
            name=str(member["AdapterName"]) if member.get("AdapterName") else None,
            pci_address=str(member["PciAddress"]) if member.get("PciAddress") else None,
            committed_mib=_mib(member.get("GPUMemoryTotal")),
            free_mib=_mib(member.get("GPUMemoryFree")),
        )


@dataclass(frozen=True)
class SnapshotProcess:
    """One process on one GPU."""

    pid: int
    name: str
    adapter: str
    dedicated_mib: Optional[float]
    shared_mib: Optional[float]
    local_mib: Optional[float]
    committed_mib: Optional[float]
    engine_busy_seconds: Dict[str, float] = field(default_factory=dict)
    """Engine type to the seconds its engines were busy for the process, summed over the type's
    engines; it never decreases while the process lives."""

    @classmethod
    def from_json(cls, member: Mapping[str, Any]) -> SnapshotProcess:
        busy = member.get("EngineBusySeconds") or {}
        return cls(
            pid=int(member["ProcessID"]),
            name=str(member["Name"]),
            adapter=str(member["Adapter"]),
            dedicated_mib=_mib(member.get("GPUProcessMemoryDedicatedUsage")),
            shared_mib=_mib(member.get("GPUProcessMemorySharedUsage")),
            local_mib=_mib(member.get("GPUProcessMemoryLocalUsage")),
            committed_mib=_mib(member.get("GPUProcessMemoryTotalCommitted")),
            engine_busy_seconds={str(k): float(v) for k, v in busy.items() if _mib(v) is not None},
        )


@dataclass(frozen=True)
class Snapshot:
    """One reading of every GPU process, taken without waiting."""

    time: float
    """Seconds on a monotonic clock, the same for every snapshot of this process."""
    adapters: List[SnapshotAdapter]
    processes: List[SnapshotProcess]
    """One per (process, GPU), ordered by process id then adapter."""

    @classmethod
    def from_json(cls, document: Mapping[str, Any]) -> Snapshot:
        return cls(
            time=float(document["Time"]),
            adapters=[SnapshotAdapter.from_json(m) for m in document["Adapters"]],
            processes=[SnapshotProcess.from_json(m) for m in document["Processes"]],
        )


class EngineKey(NamedTuple):
    pid: int
    adapter: str
    engine: str


def utilization(before: Snapshot, after: Snapshot) -> Dict[EngineKey, float]:
    """Each (pid, adapter, engine type)'s busy ratio between two snapshots.

    1.0 is one engine of the type busy for the whole interval; a type with
    several engines can exceed it. Only what both snapshots hold is given:
    a process that started or ended between them has no ratio, nor one whose
    busy time went backwards (its id reused by a new process).
    Raises ``ValueError`` unless ``after`` was taken after ``before``.
    """
    interval = after.time - before.time
    if not interval > 0:
        raise ValueError(f"the second snapshot is not later than the first ({after.time} <= {before.time})")
    earlier = {
        EngineKey(p.pid, p.adapter, engine): seconds
        for p in before.processes
        for engine, seconds in p.engine_busy_seconds.items()
    }
    ratios: Dict[EngineKey, float] = {}
    for process in after.processes:
        for engine, seconds in process.engine_busy_seconds.items():
            key = EngineKey(process.pid, process.adapter, engine)
            start = earlier.get(key)
            if start is not None and seconds >= start:
                ratios[key] = (seconds - start) / interval
    return ratios
