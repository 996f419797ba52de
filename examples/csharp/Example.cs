// gpuproc-example PID | --all | --snapshot: prints the compact report of one
// process, of every process, or one snapshot.
using System;

static class Example {
  static int Main(string[] args) {
    uint processId = 0;
    if (args.Length != 1 ||
        (args[0] != "--all" && args[0] != "--snapshot" && !uint.TryParse(args[0], out processId))) {
      Console.Error.WriteLine("usage: example.exe PID | --all | --snapshot");
      return 2;
    }
    try {
      string report = args[0] == "--all"        ? GpuProc.ForAllProcesses()
                      : args[0] == "--snapshot" ? GpuProc.Snapshot()
                                                : GpuProc.ForProcess(processId);
      Console.WriteLine(report);
      return 0;
    } catch (GpuProcException e) {
      Console.Error.WriteLine(e.Message);
      return 1;
    }
  }
}
