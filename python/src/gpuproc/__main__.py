"""python -m gpuproc: the gpuproc command's table, JSON forms, repeats and per-process reports."""
from __future__ import annotations

import argparse
import errno
import json
import os
import sys
import textwrap
import time
from typing import List, Optional

from . import GpuprocError, get_all_gpu_data_json, get_gpu_data_json, snapshot
from ._record import Record
from ._table import format_table

_MIN_INTERVAL = 0.1
_MAX_INTERVAL = 86400.0


class _WriteFailed(Exception):
    def __init__(self, error: OSError) -> None:
        super().__init__(error.strerror or str(error))
        self.errno = error.errno


def _write(text: str) -> None:
    """Writes ``text`` to standard output; raises ``_WriteFailed`` with the reason (a full disk, a closed pipe)."""
    try:
        sys.stdout.write(text)
        sys.stdout.flush()
    except OSError as error:
        # The interpreter flushes standard output again at exit and would
        # report the same failure with a traceback: give it a sink instead.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        raise _WriteFailed(error) from error


def _process_id(text: str) -> int:
    if not (text.isascii() and text.isdigit()) or int(text) > 0xFFFFFFFF:
        raise argparse.ArgumentTypeError(f"'{text}' is not a process id (0 to 4294967295)")
    return int(text)


def _interval(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = float("nan")
    if not _MIN_INTERVAL <= value <= _MAX_INTERVAL:
        raise argparse.ArgumentTypeError("must be a number of seconds from 0.1 to 86400 (one day)")
    return value


def _count(text: str) -> int:
    if not (text.isascii() and text.isdigit()) or int(text) == 0:
        raise argparse.ArgumentTypeError("must be a whole number above 0")
    return int(text)


def _root(variable: str, fallback: str) -> str:
    return os.environ.get(variable) or fallback


def _no_device_line() -> Optional[str]:
    """The command's line for a host with neither a DRM device nor NVIDIA's driver."""
    sys_root = _root("HOST_SYS", "/sys")
    drm = os.path.join(sys_root, "class/drm")
    nvidia = os.path.join(sys_root, "module/nvidia")
    try:
        names = os.listdir(drm)
    except OSError:
        names = []
    for name in names:
        for prefix in ("card", "renderD"):
            if name.startswith(prefix) and name[len(prefix):].isdigit():
                return None
    if os.path.exists(nvidia):
        return None
    return f"no GPU device found (looked for DRM devices in {drm} and NVIDIA's driver in {nvidia})"


def _some_processes_hidden() -> bool:
    """Whether processes this user may not read are left out, as the snapshot counts them.

    A library that does not count them leaves it to a look for an fd folder that
    refuses this user (another user's process, to root too without the capabilities
    that pass the kernel's checks).
    """
    unreadable = snapshot().unreadable_processes
    if unreadable is not None:
        return unreadable > 0
    proc = _root("HOST_PROC", "/proc")
    try:
        names = os.listdir(proc)
    except OSError:
        return False
    for name in names:
        if not (name.isascii() and name.isdigit()):
            continue
        try:
            with os.scandir(os.path.join(proc, name, "fd")):
                pass
        except PermissionError:
            return True
        except OSError:
            pass  # ended meanwhile
    return False


def _process_exists(pid: int) -> bool:
    proc = _root("HOST_PROC", "/proc")
    # A root that is not there is the library's to report.
    return not os.path.isdir(proc) or os.path.lexists(os.path.join(proc, str(pid)))


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="python -m gpuproc",
        description="Prints the GPU memory (MiB) and engine use of every GPU process, as the gpuproc command "
        "does; with process ids, their rows alone, or with --json the library's report of each. HOST_PROC and "
        "HOST_SYS name other /proc and /sys trees.",
        epilog="Exit status: 0 on success, 1 when the GPU counters could not be opened, a process does not exist "
        "or the output could not be written, 2 on bad usage.")
    parser.add_argument("pids", nargs="*", type=_process_id, metavar="PID",
                        help="only these processes; with --json the library's report of each (printed by it)")
    parser.add_argument("-a", "--all", action="store_true", help="every GPU process (the default without PID)")
    form = parser.add_mutually_exclusive_group()
    form.add_argument("--json", action="store_true", help="print the library's JSON array instead of the table")
    form.add_argument("--jsonl", action="store_true", help="print one JSON record per line")
    parser.add_argument("-n", "--interval", type=_interval, metavar="SECONDS",
                        help="repeat every SECONDS (0.1 to 86400) until interrupted")
    parser.add_argument("--count", type=_count, metavar="N", help="stop after N rounds (1 s apart without -n)")
    return parser


