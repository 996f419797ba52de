#!/usr/bin/env python3
"""The Grafana dashboard against real data.

    dashboard_test.py EXPORTER PROMETHEUS DASHBOARD FIXTURES

Serves the two-pod tree with the exporter, has Debian's Prometheus scrape it
on loopback, then evaluates every variable and every panel expression of the
dashboard through Prometheus's HTTP API, with the variables at their default
(All) values. An error or an empty result fails. Exits 77 (skipped) without
a prometheus binary.
"""
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import urllib.parse
import urllib.request

EXPORTER, PROMETHEUS, DASHBOARD, FIXTURES = sys.argv[1:5]
TIMEOUT = 60


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def api(base, path, **params):
    url = f"{base}/api/v1/{path}?{urllib.parse.urlencode(params, doseq=True)}"
    try:
        with urllib.request.urlopen(url, timeout=10) as response:
            answer = json.load(response)
    except urllib.error.HTTPError as error:
        answer = json.load(error)
    if answer.get("status") != "success":
        raise AssertionError(f"{path} {params}: {answer.get('error', answer)}")
    return answer["data"]


def substitute(expression, values):
    for name, value in values.items():
        expression = re.sub(r"\$\{%s\}|\$%s\b|\[\[%s\]\]" % (name, name, name), value, expression)
    if "$" in expression:
        raise AssertionError(f"unknown variable left in {expression}")
    return expression


def variable_values(base, variable, values):
    """label_values(SELECTOR, LABEL) as Grafana asks it: the label's values on the matching series."""
    query = variable["query"]["query"] if isinstance(variable["query"], dict) else variable["query"]
    match = re.fullmatch(r"label_values\((.+),\s*(\w+)\)", query)
    if not match:
        raise AssertionError(f"variable {variable['name']}: unsupported query {query}")
    selector, label = substitute(match.group(1), values), match.group(2)
    return [v for v in api(base, f"label/{label}/values", **{"match[]": selector}) if v]


def main():
    if not shutil.which(PROMETHEUS) and not os.path.exists(PROMETHEUS):
        print("skipped: prometheus is not installed")
        return 77
    with open(DASHBOARD, encoding="utf-8") as file:
        dashboard = json.load(file)
    scratch = tempfile.mkdtemp(prefix="gpuproc-dashboard-")
    processes = []
    try:
        tree = os.path.join(FIXTURES, "pods")
        environment = dict(os.environ, HOST_PROC=f"{tree}/proc", HOST_SYS=f"{tree}/sys")
        exporter = subprocess.Popen(
            [EXPORTER, "--listen", "127.0.0.1:0", "--kubelet.pod-logs-dir", f"{tree}/var/log/pods"],
            env=environment, stderr=subprocess.PIPE, text=True)
        processes.append(exporter)
        line = exporter.stderr.readline()
        target = re.search(r"http://([^/]+)/", line).group(1)
        with open(f"{scratch}/prometheus.yml", "w", encoding="utf-8") as config:
            config.write("global:\n  scrape_interval: 1s\n  scrape_timeout: 900ms\n"
                         f"scrape_configs:\n  - job_name: gpuproc\n    static_configs:\n"
                         f"      - targets: ['{target}']\n")
        port = free_port()
        base = f"http://127.0.0.1:{port}"
        with open(f"{scratch}/prometheus.log", "w", encoding="utf-8") as log:
            processes.append(subprocess.Popen(
                [PROMETHEUS, f"--config.file={scratch}/prometheus.yml", f"--storage.tsdb.path={scratch}/data",
                 f"--web.listen-address=127.0.0.1:{port}"], stdout=log, stderr=log))
        deadline = time.monotonic() + TIMEOUT
        while True:
            try:
                if api(base, "query", query="gpuproc_pod_memory_committed_bytes")["result"]:
                    break
            except (OSError, AssertionError):
                pass
            if time.monotonic() > deadline or processes[-1].poll() is not None:
                with open(f"{scratch}/prometheus.log", encoding="utf-8") as log:
                    raise AssertionError("Prometheus never had the exporter's series:\n" + log.read()[-3000:])
            time.sleep(0.5)

        values = {}
        failures = []
        for variable in dashboard["templating"]["list"]:
            if variable["type"] != "query":
                continue
            found = variable_values(base, variable, values)
            if not found:
                failures.append(f"variable {variable['name']}: no values")
            # The default selection is All: its value, else every value found.
            values[variable["name"]] = variable.get("allValue") or "(" + "|".join(map(re.escape, found)) + ")"
        expressions = 0
        for panel in dashboard["panels"]:
            for target in panel.get("targets", []):
                expression = substitute(target["expr"], values)
                expressions += 1
                try:
                    if not api(base, "query", query=expression)["result"]:
                        failures.append(f"panel '{panel['title']}' {target['refId']}: empty: {expression}")
                except AssertionError as error:
                    failures.append(f"panel '{panel['title']}' {target['refId']}: {error}")
            if not panel.get("targets"):
                failures.append(f"panel '{panel['title']}': no query")
        for failure in failures:
            print("FAIL", failure)
        print(f"{expressions} panel expressions of {len(dashboard['panels'])} panels and "
              f"{len(values)} variables ran against Prometheus over the two-pod tree: "
              f"{expressions - len(failures)} with results")
        return 1 if failures else 0
    finally:
        for process in reversed(processes):
            if process.poll() is None:
                process.send_signal(signal.SIGTERM)
                try:
                    process.wait(timeout=20)
                except subprocess.TimeoutExpired:
                    process.kill()
        shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
