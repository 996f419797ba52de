#!/usr/bin/env python3
"""The Grafana dashboard and the documented join against real data.

    dashboard_test.py EXPORTER PROMETHEUS DASHBOARD FIXTURES RULES

Serves the two-pod tree with the exporter, has Debian's Prometheus scrape it
on loopback with the RULES file loaded, then evaluates every variable and
every panel expression of the dashboard through Prometheus's HTTP API, with
the variables at their default (All) values. An error or an empty result
fails, as does a GPU picker entry without a name, or a join with the
adapter info series that loses a process's name. Exits 77 (skipped) without
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

EXPORTER, PROMETHEUS, DASHBOARD, FIXTURES, RULES = sys.argv[1:6]
TIMEOUT = 60
# What Grafana makes of $__rate_interval at a 1 s scrape interval: four scrapes.
RATE_INTERVAL = "4s"
# The join docs/exporter.md gives for GPU names on a process's series.
JOIN = "gpuproc_process_memory_dedicated_bytes * on (instance, adapter) group_left (adapter_name) gpuproc_adapter_info"
# Families the device-health row shows that the exporter does not serve yet:
# their panels must still run without error, and may come back empty. Once
# the exporter serves one of them the test fails until it leaves this list,
# so the row is checked for data from then on.
NOT_YET_SERVED: set[str] = set()
# Recording rules over those families.
NOT_YET_RECORDED: set[str] = set()
# The two-pod tree's processes: (pid, process name, GPU name).
PROCESSES = {("3000", "python3.11", "amdgpu 0000:03:00.0"), ("3001", "ffmpeg", "amdgpu 0000:03:00.0"),
             ("3002", "vkcube", "i915 0000:00:02.0"), ("3003", "Xorg", "i915 0000:00:02.0")}


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
    """The variable's (value, text) pairs as Grafana finds them: label_values(SELECTOR, LABEL), the
    label's values on the matching series; query_result(QUERY), each result as Grafana writes it
    (name{label="value", ...} value time) matched by the variable's regex and its value and text groups."""
    query = variable["query"]["query"] if isinstance(variable["query"], dict) else variable["query"]
    match = re.fullmatch(r"label_values\((.+),\s*(\w+)\)", query)
    if match:
        selector, label = substitute(match.group(1), values), match.group(2)
        return [(v, v) for v in api(base, f"label/{label}/values", **{"match[]": selector}) if v]
    match = re.fullmatch(r"query_result\((.+)\)", query)
    if not match:
        raise AssertionError(f"variable {variable['name']}: unsupported query {query}")
    pattern = re.compile(variable["regex"].strip("/").replace("(?<", "(?P<"))
    found = []
    for result in api(base, "query", query=substitute(match.group(1), values))["result"]:
        labels = dict(result["metric"])
        name = labels.pop("__name__", "")
        line = name + "{" + ", ".join(f'{k}="{v}"' for k, v in sorted(labels.items())) + "} " + \
            " ".join(map(str, reversed(result["value"])))
        hit = pattern.search(line)
        if hit:
            found.append((hit.group("value"), hit.group("text")))
    return found


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
            config.write("global:\n  scrape_interval: 1s\n  scrape_timeout: 900ms\n  evaluation_interval: 1s\n"
                         f"rule_files:\n  - {os.path.abspath(RULES)}\n"
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
                # The recording rules need two scrapes in their window.
                if all(api(base, "query", query=q)["result"] for q in (
                        "gpuproc_pod_memory_committed_bytes", "pod:gpuproc_process_engine_busy_seconds:rate5m")):
                    break
            except (OSError, AssertionError, ValueError):  # ValueError: not yet ready, a plain-text 503
                pass
            if time.monotonic() > deadline or processes[-1].poll() is not None:
                with open(f"{scratch}/prometheus.log", encoding="utf-8") as log:
                    raise AssertionError("Prometheus never had the exporter's series:\n" + log.read()[-3000:])
            time.sleep(0.5)

        values = {"__rate_interval": RATE_INTERVAL}
        failures = []
        for variable in dashboard["templating"]["list"]:
            if variable["type"] != "query":
                continue
            found = variable_values(base, variable, values)
            if not found:
                failures.append(f"variable {variable['name']}: no values")
            failures += [f"variable {variable['name']}: {value} has no name" for value, text in found if not text]
            # The default selection is All: its value, else every value found.
            values[variable["name"]] = variable.get("allValue") or \
                "(" + "|".join(re.escape(value) for value, _ in found) + ")"
        served = {r["metric"]["__name__"] for r in api(base, "query", query="count by (__name__) ({__name__=~\"gpuproc_.*\"})")["result"]}
        failures += [f"{name} is served now: take it off NOT_YET_SERVED" for name in NOT_YET_SERVED & served]
        pending = NOT_YET_SERVED | NOT_YET_RECORDED
        expressions = 0
        waiting = 0
        for panel in dashboard["panels"]:
            if panel["type"] == "row":
                continue
            for target in panel.get("targets", []):
                expression = substitute(target["expr"], values)
                expressions += 1
                try:
                    if not api(base, "query", query=expression)["result"]:
                        if set(re.findall(r"[a-zA-Z_:][a-zA-Z0-9_:]*", expression)) & pending:
                            waiting += 1
                            print(f"waiting for the exporter: panel '{panel['title']}' {target['refId']}")
                        else:
                            failures.append(f"panel '{panel['title']}' {target['refId']}: empty: {expression}")
                except AssertionError as error:
                    failures.append(f"panel '{panel['title']}' {target['refId']}: {error}")
            if not panel.get("targets"):
                failures.append(f"panel '{panel['title']}': no query")
        joined = {(r["metric"].get("pid"), r["metric"].get("name"), r["metric"].get("adapter_name"))
                  for r in api(base, "query", query=JOIN)["result"]}
        if joined != PROCESSES:
            failures.append(f"the documented join gives {sorted(joined)}, not {sorted(PROCESSES)}")
        for failure in failures:
            print("FAIL", failure)
        print(f"{expressions} panel expressions of {len(dashboard['panels'])} panels and "
              f"{len(values) - 1} variables ran against Prometheus over the two-pod tree: "
              f"{expressions - len(failures) - waiting} with results, {waiting} waiting for the exporter")
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
