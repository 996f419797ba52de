#include "exposition_text.h"

#include <array>
#include <charconv>
#include <cmath>

namespace gpuproc {

void AppendFamilyHeader(std::string& out, std::string_view name, std::string_view help,
                        SampleType type) {
  out.append("# HELP ").append(name).append(" ").append(help).append("\n# TYPE ").append(name);
  out.append(type == SampleType::kCounter ? " counter\n" : " gauge\n");
}

void AppendLabelValue(std::string& out, std::string_view value) {
  while (!value.empty()) {
    const std::size_t special = value.find_first_of("\\\"\n");
    out.append(value.substr(0, special));
    if (special == std::string_view::npos) return;
    out.append(value[special] == '\n' ? "\\n" : value[special] == '"' ? "\\\"" : "\\\\");
    value.remove_prefix(special + 1);
  }
}

void AppendSampleValue(std::string& out, double value) {
  if (std::isnan(value)) {
    out.append("Nan");
  } else if (std::isinf(value)) {
    out.append(value < 0 ? "-Inf" : "+Inf");
  } else {
    std::array<char, 32> buffer;
    const auto written = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value,
                                       std::chars_format::general, 16);
    out.append(buffer.data(), written.ptr);
  }
}

}  // namespace gpuproc
