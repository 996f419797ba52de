"""The table `python -m gpuproc` prints: the same lines as the gpuproc command's."""
from __future__ import annotations

import re
import sys
import unicodedata
from typing import Dict, Iterator, List, Mapping, Optional, Sequence, Tuple

from ._record import Record
from ._snapshot import SnapshotAdapter

TABLE_WIDTH = 79
_PID_WIDTH, _MEMORY_WIDTH, _SHARED_WIDTH, _PERCENT_WIDTH, _OTHER_WIDTH = 7, 9, 7, 4, 10
_ENGINE_LABELS = {"Compute": "Comp", "VideoDecode": "Dec", "VideoEncode": "Enc", "Copy": "Copy",
                  "VideoProcessing": "VPP"}
_LUID = re.compile(r"luid_0x([0-9A-Fa-f]{1,8})_0x([0-9A-Fa-f]{1,8})_phys_(\d+)")
_NON_PCI_HIGH = 0x80000000
# Characters that act on a terminal (controls, bidirectional and other
# format characters, line separators) are shown as escapes; the command's
# scripts/generate-cell-widths.py builds its table by the same rules.
_ESCAPED = ("Cc", "Cf", "Zl", "Zp", "Cs")
_ZERO_WIDTH = ("Mn", "Me")
_SHORT_ESCAPES = {"\t": "\\t", "\n": "\\n", "\r": "\\r"}


def _pieces(text: str) -> Iterator[Tuple[str, int]]:
    """Each character as the terminal gets it, with the cells it takes."""
    for character in text:
        if " " <= character < "\x7f":
            yield character, 1
            continue
        category = unicodedata.category(character)
        if category in _ESCAPED:
            code = ord(character)
            escape = _SHORT_ESCAPES.get(character) or (
                f"\\x{code:02x}" if code < 0x100 else f"\\u{code:04x}" if code < 0x10000 else f"\\U{code:08x}")
            yield escape, len(escape)
        elif category in _ZERO_WIDTH:
            yield character, 0
        else:
            yield character, 2 if unicodedata.east_asian_width(character) in ("W", "F") else 1


def safe_for_terminal(text: str) -> str:
    """``text`` with every character that would act on a terminal written as an escape."""
    return "".join(piece for piece, _ in _pieces(text))


def cell_count(text: str) -> int:
    """The terminal cells of ``text`` once its controls are escaped."""
    return sum(cells for _, cells in _pieces(text))


def fit_to_cells(text: str, cells: int, cut_mark: str = "~") -> str:
    """``text`` made safe for a terminal in at most ``cells`` cells; a cut text ends in ``cut_mark``."""
    pieces = list(_pieces(text))
    if sum(width for _, width in pieces) <= cells:
        return "".join(piece for piece, _ in pieces)
    room, used, kept = cells - min(cells, len(cut_mark)), 0, []
    for piece, width in pieces:
        if used + width > room:
            break
        kept.append(piece)
        used += width
    return "".join(kept) + cut_mark


def pci_address(adapter: str) -> str:
    """``0000:03:00.0`` for luid_0x00000000_0x00000300_phys_0: the PCI address the
    Linux back end encodes in an adapter name; empty for a GPU without one."""
    match = _LUID.fullmatch(adapter)
    if match is None:
        return ""
    high, low = int(match.group(1), 16), int(match.group(2), 16)
    if high == _NON_PCI_HIGH or low > 0xFFFF:
        return ""
    return f"{high:04x}:{low >> 8:02x}:{(low >> 3) & 0x1F:02x}.{low & 0x7:x}"


def _mib(value: Optional[float]) -> str:
    return "-" if value is None else f"{value:.1f}"


def _percent(value: Optional[float]) -> str:
    return "-" if value is None else f"{value:.0f}%"


def _busiest_other(record: Record) -> str:
    best: Optional[str] = None
    best_percent = -1.0
    # In key order, as the library writes them: the first of equals wins.
    for engine in sorted(record.engines):
        if engine == "3D":
            continue
        percent = record.engines[engine]
        value = -1.0 if percent is None else percent
        if best is None or value > best_percent:
            best, best_percent = engine, value
    if best is None:
        return "-"
    label = _ENGINE_LABELS.get(best) or fit_to_cells(best, 5, "")
    return f"{label} {_percent(None if best_percent < 0 else best_percent)}"


_POWER_WIDTH = 8  # "350/450W"
_TEMPERATURE_WIDTH = 4


def gpu_temperature(temperatures: Mapping[str, Optional[float]]) -> Optional[float]:
    """The one temperature a summary shows: the sensor a GPU's own tools lead with (NVML's
    ``gpu``, amdgpu's ``edge``, then ``junction``, an integrated GPU's ``package``), else the first
    sensor with a reading, in name order."""
    for sensor in ("gpu", "edge", "junction", "package"):
        if temperatures.get(sensor) is not None:
            return temperatures[sensor]
    return next((temperatures[name] for name in sorted(temperatures) if temperatures[name] is not None), None)


