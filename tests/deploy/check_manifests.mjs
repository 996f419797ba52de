// Validates every folder of deploy/kubernetes/ against the Kubernetes API's
// and the Prometheus operator's OpenAPI schemas (kubernetes-models), then
// checks what the schemas cannot: that each folder can be applied on its own
// without scraping a node twice, that the pieces agree with each other, and
// that the exporter starts with the DaemonSet's arguments.
//   node check_manifests.mjs MANIFEST_DIR EXPORTER
import { spawn, spawnSync } from "node:child_process";
import { connect } from "node:net";
import { readFileSync, readdirSync } from "node:fs";
import { join } from "node:path";
import { parseAllDocuments } from "yaml";
import { DaemonSet } from "kubernetes-models/apps/v1";
import { Namespace, Service } from "kubernetes-models/v1";
import { NetworkPolicy } from "kubernetes-models/networking.k8s.io/v1";
import { PodMonitor } from "@kubernetes-models/prometheus-operator/monitoring.coreos.com/v1";

const [top, exporter] = process.argv.slice(2);
const models = { "apps/v1 DaemonSet": DaemonSet, "v1 Namespace": Namespace, "v1 Service": Service,
                 "networking.k8s.io/v1 NetworkPolicy": NetworkPolicy,
                 "monitoring.coreos.com/v1 PodMonitor": PodMonitor };
const objects = {};  // kind -> { object, folder, file }
const failures = [];
const check = (ok, what) => { if (!ok) failures.push(what); };
const yamlIn = (folder) => readdirSync(folder).filter((f) => f.endsWith(".yaml")).sort();

// `kubectl apply -f deploy/kubernetes/` takes no subfolder: it must find nothing.
check(yamlIn(top).length === 0, "manifests in the top folder, applied with every choice");
const folders = readdirSync(top, { withFileTypes: true }).filter((d) => d.isDirectory()).map((d) => d.name).sort();
for (const folder of folders) {
  const kinds = [];
  for (const file of yamlIn(join(top, folder))) {
    for (const document of parseAllDocuments(readFileSync(join(top, folder, file), "utf8"))) {
      const where = `${folder}/${file}`;
      if (document.errors.length) { failures.push(`${where}: ${document.errors[0].message}`); continue; }
      const object = document.toJS();
      const Model = models[`${object.apiVersion} ${object.kind}`];
      if (!Model) { failures.push(`${where}: no schema for ${object.apiVersion} ${object.kind}`); continue; }
      try {
        new Model(object).validate();
        check(!objects[object.kind], `${where}: a second ${object.kind}`);
        objects[object.kind] = { object, folder, file };
        kinds.push(object.kind);
      } catch (error) {
        failures.push(`${where}: ${object.kind}: ${error.message}`);
      }
    }
  }
  check(!(kinds.includes("Service") && kinds.includes("PodMonitor")),
        `${folder}/ holds both the Service and the PodMonitor: each node would be scraped twice`);
}

const found = (kind) => { check(objects[kind], `no ${kind}`); return objects[kind]; };
const [daemonSetAt, namespaceAt, policyAt, serviceAt, podMonitorAt] =
  ["DaemonSet", "Namespace", "NetworkPolicy", "Service", "PodMonitor"].map(found);
