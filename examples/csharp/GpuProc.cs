using System;
using System.Runtime.InteropServices;
using System.Text;

public static class GpuProc {
  // "gpuproc": .NET on Windows loads gpuproc.dll, Mono and .NET on Linux
  // libgpuproc.so.
  [DllImport("gpuproc", CallingConvention = CallingConvention.Cdecl)]
  private static extern IntPtr GetGPUDataForProcess(uint processId);

  // The JSON report ("null" for a process without GPU use), or null when the
  // counters could not be opened. The library's text is copied at once: it
  // is replaced by the next call.
  public static string Report(uint processId) {
    IntPtr text = GetGPUDataForProcess(processId);
    int length = 0;
    while (Marshal.ReadByte(text, length) != 0) length++;
    if (length == 0) return null;
    byte[] bytes = new byte[length];
    Marshal.Copy(text, bytes, 0, length);
    return Encoding.UTF8.GetString(bytes);
  }
}
