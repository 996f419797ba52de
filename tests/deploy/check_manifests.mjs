// Validates deploy/kubernetes/*.yaml against the Kubernetes API's and the
// Prometheus operator's OpenAPI schemas (kubernetes-models), then checks
// what the schemas cannot: that the pieces agree with each other and with
// what the exporter needs on a node.
//   node check_manifests.mjs MANIFEST_DIR EXPORTER_PORT
import { readFileSync, readdirSync } from "node:fs";
import { join } from "node:path";
import { parseAllDocuments } from "yaml";
import { DaemonSet } from "kubernetes-models/apps/v1";
import { Service } from "kubernetes-models/v1";
import { PodMonitor } from "@kubernetes-models/prometheus-operator/monitoring.coreos.com/v1";

const [folder, port] = process.argv.slice(2);
const models = { "apps/v1 DaemonSet": DaemonSet, "v1 Service": Service,
                 "monitoring.coreos.com/v1 PodMonitor": PodMonitor };
const objects = {};
const failures = [];
const check = (ok, what) => { if (!ok) failures.push(what); };

for (const file of readdirSync(folder).filter((f) => f.endsWith(".yaml")).sort()) {
  for (const document of parseAllDocuments(readFileSync(join(folder, file), "utf8"))) {
    if (document.errors.length) { failures.push(`${file}: ${document.errors[0].message}`); continue; }
    const object = document.toJS();
    const Model = models[`${object.apiVersion} ${object.kind}`];
    if (!Model) { failures.push(`${file}: no schema for ${object.apiVersion} ${object.kind}`); continue; }
    try {
      new Model(object).validate();
      objects[object.kind] = object;
    } catch (error) {
      failures.push(`${file}: ${object.kind}: ${error.message}`);
    }
  }
}

const daemonSet = objects.DaemonSet, service = objects.Service, podMonitor = objects.PodMonitor;
if (daemonSet && service && podMonitor) {
  const pod = daemonSet.spec.template.spec;
  const [container] = pod.containers;
  const security = container.securityContext ?? {};
  const mounts = Object.fromEntries((container.volumeMounts ?? []).map((m) => [m.mountPath, m]));
  const hostPaths = Object.fromEntries(pod.volumes.map((v) => [v.name, v.hostPath?.path]));
  const env = Object.fromEntries((container.env ?? []).map((e) => [e.name, e.value]));
  const metricsPort = container.ports.find((p) => p.name === "metrics");
  check(pod.hostPID === true, "hostPID is not true");
  check(JSON.stringify(security.capabilities?.drop) === '["ALL"]', "capabilities are not all dropped");
  check(JSON.stringify([...(security.capabilities?.add ?? [])].sort()) ===
        '["DAC_READ_SEARCH","SYS_PTRACE"]', "added capabilities are not exactly SYS_PTRACE and DAC_READ_SEARCH");
  check(security.readOnlyRootFilesystem === true, "root filesystem is writable");
  check(security.allowPrivilegeEscalation === false, "privilege escalation is allowed");
  for (const [mountPath, hostPath] of [["/host/proc", "/proc"], ["/host/sys", "/sys"],
                                       ["/host/var/log/pods", "/var/log/pods"],
                                       ["/host/var/log/containers", "/var/log/containers"]]) {
    const mount = mounts[mountPath];
    check(mount?.readOnly === true && hostPaths[mount.name] === hostPath,
          `${hostPath} is not mounted read-only at ${mountPath}`);
  }
  check(env.HOST_PROC === "/host/proc" && env.HOST_SYS === "/host/sys", "HOST_PROC/HOST_SYS not set");
  check(container.args.includes(`--listen=0.0.0.0:${port}`), `the exporter does not listen on ${port}`);
  check(container.args.includes("--kubelet.pod-logs-dir=/host/var/log/pods"), "pod logs folder not passed");
  check(metricsPort?.containerPort === Number(port), `container port is not ${port}`);
  check(container.resources?.requests && container.resources?.limits, "no resource requests and limits");
  check(container.livenessProbe?.httpGet?.path === "/" && container.livenessProbe.httpGet.port === "metrics",
        "liveness is not the landing page");
  const podLabels = daemonSet.spec.template.metadata.labels;
  const selects = (selector) => Object.entries(selector).every(([k, v]) => podLabels[k] === v);
  check(selects(daemonSet.spec.selector.matchLabels), "DaemonSet selector misses its pods");
  check(selects(service.spec.selector), "Service selector misses the pods");
  check(service.metadata.annotations?.["prometheus.io/scrape"] === "true" &&
        service.metadata.annotations?.["prometheus.io/port"] === port, "Service scrape annotations wrong");
  check(service.spec.ports[0].targetPort === "metrics", "Service does not target the metrics port");
  check(selects(podMonitor.spec.selector.matchLabels), "PodMonitor selector misses the pods");
  check(podMonitor.spec.podMetricsEndpoints[0].port === "metrics", "PodMonitor does not scrape the metrics port");
  check(new Set([daemonSet, service, podMonitor].map((o) => o.metadata.namespace)).size === 1,
        "objects in different namespaces");
}
for (const failure of failures) console.error(`FAIL ${failure}`);
if (failures.length) process.exit(1);
console.log(`${Object.keys(objects).length} manifests valid: ${Object.keys(objects).join(", ")}`);
