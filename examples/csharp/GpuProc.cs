using System;
using System.Runtime.InteropServices;
using System.Text;

// The library answered the empty text: its GPU counter query could not be
// opened (it says why on standard error).
public class GpuProcException : Exception {
  public GpuProcException(string call)
      : base(call + ": gpuproc could not open its GPU counter query") {}
}

public static class GpuProc {
  // "gpuproc": .NET on Windows loads gpuproc.dll, Mono and .NET on Linux
  // libgpuproc.so.
  [DllImport("gpuproc", CallingConvention = CallingConvention.Cdecl)]
  private static extern IntPtr GetGPUDataForProcess(uint processId);
  [DllImport("gpuproc", CallingConvention = CallingConvention.Cdecl)]
  private static extern IntPtr GetGPUDataForAllProcesses();
  [DllImport("gpuproc", CallingConvention = CallingConvention.Cdecl)]
  private static extern IntPtr GetGPUSnapshotForAllProcesses();

  // The library serves one call at a time and its text is replaced by the
  // next call: each call and the copy of its text happen under this lock.
  private static readonly object CallLock = new object();

  // One process's JSON report ("null" for a process without GPU use); the
  // library also prints it on standard output.
  public static string ForProcess(uint processId) {
    lock (CallLock) return Copied(GetGPUDataForProcess(processId), "GetGPUDataForProcess");
  }

  // Every process's records ("[]" when there is none); prints nothing.
  public static string ForAllProcesses() {
    lock (CallLock) return Copied(GetGPUDataForAllProcesses(), "GetGPUDataForAllProcesses");
  }

  // One reading without waiting: "Time", "Adapters" and "Processes".
  public static string Snapshot() {
    lock (CallLock) return Copied(GetGPUSnapshotForAllProcesses(), "GetGPUSnapshotForAllProcesses");
  }

  // The library's UTF-8 text, copied; the empty text throws.
  private static string Copied(IntPtr text, string call) {
    int length = 0;
    if (text != IntPtr.Zero) {
      while (Marshal.ReadByte(text, length) != 0) length++;
    }
    if (length == 0) throw new GpuProcException(call);
    byte[] bytes = new byte[length];
    Marshal.Copy(text, bytes, 0, length);
    return Encoding.UTF8.GetString(bytes);
  }
}
