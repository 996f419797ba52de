#!/usr/bin/env python3
"""Whether a login's time tells if the user exists: medians of wrong
passwords for a known user and for unknown users, at bcrypt costs 5 and 12.

    exporter_login_timing.py EXPORTER FIXTURES [TRIES=31]

Each try uses a new password, so no remembered verdict answers it, and a
new connection from this process (no client start-up in the figure).
Prints the two medians and their ratio per cost; nothing is asserted.
"""
import base64
import http.client
import os
import statistics
import subprocess
import sys
import tempfile
import time

exporter, fixtures = sys.argv[1:3]
tries = int(sys.argv[3]) if len(sys.argv) > 3 else 31
environment = dict(os.environ, HOST_PROC=f"{fixtures}/multi/proc", HOST_SYS=f"{fixtures}/multi/sys")
for cost in (5, 12):
    hashed = subprocess.run(["htpasswd", "-nbBC", str(cost), "alice", "secret"], capture_output=True,
                            text=True, check=True).stdout.strip().split(":", 1)[1]
    with tempfile.NamedTemporaryFile("w", suffix=".yml") as config:
        config.write(f"basic_auth_users:\n  alice: {hashed}\n")
        config.flush()
        server = subprocess.Popen([exporter, "--listen", "127.0.0.1:0", "--web.config.file", config.name],
                                  env=environment, stderr=subprocess.PIPE, text=True)
        port = int(server.stderr.readline().split("serving ", 1)[1].strip().rsplit(":", 1)[1].split("/")[0])
        seconds = {"alice": [], "mallory": []}
        # Alternated, so that a change in the machine's load falls on both.
        for attempt in range(tries):
            for user in seconds:
                token = base64.b64encode(f"{user}:wrong{attempt}".encode()).decode()
                connection = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
                start = time.monotonic()
                connection.request("GET", "/", headers={"Authorization": f"Basic {token}"})
                status = connection.getresponse().status
                seconds[user].append(time.monotonic() - start)
                connection.close()
                assert status == 401, status
        medians = {user: statistics.median(figures) for user, figures in seconds.items()}
        server.terminate()
        server.wait(timeout=30)
    print(f"cost {cost}: known user {medians['alice'] * 1000:.1f} ms, unknown user "
          f"{medians['mallory'] * 1000:.1f} ms, ratio {medians['mallory'] / medians['alice']:.2f}")