def _whole(value: Optional[float], unit: str = "") -> str:
    return "-" if value is None else f"{value:.0f}{unit}"


def _power(adapter: Optional[SnapshotAdapter]) -> str:
    if adapter is None or (adapter.power_watts is None and adapter.power_limit_watts is None):
        return "-"
    limit = "" if adapter.power_limit_watts is None else "/" + _whole(adapter.power_limit_watts)
    return _whole(adapter.power_watts) + limit + "W"


def _gpu_lines(records: List[Record], with_pci_address: bool,
               adapters: Sequence[SnapshotAdapter] = ()) -> Tuple[str, Dict[str, str]]:
    """One line per GPU, numbered in adapter order, and each adapter's number."""
    health = {a.adapter: a for a in adapters}
    gpus: Dict[str, Record] = {}
    for record in records:
        gpus.setdefault(record.adapter or "", record)
    names = sorted(gpus)
    addresses = []
    for adapter in names:
        address = pci_address(adapter) if with_pci_address else ""
        # lspci's short form where the domain is 0.
        address = address[5:] if address.startswith("0000:") else address
        addresses.append(address or "-")
    address_width = max([3] + [len(a) for a in addresses])
    name_width = TABLE_WIDTH - 3 - address_width - 2 * _MEMORY_WIDTH - _POWER_WIDTH - _TEMPERATURE_WIDTH - 6

    def line(number: str, name: str, address: str, committed: str, free: str, power: str,
             temperature: str) -> str:
        fitted = fit_to_cells(name, name_width)
        return " ".join([number.rjust(3), fitted + " " * (name_width - cell_count(fitted)),
                         address.ljust(address_width), committed.rjust(_MEMORY_WIDTH),
                         free.rjust(_MEMORY_WIDTH), fit_to_cells(power, _POWER_WIDTH).rjust(_POWER_WIDTH),
                         fit_to_cells(temperature, _TEMPERATURE_WIDTH).rjust(_TEMPERATURE_WIDTH)]) + "\n"

    lines = line("GPU", "NAME", "PCI", "COMMITTED", "FREE", "POWER", "TEMP")
    for number, (adapter, address) in enumerate(zip(names, addresses)):
        gpu = gpus[adapter]
        reading = health.get(adapter)
        temperature = None if reading is None else gpu_temperature(reading.temperatures_celsius)
        kind = "" if reading is None or reading.kind in (None, "GPU") else f"[{reading.kind}] "
        lines += line(str(number), kind + (gpu.adapter_name or adapter), address, _mib(gpu.adapter_committed_mib),
                      _mib(gpu.adapter_free_mib), _power(reading), _whole(temperature, "C"))
    return lines, {adapter: str(number) for number, adapter in enumerate(names)}


def format_table(records: List[Record], with_pci_address: bool = sys.platform != "win32",
                 adapters: Sequence[SnapshotAdapter] = ()) -> str:
    """The GPU lines and an empty line (none without records), then a header and one line per
    record, sorted by dedicated memory (largest first), its GPU named by number; ``adapters``
    (a snapshot's) give the GPUs' power and temperature."""
    ordered = sorted(records, key=lambda r: (-(-1.0 if r.dedicated_mib is None else r.dedicated_mib), r.pid,
                                             r.adapter or ""))
    gpu_lines, numbers = _gpu_lines(records, with_pci_address, adapters)
    gpus = [numbers[r.adapter or ""] for r in ordered]
    gpu_width = max([3] + [len(g) for g in gpus])
    fixed = _PID_WIDTH + gpu_width + _MEMORY_WIDTH + _SHARED_WIDTH + _MEMORY_WIDTH + _PERCENT_WIDTH + 7
    name_width = TABLE_WIDTH - fixed - _OTHER_WIDTH if fixed + _OTHER_WIDTH + 8 < TABLE_WIDTH else 8

    def left(text: str, width: int) -> str:
        return text + " " * (width - cell_count(text))

    def line(*cells: str) -> str:
        pid, name, gpu, dedicated, shared, committed, three_d, other = cells
        text = " ".join([pid.rjust(_PID_WIDTH), left(fit_to_cells(name, name_width), name_width),
                         left(gpu, gpu_width), dedicated.rjust(_MEMORY_WIDTH), shared.rjust(_SHARED_WIDTH),
                         committed.rjust(_MEMORY_WIDTH), three_d.rjust(_PERCENT_WIDTH), other])
        # A GPU name or a figure wider than any real one must not push the
        # line past the terminal's width.
        return fit_to_cells(text.rstrip(" "), TABLE_WIDTH) + "\n"

    table = gpu_lines + "\n" if records else ""
    table += line("PID", "NAME", "GPU", "DEDICATED", "SHARED", "COMMITTED", "3D", "OTHER")
    for record, gpu in zip(ordered, gpus):
        table += line(str(record.pid), record.name or "unknown", gpu, _mib(record.dedicated_mib),
                      _mib(record.shared_mib), _mib(record.committed_mib), _percent(record.utilization_percent),
                      _busiest_other(record))
    return table
