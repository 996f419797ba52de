// `gpuproc top`: the interactive view. Returns the command's exit status.
#pragma once

namespace gpuproc::tool {

// argv[0] is "top"; the rest are its options.
int RunTopCommand(int argc, char** argv);

}  // namespace gpuproc::tool