if (failures.length === 0) {
  const daemonSet = daemonSetAt.object, namespace = namespaceAt.object, policy = policyAt.object;
  const service = serviceAt.object, podMonitor = podMonitorAt.object;
  const pod = daemonSet.spec.template.spec;
  const [container] = pod.containers;
  const security = container.securityContext ?? {};
  const mounts = Object.fromEntries((container.volumeMounts ?? []).map((m) => [m.mountPath, m]));
  const hostPaths = Object.fromEntries(pod.volumes.map((v) => [v.name, v.hostPath?.path]));
  const env = Object.fromEntries((container.env ?? []).map((e) => [e.name, e.value]));
  const metricsPort = container.ports.find((p) => p.name === "metrics");
  const port = defaultPort();
  // The tag the documented build gives the image: the exporter's version.
  const version = spawnSync(exporter, ["--version"], { encoding: "utf8" }).stdout?.trim().split(" ").pop();
  check(container.image === `gpuproc-exporter:${version}`,
        `image ${container.image} is not the documented build's gpuproc-exporter:${version}`);
  check(pod.hostPID === true, "hostPID is not true");
  check(JSON.stringify(security.capabilities?.drop) === '["ALL"]', "capabilities are not all dropped");
  check(JSON.stringify([...(security.capabilities?.add ?? [])].sort()) ===
        '["DAC_READ_SEARCH","SETPCAP","SYS_PTRACE"]',
        "added capabilities are not exactly SYS_PTRACE, DAC_READ_SEARCH and SETPCAP");
  // A blanket toleration would put it on control-plane nodes as well.
  check((pod.tolerations ?? []).every((t) => t.key && t.operator === "Exists"),
        "a toleration without a key tolerates every taint");
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
  // An HTTP probe fails once the web configuration asks for TLS or a password.
  for (const probe of ["livenessProbe", "readinessProbe"]) {
    check(container[probe]?.tcpSocket?.port === "metrics", `${probe} is not a TCP connect to the metrics port`);
  }
  const podLabels = daemonSet.spec.template.metadata.labels;
  const selects = (selector) => Object.entries(selector).every(([k, v]) => podLabels[k] === v);
  check(selects(daemonSet.spec.selector.matchLabels), "DaemonSet selector misses its pods");

  // The namespace is created by the folder that needs it, before its pods.
  check(namespaceAt.folder === daemonSetAt.folder && namespaceAt.file < daemonSetAt.file,
        "the Namespace is not applied before the DaemonSet, in its folder");
  check(namespace.metadata.labels?.["pod-security.kubernetes.io/enforce"] === "privileged",
        "the namespace does not admit host PID and host paths (Pod Security \"privileged\")");
  check([daemonSet, policy, service, podMonitor].every((o) => o.metadata.namespace === namespace.metadata.name),
        `objects outside the namespace ${namespace.metadata.name}`);

  // Only pods of the Prometheus namespace that are Prometheus: both selectors
  // in one peer, each naming something.
  check(policyAt.folder === daemonSetAt.folder, "the NetworkPolicy is not applied with the DaemonSet");
  check(selects(policy.spec.podSelector.matchLabels ?? {}) &&
        Object.keys(policy.spec.podSelector.matchLabels ?? {}).length > 0,
        "the NetworkPolicy does not select the exporter's pods");
  check(policy.spec.policyTypes?.includes("Ingress"), "the NetworkPolicy does not restrict ingress");
  check(policy.spec.policyTypes?.includes("Egress") && (policy.spec.egress ?? []).length === 0,
        "the NetworkPolicy lets the exporter connect out");
  const rules = policy.spec.ingress ?? [];
  const named = (selector) => Object.keys(selector?.matchLabels ?? {}).length > 0;
  check(rules.length > 0 && rules.every((rule) => rule.from?.length > 0 &&
        rule.from.every((peer) => named(peer.namespaceSelector) && named(peer.podSelector) && !peer.ipBlock)),
        "the NetworkPolicy admits more than Prometheus's pods in Prometheus's namespace");
  check(rules.every((rule) => rule.ports?.length > 0 &&
        rule.ports.every((p) => p.port === "metrics" || p.port === Number(port))),
        "the NetworkPolicy opens more than the metrics port");

  check(serviceAt.folder !== daemonSetAt.folder && podMonitorAt.folder !== daemonSetAt.folder,
        "the Service or PodMonitor comes with the DaemonSet, so both could be applied");
  check(selects(service.spec.selector), "Service selector misses the pods");
  check(service.metadata.annotations?.["prometheus.io/scrape"] === "true" &&
        service.metadata.annotations?.["prometheus.io/port"] === port, "Service scrape annotations wrong");
  check(service.spec.ports[0].targetPort === "metrics", "Service does not target the metrics port");
  check(selects(podMonitor.spec.selector.matchLabels), "PodMonitor selector misses the pods");
  check(podMonitor.spec.podMetricsEndpoints[0].port === "metrics", "PodMonitor does not scrape the metrics port");
  await startsWith(container.args);
}
for (const failure of failures) console.error(`FAIL ${failure}`);
if (failures.length) process.exit(1);
console.log(`${Object.keys(objects).length} manifests valid in ${folders.join(", ")}: ` +
            `${Object.keys(objects).join(", ")}; the exporter starts with the DaemonSet's arguments`);

// The port of the exporter's default address, from its --help.
function defaultPort() {
  const help = spawnSync(exporter, ["--help"], { encoding: "utf8" });
  const line = (help.stdout ?? "").split("\n").find((l) => l.includes("--web.listen-address"));
  const port = line?.match(/:(\d+)\b/)?.[1];
  check(port, `no default address in ${exporter} --help`);
  return port;
}

// The DaemonSet's arguments with the address on a free loopback port, so that
// nothing else on the machine decides the outcome: the exporter must take
// them and become ready as the DaemonSet's probe sees it (a TCP connection to
// the address it announces). No timer: on a loaded machine the start may take
// long, and the test's own limit ends a hang. A failure to bind is told apart
// from refused arguments.
function startsWith(args) {
  const listen = /^--(listen|web\.listen-address)=/;
  const child = spawn(exporter, [...args.filter((a) => !listen.test(a)), "--web.listen-address=127.0.0.1:0"],
                      { stdio: ["ignore", "ignore", "pipe"] });
  let errors = "";
  let probing = false;
  let done = false;
  return new Promise((resolve) => {
    const finish = (failure) => {
      if (done) return;
      done = true;
      child.removeAllListeners("exit");
      child.stderr.removeAllListeners("data");
      child.kill();
      if (failure) failures.push(failure);
      resolve();
    };
    child.stderr.on("data", (data) => {
      errors += data;
      const serving = errors.match(/serving https?:\/\/127\.0\.0\.1:(\d+)\//);
      if (!serving || probing) return;
      probing = true;
      const probe = connect({ host: "127.0.0.1", port: Number(serving[1]) });
      probe.on("connect", () => { probe.destroy(); finish(null); });
      probe.on("error", (error) =>
        finish(`the exporter announced port ${serving[1]} but refused a connection: ${error.message}`));
    });
    child.on("error", (error) => finish(`cannot run ${exporter}: ${error.message}`));
    child.on("exit", (status) => finish(/cannot listen/.test(errors)
      ? `the exporter could not bind a free loopback port: ${errors.trim()}`
      : `the exporter refuses the DaemonSet's arguments (status ${status}): ${errors.trim()}`));
  });
}
