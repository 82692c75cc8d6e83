#include "platform/encoding.h"

#include <errno.h>
#include <iconv.h>
#include <langinfo.h>

#include <string>

// The ANSI code page is the current locale's character set. Text goes through
// UTF-32 as the Windows conversions go through UTF-16, so that bytes the source
// cannot decode and characters the target cannot hold are told apart and
// replaced as a code page conversion replaces them.

namespace {

const char* const WIDE = "UTF-32LE";

struct Converter {
  iconv_t handle;
  explicit Converter(const char* to, const char* from) : handle(iconv_open(to, from)) {}
  ~Converter() {
    if (ok()) iconv_close(handle);
  }
  bool ok() const { return handle != reinterpret_cast<iconv_t>(-1); }
};

// Converts `input` from one character set to another. Where the conversion
// stops at bytes it cannot take, `skip` bytes of input are passed over and
// `replacement` goes out in their place.
std::string convert(const char* to, const char* from, const std::string& input, size_t skip,
                    const std::string& replacement) {
  std::string output;
  Converter converter(to, from);
  if (!converter.ok()) return output;
  char* in = const_cast<char*>(input.data());
  size_t inLeft = input.size();
  char out[1024];
  for (bool flushed = false; !flushed;) {
    char* next = out;
    size_t outLeft = sizeof out;
    // Once the input is used up, a last call writes any closing shift
    // sequence.
    bool flushing = inLeft == 0;
    size_t result = flushing ? iconv(converter.handle, nullptr, nullptr, &next, &outLeft)
                             : iconv(converter.handle, &in, &inLeft, &next, &outLeft);
    output.append(out, static_cast<size_t>(next - out));
    if (result != static_cast<size_t>(-1)) {
      flushed = flushing;
    } else if (errno != E2BIG) {
      if (flushing) break;
      output += replacement;
      size_t passed = inLeft < skip ? inLeft : skip;
      in += passed;
      inLeft -= passed;
      iconv(converter.handle, nullptr, nullptr, nullptr, nullptr);
    }
  }
  return output;
}

// U+FFFD, the character that stands for bytes that could not be decoded.
const std::string REPLACEMENT_CHARACTER("\xfd\xff\x00\x00", 4);

std::string decode(const char* charset, const std::string& text) {
  return convert(WIDE, charset, text, 1, REPLACEMENT_CHARACTER);
}

// A character the target lacks becomes "?", a code page's default character.
std::string encode(const char* charset, const std::string& wide) {
  return convert(charset, WIDE, wide, 4, "?");
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
