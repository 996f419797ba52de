// Pieces of Prometheus's text exposition format (version 0.0.4), written
// straight into the scrape's text: a family's HELP and TYPE lines, label
// values escaped, sample values in the forms Prometheus's own clients write.
#pragma once

#include <string>
#include <string_view>

namespace gpuproc {

enum class SampleType { kGauge, kCounter };

// "# HELP name help\n# TYPE name gauge|counter\n". `help` is the exporter's
// own text, never escaped.
void AppendFamilyHeader(std::string& out, std::string_view name, std::string_view help,
                        SampleType type);

// `value` with backslash, double quote and newline escaped, so that no
// label value can end its quotes or its line early. Validity of the UTF-8
// is LabelText's job, done before.
void AppendLabelValue(std::string& out, std::string_view value);

// 16 significant digits, the shorter of fixed and exponent form ("%.16g"),
// whatever the locale; "Nan", "+Inf", "-Inf" as the format spells them.
void AppendSampleValue(std::string& out, double value);

}  // namespace gpuproc
