"""The snapshot document: memory now and engine time as cumulative busy seconds.

It is read under the rules every reader of it follows (the exporter, the
gpuproc command and ``gpuproc top`` read it the same way):

- The shape is required: an object with a numeric ``Time``, a ``Processes``
  and an ``Adapters`` array, each entry an object naming its identity (a
  process: ``ProcessID``, an int of 32 bits, and ``Adapter``, a string; an
  adapter: ``Adapter``). Anything else raises ``ValueError``.
- A figure is a number of at least 0, else unknown (``None``): null, missing,
  negative or of another type. Unknown is never 0.
- ``EngineBusySeconds`` that is not an object (null where the counter could
  not be read) leaves the process's busy time unknown (``None``) as a whole.
- An adapter's named readings (``Temperatures``, ``SlowdownTemperatures``,
  ``Clocks``) are objects of figures; anything else reads as none (empty).
- Texts are strings, else empty; a process's own ``Time`` stands where it is a
  number, else the document's; ``UnreadableProcesses`` counts where it is an
  int of at least 0.
"""
from __future__ import annotations

import json
import math
from dataclasses import dataclass, field
from typing import Any, Dict, List, Mapping, NamedTuple, NoReturn, Optional, Tuple

_MAX_PROCESS_ID = 0xFFFFFFFF


def _number(value: Any) -> Optional[float]:
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        return None
    return float(value) if math.isfinite(value) else None


def _mib(value: Any) -> Optional[float]:
    # The snapshot writes a value it could not read as null.
    number = _number(value)
    return None if number is None or number < 0 else number


def _readings(value: Any) -> Dict[str, Optional[float]]:
    return {str(k): _mib(v) for k, v in value.items()} if isinstance(value, dict) else {}


def _text(value: Any) -> str:
    return value if isinstance(value, str) else ""


class _Members(Dict[str, Any]):
    """A JSON object that remembers which of its members were named more than once."""

    repeated: frozenset[str] = frozenset()


def _members(pairs: List[Tuple[str, Any]]) -> _Members:
    members = _Members(pairs)
    if len(members) != len(pairs):
        seen: set[str] = set()
        repeated: set[str] = set()
        for key, _ in pairs:
            (repeated if key in seen else seen).add(key)
        members.repeated = frozenset(repeated)
    return members


