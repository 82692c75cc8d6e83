#include <climits>
#include <clocale>
#include <cstring>
#include <cwchar>
#include <cwctype>

#include <langinfo.h>

#include "platform/ascii.h"
#include "platform/posix/code_set.h"
#include "platform/text.h"
#include "platform/text_chars.h"

void initAnsiCodePage() {
  setlocale(LC_ALL, "");
  // In a plain ASCII locale the characters are UTF-8's too, so that a
  // search through a name steps over whole UTF-8 characters. Where the system
  // has no such locale, the conversions still take the text as UTF-8.
  if (strcmp(ansiCodeSet(), nl_langinfo(CODESET)) != 0) {
    if (setlocale(LC_CTYPE, "C.UTF-8") == nullptr) setlocale(LC_CTYPE, "C.utf8");
  }
}

// The locale's encodings that matter here (Shift_JIS, GBK, EUC, UTF-8) carry
// no shift state, so every character is decoded from a fresh state.
size_t ansiCharLength(const std::string& text, size_t offset) {
  mbstate_t state{};
  size_t length = mbrlen(text.data() + offset, text.size() - offset, &state);
  if (length == static_cast<size_t>(-1) || length == static_cast<size_t>(-2) || length == 0) {
    return 1;
  }
  return length;
}

void lowerAnsiChar(char* bytes, size_t length) {
  // ASCII letters follow ASCII rules in every locale, as on Windows: in a
  // Turkish locale towlower would make "I" a dotless i, and "-I" no option.
  if (length == 1 && static_cast<unsigned char>(bytes[0]) < 0x80) {
    bytes[0] = asciiLower(bytes[0]);
    return;
  }
  mbstate_t state{};
  wchar_t wide = 0;
  size_t decoded = mbrtowc(&wide, bytes, length, &state);
  if (decoded != length) return;
  wint_t lower = towlower(static_cast<wint_t>(wide));
  if (lower == static_cast<wint_t>(wide)) return;
  char encoded[MB_LEN_MAX];
  state = mbstate_t{};
  size_t encodedLength = wcrtomb(encoded, static_cast<wchar_t>(lower), &state);
  if (encodedLength != length) return;
  memcpy(bytes, encoded, length);
}
