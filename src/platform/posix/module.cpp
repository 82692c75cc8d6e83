#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <clocale>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/module.h"

std::string moduleFilePath() {
  std::vector<char> buffer(256);
  for (;;) {
    ssize_t length = readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (length < 0) return {};
    if (static_cast<size_t>(length) < buffer.size()) return std::string(buffer.data(), length);
    buffer.resize(buffer.size() * 2);
  }
}

// Executables here carry no version resource: the program's own file has the
// version it was built as, every other file has none.
int readFileVersion(const char* path, uint32_t* mostSignificant, uint32_t* leastSignificant) {
  if (path == nullptr || mostSignificant == nullptr || leastSignificant == nullptr) {
    errno = EINVAL;
    return 0;
  }
  struct stat file;
  if (stat(path, &file) != 0) return 0;
  struct stat self;
  if (stat("/proc/self/exe", &self) != 0) return 0;
  if (file.st_dev != self.st_dev || file.st_ino != self.st_ino) {
    errno = ENODATA;
    return 0;
  }
  *mostSignificant = (uint32_t{TARVOLIN_VERSION_MAJOR} << 16) | uint32_t{TARVOLIN_VERSION_MINOR};
  *leastSignificant = (uint32_t{TARVOLIN_VERSION_PATCH} << 16) | uint32_t{TARVOLIN_VERSION_TWEAK};
  return 1;
}

int readModuleVersion(uint32_t* mostSignificant, uint32_t* leastSignificant) {
  std::string path = moduleFilePath();
  return readFileVersion(path.c_str(), mostSignificant, leastSignificant);
}

namespace {

struct LanguageId {
  const char* locale;  // language, or language_TERRITORY
  uint16_t id;
};

// Windows language identifiers: primary language in the low 10 bits,
// sublanguage above. Rows are tried in order, so a language's territories
// come before its bare row.
const LanguageId LANGUAGE_IDS[] = {
    {"ar", 0x0401},    {"bg", 0x0402},    {"ca", 0x0403},    {"zh_TW", 0x0404}, {"zh_HK", 0x0C04},
    {"zh_SG", 0x1004}, {"zh_MO", 0x1404}, {"zh", 0x0804},    {"cs", 0x0405},    {"da", 0x0406},
    {"de_CH", 0x0807}, {"de_AT", 0x0C07}, {"de", 0x0407},    {"el", 0x0408},    {"en_GB", 0x0809},
    {"en_AU", 0x0C09}, {"en_CA", 0x1009}, {"en_NZ", 0x1409}, {"en_IE", 0x1809}, {"en", 0x0409},
    {"es_MX", 0x080A}, {"es", 0x0C0A},    {"fi", 0x040B},    {"fr_BE", 0x080C}, {"fr_CA", 0x0C0C},
    {"fr_CH", 0x100C}, {"fr", 0x040C},    {"he", 0x040D},    {"hu", 0x040E},    {"is", 0x040F},
    {"it_CH", 0x0810}, {"it", 0x0410},    {"ja", 0x0411},    {"ko", 0x0412},    {"nl_BE", 0x0813},
    {"nl", 0x0413},    {"nb", 0x0414},    {"no", 0x0414},    {"nn", 0x0814},    {"pl", 0x0415},
    {"pt_BR", 0x0416}, {"pt", 0x0816},    {"ro", 0x0418},    {"ru", 0x0419},    {"hr", 0x041A},
    {"sk", 0x041B},    {"sq", 0x041C},    {"sv", 0x041D},    {"th", 0x041E},    {"tr", 0x041F},
    {"ur", 0x0420},    {"id", 0x0421},    {"uk", 0x0422},    {"be", 0x0423},    {"sl", 0x0424},
    {"et", 0x0425},    {"lv", 0x0426},    {"lt", 0x0427},    {"fa", 0x0429},    {"vi", 0x042A},
    {"hi", 0x0439},    {"ms", 0x043E},
};

constexpr uint16_t ENGLISH_UNITED_STATES = 0x0409;

bool localeNames(const char* name, const char* prefix) {
  size_t length = strlen(prefix);
  if (strncmp(name, prefix, length) != 0) return false;
  char next = name[length];
  return next == '\0' || next == '_' || next == '.' || next == '@';
}

bool isPlainLocale(const char* name) {
  return name == nullptr || *name == '\0' || strcmp(name, "C") == 0 || strcmp(name, "POSIX") == 0 ||
         strncmp(name, "C.", 2) == 0;
}

// The language of messages as the environment names it, even when the
// locale itself is not installed.
const char* messagesLocaleName() {
  const char* name = setlocale(LC_MESSAGES, nullptr);
  if (!isPlainLocale(name)) return name;
  for (const char* variable : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* value = getenv(variable);
    if (value != nullptr && *value != '\0') return value;
  }
  return nullptr;
}

}  // namespace

uint16_t systemDefaultLanguageId() {
  const char* name = messagesLocaleName();
  if (isPlainLocale(name)) return ENGLISH_UNITED_STATES;
  for (const LanguageId& language : LANGUAGE_IDS) {
    if (localeNames(name, language.locale)) return language.id;
  }
  return ENGLISH_UNITED_STATES;
}
