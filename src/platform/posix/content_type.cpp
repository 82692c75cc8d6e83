#include "platform/content_type.h"

#include <cstdio>

namespace {

const char* const SYSTEM_MIME_TYPES = "/etc/mime.types";

bool isBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// The words of a line up to a comment.
std::string nextWord(const std::string& line, size_t& at) {
  while (at < line.size() && isBlank(line[at])) ++at;
  if (at >= line.size() || line[at] == '#') return std::string();
  size_t start = at;
  while (at < line.size() && !isBlank(line[at])) ++at;
  return line.substr(start, at - start);
}

bool readLine(FILE* file, std::string& line) {
  line.clear();
  char piece[512];
  while (fgets(piece, sizeof piece, file)) {
    line += piece;
    if (!line.empty() && line.back() == '\n') return true;
  }
  return !line.empty();
}

}  // namespace

bool lookupContentType(const std::string& mimeTypesPath, const std::string& extension,
                       std::string& contentType) {
  // The file lists extensions without their dot. One holding a path
  // separator names no registry key on Windows, and nothing here either.
  if (extension.size() < 2 || extension[0] != '.' ||
      extension.find_first_of("\\/") != std::string::npos)
    return false;
  const std::string wanted = extension.substr(1);

  FILE* file = fopen(mimeTypesPath.c_str(), "re");
  if (!file) return false;
  bool found = false;
  std::string line;
  while (!found && readLine(file, line)) {
    size_t at = 0;
    std::string type = nextWord(line, at);
    if (type.empty()) continue;
    for (std::string word = nextWord(line, at); !word.empty(); word = nextWord(line, at)) {
      if (word == wanted) {
        found = true;
        break;
      }
    }
    // A type too long for the registry's buffer would not be read there.
    if (found && type.size() >= CONTENT_TYPE_CAPACITY) {
      fclose(file);
      return false;
    }
    if (found) contentType = type;
  }
  fclose(file);
  return found;
}

bool lookupContentType(const std::string& extension, std::string& contentType) {
  return lookupContentType(SYSTEM_MIME_TYPES, extension, contentType);
}
