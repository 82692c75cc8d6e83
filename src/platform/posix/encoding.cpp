#include "platform/encoding.h"

#include <errno.h>
#include <iconv.h>
#include <langinfo.h>

#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <utility>

#include "platform/posix/code_set.h"

// The ANSI code page is the current locale's character set. Text goes through
// UTF-32 as the Windows conversions go through UTF-16, so that bytes the source
// cannot decode and characters the target cannot hold are told apart and
// replaced as a code page conversion replaces them. The UTF-32 text is passed
// on a block at a time: whole, it would be four times the size of a reply
// that may be megabytes long.

namespace {

const char* const WIDE = "UTF-32LE";

struct Converter {
  iconv_t handle;
  explicit Converter(const char* to, const char* from) : handle(iconv_open(to, from)) {}
  ~Converter() {
    if (ok()) iconv_close(handle);
  }
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;
  bool ok() const { return handle != reinterpret_cast<iconv_t>(-1); }
};

// Converts `size` bytes at `data` and hands each converted block to
// `sink(block, blockSize)`. Where the conversion stops at bytes it cannot
// take, `skip` bytes of input are passed over and `replacement` goes out in
// their place. With `last`, a closing shift sequence follows the text.
template <typename Sink>
void convert(Converter& converter, const char* data, size_t size, size_t skip,
             const std::string& replacement, bool last, Sink&& sink) {
  char* in = const_cast<char*>(data);
  size_t inLeft = size;
  char out[4096];
  for (bool flushed = false; !flushed;) {
    char* next = out;
    size_t outLeft = sizeof out;
    // Once the input is used up, a last call writes any closing shift
    // sequence.
    bool flushing = inLeft == 0;
    if (flushing && !last) break;
    size_t result = flushing ? iconv(converter.handle, nullptr, nullptr, &next, &outLeft)
                             : iconv(converter.handle, &in, &inLeft, &next, &outLeft);
    sink(out, static_cast<size_t>(next - out));
    if (result != static_cast<size_t>(-1)) {
      flushed = flushing;
    } else if (errno != E2BIG) {
      if (flushing) break;
      sink(replacement.data(), replacement.size());
      size_t passed = inLeft < skip ? inLeft : skip;
      in += passed;
      inLeft -= passed;
      iconv(converter.handle, nullptr, nullptr, nullptr, nullptr);
    }
  }
}

// U+FFFD, the character that stands for bytes that could not be decoded.
const std::string REPLACEMENT_CHARACTER("\xfd\xff\x00\x00", 4);

// A character the target lacks becomes "?", a code page's default character.
const std::string DEFAULT_CHARACTER("?");

// Opening a converter costs far more than converting a short text, and a
// reply of many NUL-separated pieces is converted a piece at a time: each
// pair of character sets keeps its converter, reset to its initial state for
// every use.
Converter& keptConverter(const char* to, const char* from) {
  static std::map<std::pair<std::string, std::string>, std::unique_ptr<Converter>> kept;
  std::unique_ptr<Converter>& slot = kept[{to, from}];
  if (!slot) slot.reset(new Converter(to, from));
  if (slot->ok()) iconv(slot->handle, nullptr, nullptr, nullptr, nullptr);
  return *slot;
}

// Up to the first NUL, like a conversion of a NUL-terminated text, unless
// `whole`.
void reencode(const char* from, const char* to, const std::string& source, std::string& destination,
              bool whole = false) {
  if (source.empty()) return;
  Converter& decoder = keptConverter(WIDE, from);
  Converter& encoder = keptConverter(to, WIDE);
  std::string converted;
  if (decoder.ok() && encoder.ok()) {
    size_t length = whole ? source.size() : std::strlen(source.c_str());
    converted.reserve(length);
    // The decoder writes whole UTF-32 characters, so each block stands alone.
    auto encodeBlock = [&](const char* wide, size_t wideSize) {
      convert(encoder, wide, wideSize, 4, DEFAULT_CHARACTER, false,
              [&](const char* bytes, size_t count) { converted.append(bytes, count); });
    };
    convert(decoder, source.data(), length, 1, REPLACEMENT_CHARACTER, true, encodeBlock);
    convert(encoder, nullptr, 0, 4, DEFAULT_CHARACTER, true,
            [&](const char* bytes, size_t count) { converted.append(bytes, count); });
  }
  // A NUL the target produced ends the text too.
  if (!whole) converted.resize(std::strlen(converted.c_str()));
  destination.swap(converted);
}

}  // namespace

const char* ansiCodeSet() {
  const char* codeSet = nl_langinfo(CODESET);
  for (const char* ascii : {"ANSI_X3.4-1968", "ASCII", "US-ASCII", "646"}) {
    if (strcmp(codeSet, ascii) == 0) return "UTF-8";
  }
  return codeSet;
}

void ansiToUtf8(const std::string& source, std::string& destination) {
  reencode(ansiCodeSet(), "UTF-8", source, destination);
}

void utf8ToAnsi(const std::string& source, std::string& destination) {
  reencode("UTF-8", ansiCodeSet(), source, destination);
}

void utf8ToAnsiWhole(const std::string& source, std::string& destination) {
  reencode("UTF-8", ansiCodeSet(), source, destination, true);
}
