// gpuproc-example PID: prints the compact report of one process.
using System;

static class Example {
  static int Main(string[] args) {
    uint processId;
    if (args.Length != 1 || !uint.TryParse(args[0], out processId)) {
      Console.Error.WriteLine("usage: example.exe PID");
      return 2;
    }
    string report = GpuProc.Report(processId);
    if (report == null) return 1;
    Console.WriteLine(report);
    return 0;
  }
}
