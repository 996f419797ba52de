// gpuproc_gpu_processes_tree N: writes a tree of N processes, each a GPU
// client in a pod, under $TMPDIR and prints its root (for the exporter's
// memory script, which removes it).
#include <cstdio>
#include <cstdlib>

#include "synthetic_tree.h"

int main(int argc, char** argv) {
  const int processes = argc > 1 ? std::atoi(argv[1]) : 0;
  if (processes <= 0) {
    std::fprintf(stderr, "usage: gpuproc_gpu_processes_tree PROCESSES\n");
    return 2;
  }
  std::printf("%s\n", gpuproc::bench::MakeGpuProcessesTree(processes).root.c_str());
  return 0;
}
