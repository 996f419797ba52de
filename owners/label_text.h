// Label values as Prometheus accepts them: valid UTF-8 of a sane length.
// One invalid byte in a scraped label value makes Prometheus reject the
// whole scrape, so every value that comes from outside the exporter (a
// cgroup path, a process or adapter name) passes through here.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace gpuproc {

// Label values longer than this are cut (at a character boundary): a unit
// or process name is far shorter, and a longer one only bloats every series.
constexpr std::size_t kMaxLabelValueBytes = 256;

// `text` with each invalid UTF-8 sequence (stray continuation bytes,
// overlong forms, surrogates, code points above U+10FFFF, a sequence cut
// short) replaced by U+FFFD, cut to at most `maxBytes` bytes without
// splitting a character.
std::string LabelText(std::string_view text, std::size_t maxBytes = kMaxLabelValueBytes);

}  // namespace gpuproc
