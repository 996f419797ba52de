"""python -m gpuproc [--json]: every GPU process as the gpuproc command's table."""
from __future__ import annotations

import argparse
import os
import sys
from typing import List, Optional

from . import GpuprocError, get_all_gpu_data, get_all_gpu_data_json
from ._table import format_table


def _write(text: str) -> Optional[str]:
    """Writes ``text`` to standard output; the reason when that fails (a full disk, a closed pipe)."""
    try:
        sys.stdout.write(text)
        sys.stdout.flush()
    except OSError as error:
        # The interpreter flushes standard output again at exit and would
        # report the same failure with a traceback: give it a sink instead.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return error.strerror or str(error)
    return None


def main(argv: Optional[List[str]] = None) -> int:
    parser = argparse.ArgumentParser(
        prog="python -m gpuproc",
        description="Prints the GPU memory (MiB) and engine use of every GPU process. "
        "HOST_PROC and HOST_SYS name other /proc and /sys trees.",
        epilog="Exit status: 0 on success, 1 when the GPU counters could not be opened or the output "
        "could not be written, 2 on bad usage.")
    parser.add_argument("--json", action="store_true", help="print the library's JSON instead of the table")
    arguments = parser.parse_args(argv)
    try:
        if arguments.json:
            text = get_all_gpu_data_json() + "\n"
        else:
            records = get_all_gpu_data()
            text = format_table(records)
            # On a terminal an empty table says so, rather than look like a failure.
            if not records and sys.stdout.isatty():
                text += "no process is using a GPU\n"
    except GpuprocError as error:
        print(f"gpuproc: {error}", file=sys.stderr)
        return 1
    failure = _write(text)
    if failure is not None:
        print(f"gpuproc: cannot write the output: {failure}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
