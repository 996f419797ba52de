// UTF-16 <-> UTF-8 for the Linux back end, with the replacement rules the
// Windows conversions follow: nothing ever fails, an ill-formed unit becomes
// U+FFFD.
#pragma once

#include <string>
#include <string_view>

namespace gpuproc {

// WideCharToMultiByte(CP_UTF8, 0, ...) semantics: with a null `out` (or size
// 0) the number of bytes needed; otherwise the number written, or 0 when
// `outSize` is too small (nothing is then written past `outSize`).
int Utf16ToUtf8(const char16_t* text, int length, char* out, int outSize);
std::string Utf16ToUtf8(std::u16string_view text);

// Bytes from the file system are not always UTF-8: each byte that does not
// start a well-formed sequence becomes U+FFFD.
std::u16string Utf8ToUtf16(std::string_view text);

}  // namespace gpuproc