def _entries(document: Mapping[str, Any], key: str) -> List[Mapping[str, Any]]:
    # Entries streamed from a first array cannot be taken back by a second.
    if key in getattr(document, "repeated", ()):
        raise ValueError(f"the snapshot has {key} twice")
    entries = document.get(key)
    if not isinstance(entries, list) or not all(isinstance(e, dict) for e in entries):
        raise ValueError(f"the snapshot's {key} is not an array of objects")
    return entries


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
    kind: Optional[str] = None
    """What kind of device it is (``"GPU"``, ``"NPU"``); ``None`` where the library does not say."""
    power_watts: Optional[float] = None
    """The device's power now."""
    power_limit_watts: Optional[float] = None
    power_scope: Optional[str] = None
    """``"device"``, or ``"package"`` where the power is the whole package's (an integrated GPU)."""
    energy_joules: Optional[float] = None
    """Cumulative energy; it never decreases."""
    energy_source: Optional[str] = None
    """``"counter"`` (the driver's own) or ``"integrated"`` (the library's sum of power readings)."""
    idle_energy_joules_estimate: Optional[float] = None
    temperatures_celsius: Dict[str, Optional[float]] = field(default_factory=lambda: dict[str, Optional[float]]())
    """Sensor name to degrees Celsius; empty where unknown."""
    slowdown_temperatures_celsius: Dict[str, Optional[float]] = field(
        default_factory=lambda: dict[str, Optional[float]]())
    """Sensor name to the temperature at which the device starts to throttle."""
    clocks_hertz: Dict[str, Optional[float]] = field(default_factory=lambda: dict[str, Optional[float]]())
    """Clock name (``graphics``, ``memory``, ...) to its frequency now."""
    fan_rpm: Optional[float] = None
    busy_percent: Optional[float] = None
    """The device's busy share, 0 to 100."""

    @classmethod
    def from_json(cls, member: Mapping[str, Any]) -> SnapshotAdapter:
        adapter = member.get("Adapter")
        if not isinstance(adapter, str):
            raise ValueError("an adapter of the snapshot has no Adapter name")
        return cls(
            adapter=adapter,
            name=_text(member.get("AdapterName")) or None,
            pci_address=_text(member.get("PciAddress")) or None,
            committed_mib=_mib(member.get("GPUMemoryTotal")),
            free_mib=_mib(member.get("GPUMemoryFree")),
            kind=_text(member.get("Kind")) or None,
            power_watts=_mib(member.get("PowerWatts")),
            power_limit_watts=_mib(member.get("PowerLimitWatts")),
            power_scope=_text(member.get("PowerScope")) or None,
            energy_joules=_mib(member.get("EnergyJoules")),
            energy_source=_text(member.get("EnergySource")) or None,
            idle_energy_joules_estimate=_mib(member.get("IdleEnergyJoulesEstimate")),
            temperatures_celsius=_readings(member.get("Temperatures")),
            slowdown_temperatures_celsius=_readings(member.get("SlowdownTemperatures")),
            clocks_hertz=_readings(member.get("Clocks")),
            fan_rpm=_mib(member.get("FanRPM")),
            busy_percent=_mib(member.get("BusyPercent")),
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
    engine_busy_seconds: Optional[Dict[str, Optional[float]]] = field(
        default_factory=lambda: dict[str, Optional[float]]())
    """Engine type to the seconds its engines were busy for the process, summed over the type's
    engines; it never decreases while the process lives. ``None`` for a type one of whose engines
    could not be read; ``None`` in place of the whole when the process's busy time could not be read."""
    time: Optional[float] = None
    """When the process's counters were read, on the snapshot's clock (a scan of many processes
    reads each at its own moment); ``None`` stands for the snapshot's own time."""
    energy_joules_estimate: Optional[float] = None
    """An estimate of the joules the process used on the GPU since it was first listed (its share of
    the GPU's energy by its busy time)."""

    @classmethod
    def from_json(cls, member: Mapping[str, Any], document_time: Optional[float] = None) -> SnapshotProcess:
        pid = member.get("ProcessID")
        adapter = member.get("Adapter")
        if isinstance(pid, bool) or not isinstance(pid, int) or not 0 <= pid <= _MAX_PROCESS_ID:
            raise ValueError(f"a process of the snapshot has no valid ProcessID ({pid!r})")
        if not isinstance(adapter, str):
            raise ValueError(f"process {pid} of the snapshot has no Adapter name")
        busy = member.get("EngineBusySeconds")
        own_time = _number(member.get("Time"))
        return cls(
            pid=pid,
            name=_text(member.get("Name")),
            adapter=adapter,
            dedicated_mib=_mib(member.get("GPUProcessMemoryDedicatedUsage")),
            shared_mib=_mib(member.get("GPUProcessMemorySharedUsage")),
            local_mib=_mib(member.get("GPUProcessMemoryLocalUsage")),
            committed_mib=_mib(member.get("GPUProcessMemoryTotalCommitted")),
            engine_busy_seconds=(
                {str(k): _mib(v) for k, v in busy.items()} if isinstance(busy, dict) else None),
            time=own_time if own_time is not None else document_time,
            energy_joules_estimate=_mib(member.get("EnergyJoulesEstimate")),
        )


@dataclass(frozen=True)
class Snapshot:
    """One reading of every GPU process, taken without waiting."""

    time: float
    """Seconds on a monotonic clock, the same for every snapshot of this process."""
    adapters: List[SnapshotAdapter]
    processes: List[SnapshotProcess]
    """One per (process, GPU), ordered by process id then adapter."""
    unreadable_processes: Optional[int] = None
    """Processes whose open files the reading was refused (another user's, without root), whose GPU
    use is therefore missing; ``None`` where the library does not say."""

    @classmethod
    def from_json(cls, document: Mapping[str, Any]) -> Snapshot:
        """The snapshot of a parsed document; ``ValueError`` when it is not of the snapshot's shape."""
        if not isinstance(document, dict):
            raise ValueError("the snapshot is not a JSON object")
        time = _number(document.get("Time"))
        if time is None:
            raise ValueError("the snapshot has no Time")
        unreadable = document.get("UnreadableProcesses")
        adapters = _entries(document, "Adapters")
        processes = _entries(document, "Processes")
        return cls(
            time=time,
            adapters=[SnapshotAdapter.from_json(m) for m in adapters],
            processes=[SnapshotProcess.from_json(m, time) for m in processes],
            unreadable_processes=(unreadable if isinstance(unreadable, int) and not isinstance(unreadable, bool)
                                  and unreadable >= 0 else None),
        )

    @classmethod
    def from_text(cls, text: str) -> Snapshot:
        """The snapshot of the library's text; ``ValueError`` when it is not JSON of the snapshot's shape."""

        def not_json(constant: str) -> NoReturn:
            raise ValueError(f"the snapshot holds {constant}, which JSON does not have")

        return cls.from_json(json.loads(text, parse_constant=not_json, object_pairs_hook=_members))


class EngineKey(NamedTuple):
    pid: int
    adapter: str
    engine: str


def utilization(before: Snapshot, after: Snapshot) -> Dict[EngineKey, float]:
    """Each (pid, adapter, engine type)'s busy ratio between two snapshots.

    1.0 is one engine of the type busy for the whole interval between the two
    readings of the process's counters; a type with several engines can
    exceed it. Only what both snapshots know is given: a process that started
    or ended between them has no ratio, nor a busy time that is unknown in
    either or that went backwards (its id reused by a new process).
    Raises ``ValueError`` unless ``after`` was taken after ``before``.
    """
    if not after.time > before.time:
        raise ValueError(f"the second snapshot is not later than the first ({after.time} <= {before.time})")

    def known(snapshot: Snapshot) -> Dict[EngineKey, Tuple[float, float]]:
        return {
            EngineKey(p.pid, p.adapter, engine): (seconds, p.time if p.time is not None else snapshot.time)
            for p in snapshot.processes
            for engine, seconds in (p.engine_busy_seconds or {}).items()
            if seconds is not None
        }

    earlier = known(before)
    ratios: Dict[EngineKey, float] = {}
    for key, (seconds, read_at) in known(after).items():
        start = earlier.get(key)
        if start is not None and read_at > start[1] and seconds >= start[0]:
            ratios[key] = (seconds - start[0]) / (read_at - start[1])
    return ratios
