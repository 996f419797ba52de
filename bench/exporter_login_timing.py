#!/usr/bin/env python3
"""Whether a login's time tells if the user exists: medians of wrong
passwords for a known user and for unknown users, at bcrypt costs 5 and 12.

    exporter_login_timing.py EXPORTER FIXTURES [TRIES=15]

Each try uses a new password, so no remembered verdict answers it. Prints
the two medians and their ratio per cost; nothing is asserted.
"""
import os
import statistics
import subprocess
import sys
import tempfile
import time

exporter, fixtures = sys.argv[1:3]
tries = int(sys.argv[3]) if len(sys.argv) > 3 else 15
environment = dict(os.environ, HOST_PROC=f"{fixtures}/multi/proc", HOST_SYS=f"{fixtures}/multi/sys")
for cost in (5, 12):
    hashed = subprocess.run(["htpasswd", "-nbBC", str(cost), "alice", "secret"], capture_output=True,
                            text=True, check=True).stdout.strip().split(":", 1)[1]
    with tempfile.NamedTemporaryFile("w", suffix=".yml") as config:
        config.write(f"basic_auth_users:\n  alice: {hashed}\n")
        config.flush()
        server = subprocess.Popen([exporter, "--listen", "127.0.0.1:0", "--web.config.file", config.name],
                                  env=environment, stderr=subprocess.PIPE, text=True)
        url = server.stderr.readline().split("serving ", 1)[1].strip().replace("/metrics", "/")
        seconds = {"alice": [], "mallory": []}
        # Alternated, so that a change in the machine's load falls on both.
        for attempt in range(tries):
            for user in seconds:
                start = time.monotonic()
                subprocess.run(["curl", "-s", "-o", "/dev/null", "-u", f"{user}:wrong{attempt}", url], check=True)
                seconds[user].append(time.monotonic() - start)
        medians = {user: statistics.median(figures) for user, figures in seconds.items()}
        server.terminate()
        server.wait(timeout=30)
    print(f"cost {cost}: known user {medians['alice'] * 1000:.1f} ms, unknown user "
          f"{medians['mallory'] * 1000:.1f} ms, ratio {medians['mallory'] / medians['alice']:.2f}")
