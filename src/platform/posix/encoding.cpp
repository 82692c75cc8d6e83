#include "platform/encoding.h"

#include <errno.h>
#include <iconv.h>
#include <langinfo.h>

#include <cstdint>
#include <cstring>
#include <vector>

// The ANSI code page is the current locale's character set. Text goes through
// UTF-32 as the Windows conversions go through UTF-16, so that bytes the source
// cannot decode and characters the target cannot hold are told apart and
// replaced as a code page conversion replaces them.

namespace {

const char* const WIDE = "UTF-32LE";
const uint32_t REPLACEMENT_CHARACTER = 0xFFFD;

struct Converter {
  iconv_t handle;
  explicit Converter(const char* to, const char* from) : handle(iconv_open(to, from)) {}
  ~Converter() {
    if (ok()) iconv_close(handle);
  }
  bool ok() const { return handle != reinterpret_cast<iconv_t>(-1); }
};

void appendWide(std::string& wide, uint32_t ch) {
  for (int i = 0; i < 4; ++i) wide += static_cast<char>((ch >> (8 * i)) & 0xFF);
}

// Decodes `text` into UTF-32LE; each byte that starts no valid character
// becomes U+FFFD.
std::string decode(const char* charset, const std::string& text) {
  std::string wide;
  Converter converter(WIDE, charset);
  if (!converter.ok()) return wide;
  char* in = const_cast<char*>(text.data());
  size_t inLeft = text.size();
  char out[1024];
  while (inLeft > 0) {
    char* next = out;
    size_t outLeft = sizeof out;
    size_t result = iconv(converter.handle, &in, &inLeft, &next, &outLeft);
    wide.append(out, static_cast<size_t>(next - out));
    if (result == static_cast<size_t>(-1) && errno != E2BIG) {
      appendWide(wide, REPLACEMENT_CHARACTER);
      ++in;
      --inLeft;
      iconv(converter.handle, nullptr, nullptr, nullptr, nullptr);
    }
  }
  return wide;
}

// Encodes UTF-32LE into `charset`; a character the target lacks becomes "?".
std::string encode(const char* charset, const std::string& wide) {
  std::string text;
  Converter converter(charset, WIDE);
  if (!converter.ok()) return text;
  char* in = const_cast<char*>(wide.data());
  size_t inLeft = wide.size();
  char out[1024];
  while (inLeft > 0) {
    char* next = out;
    size_t outLeft = sizeof out;
    size_t result = iconv(converter.handle, &in, &inLeft, &next, &outLeft);
    text.append(out, static_cast<size_t>(next - out));
    if (result == static_cast<size_t>(-1) && errno != E2BIG) {
      text += '?';
      size_t skip = inLeft < 4 ? inLeft : 4;
      in += skip;
      inLeft -= skip;
      iconv(converter.handle, nullptr, nullptr, nullptr, nullptr);
    }
  }
  // Flush any closing shift sequence of a stateful encoding.
  char* next = out;
  size_t outLeft = sizeof out;
  iconv(converter.handle, nullptr, nullptr, &next, &outLeft);
  text.append(out, static_cast<size_t>(next - out));
  return text;
}

void reencode(const char* from, const char* to, const std::string& source,
              std::string& destination) {
  if (source.empty()) return;
  // Like a conversion of a NUL-terminated text: a NUL ends it.
  std::string text(source.c_str());
  std::string converted = encode(to, decode(from, text));
  destination.assign(converted.c_str());
}

}  // namespace

void ansiToUtf8(std::string source, std::string& destination) {
  reencode(nl_langinfo(CODESET), "UTF-8", source, destination);
}

void utf8ToAnsi(std::string source, std::string& destination) {
  reencode("UTF-8", nl_langinfo(CODESET), source, destination);
}
