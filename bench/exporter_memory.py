#!/usr/bin/env python3
"""Peak memory of gpuproc-exporter on a busy node: PROCESSES GPU clients in
pods, SCRAPERS clients scraping at once for ROUNDS rounds. Prints the peak
resident set (VmHWM) and what the scrapes took.

    exporter_memory.py EXPORTER TREE_TOOL [PROCESSES=3000] [SCRAPERS=16] [ROUNDS=5]

TREE_TOOL is bench's gpuproc_gpu_processes_tree (build with
-DGPUPROC_BUILD_BENCHMARKS=ON). A figure, not a test: nothing is asserted.
"""
import os
import shutil
import statistics
import subprocess
import sys
import threading
import time
import urllib.request

exporter, tool = sys.argv[1:3]
processes, scrapers, rounds = (int(value) for value in (sys.argv[3:6] + ["3000", "16", "5"][len(sys.argv[3:6]):]))
root = subprocess.run([tool, str(processes)], capture_output=True, text=True, check=True).stdout.strip()
try:
    environment = dict(os.environ, HOST_PROC=f"{root}/proc", HOST_SYS=f"{root}/sys")
    server = subprocess.Popen([exporter, "--listen", "127.0.0.1:0", "--kubelet.pod-logs-dir", f"{root}/none"],
                              env=environment, stderr=subprocess.PIPE, text=True)
    url = server.stderr.readline().split("serving ", 1)[1].strip()
    seconds, sizes = [], []

    def scrape():
        for _ in range(rounds):
            start = time.monotonic()
            with urllib.request.urlopen(url, timeout=120) as response:
                sizes.append(len(response.read()))
            seconds.append(time.monotonic() - start)

    threads = [threading.Thread(target=scrape) for _ in range(scrapers)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    with open(f"/proc/{server.pid}/status") as status:
        fields = dict(line.split(":", 1) for line in status)
    server.terminate()
    server.wait(timeout=30)
    print(f"{processes} GPU processes, {scrapers} scrapers x {rounds} rounds: "
          f"peak RSS {int(fields['VmHWM'].split()[0]) / 1024:.1f} MiB, "
          f"threads {fields['Threads'].strip()}, scrape {max(sizes) / 1048576:.2f} MiB, "
          f"median {statistics.median(seconds):.2f} s, max {max(seconds):.2f} s")
finally:
    shutil.rmtree(root)
