"""python -m gpuproc [--json]: every GPU process as the gpuproc command's table."""
from __future__ import annotations

import argparse
import sys
from typing import List, Optional

from . import GpuprocError, get_all_gpu_data, get_all_gpu_data_json
from ._table import format_table


def main(argv: Optional[List[str]] = None) -> int:
    parser = argparse.ArgumentParser(
        prog="python -m gpuproc",
        description="Prints the GPU memory (MiB) and engine use of every GPU process. "
        "HOST_PROC and HOST_SYS name other /proc and /sys trees.")
    parser.add_argument("--json", action="store_true", help="print the library's JSON instead of the table")
    arguments = parser.parse_args(argv)
    try:
        if arguments.json:
            sys.stdout.write(get_all_gpu_data_json() + "\n")
        else:
            sys.stdout.write(format_table(get_all_gpu_data()))
    except GpuprocError as error:
        print(f"gpuproc: {error}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