def _all_processes(arguments: argparse.Namespace, redraw: bool, pids: List[int]) -> str:
    text = get_all_gpu_data_json()
    if arguments.json:
        return text + "\n"
    documents = json.loads(text)
    if pids:
        documents = [d for d in documents if d.get("ProcessID") in pids]
    if arguments.jsonl:
        return "".join(json.dumps(d, ensure_ascii=False, separators=(",", ":")) + "\n" for d in documents)
    # The snapshot after the records, as the command takes it: the GPUs' power and temperature.
    table = format_table([Record.from_json(d) for d in documents], adapters=snapshot().adapters)
    # On a terminal an empty table says why, rather than look like a failure,
    # in lines that fit it as the command's do.
    if not documents and sys.stdout.isatty():
        why = _no_device_line() or ("the processes named use no GPU" if pids else "no process is using a GPU")
        table += "".join(line + "\n" for line in textwrap.wrap(why, 79, break_on_hyphens=False))
    return ("\x1b[H\x1b[2J" if redraw else "") + table


def _existing(pids: List[int]) -> List[int]:
    """The processes that exist; a line on standard error for each that does not."""
    existing = []
    for pid in pids:
        if _process_exists(pid):
            existing.append(pid)
        else:
            print(f"gpuproc: no process {pid}", file=sys.stderr)
    return existing


def _processes(pids: List[int]) -> None:
    """--json with process ids: the library prints each report itself."""
    for pid in pids:
        sys.stdout.flush()
        get_gpu_data_json(pid)


def main(argv: Optional[List[str]] = None) -> int:
    parser = _parser()
    arguments = parser.parse_args(argv)
    if arguments.pids and (arguments.all or arguments.jsonl):
        parser.error("process ids do not combine with --all or --jsonl")
    repeats = arguments.interval is not None or arguments.count is not None
    table = not (arguments.json or arguments.jsonl)
    redraw = repeats and table and sys.stdout.isatty()
    # Named processes that do not exist fail the command, after the rest.
    pids = _existing(arguments.pids)
    status = 1 if len(pids) < len(arguments.pids) else 0
    if arguments.pids and not pids:
        return status
    round_ = 0
    try:
        while True:
            round_ += 1
            if pids and arguments.json:
                _processes(pids)
            else:
                _write(_all_processes(arguments, redraw, pids))
                # Once, or on every redrawn screen, which clears it.
                if table and (round_ == 1 or redraw) and _some_processes_hidden():
                    print("showing only the processes this user may read; run as root to see all", file=sys.stderr)
            if not repeats or (arguments.count is not None and round_ >= arguments.count):
                return status
            if table and not redraw:
                _write("\n")
            time.sleep(arguments.interval or 1.0)
    except GpuprocError as error:
        print(f"gpuproc: {error}", file=sys.stderr)
        return 1
    except _WriteFailed as failure:
        # A reader that leaves while the rounds repeat ends them, as it ends `yes | head`.
        if repeats and failure.errno == errno.EPIPE:
            return status
        print(f"gpuproc: cannot write the output: {failure}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        return 130


if __name__ == "__main__":
    sys.exit(main())
