#include "formpost/form_request.h"

#include <new>
#include <stdexcept>

#include "platform/content_type.h"
#include "platform/encoding.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/text.h"

namespace {

const char* const DEFAULT_CONTENT_TYPE = "application/octet-stream";

struct KnownImageType {
  const char* extension;
  const char* contentType;
};

// Decided here rather than by the system, in this order.
const KnownImageType KNOWN_IMAGE_TYPES[] = {
    {".gif", "image/gif"},  {".jpg", "image/jpeg"}, {".jpeg", "image/jpeg"},
    {".jpe", "image/jpeg"}, {".png", "image/png"},
};

std::string textOrEmpty(const char* text) {
  return text ? std::string(text) : std::string();
}

}  // namespace

std::string contentTypeForPath(const std::string& path) {
  // The last dot of the whole path, so a dot in a directory name followed by
  // none in the file name gives an "extension" holding a backslash, which the
  // system knows nothing about.
  size_t dot = findLastChar(path, '.');
  if (dot == std::string::npos) return DEFAULT_CONTENT_TYPE;
  const std::string extension = toLowerAnsi(path.substr(dot));
  for (const KnownImageType& known : KNOWN_IMAGE_TYPES)
    if (extension == known.extension) return known.contentType;
  std::string recorded;
  if (lookupContentType(extension, recorded)) return recorded;
  return DEFAULT_CONTENT_TYPE;
}

template <typename T>
bool FieldList<T>::append(const T& item) {
  if (items.size() == items.capacity()) {
    size_t capacity = items.capacity() == 0 ? 1 : items.capacity() * 2;
    try {
      items.reserve(capacity);
    } catch (const std::bad_alloc&) {
      return false;
    } catch (const std::length_error&) {
      return false;
    }
  }
  items.push_back(item);
  return true;
}

template struct FieldList<TextField>;
template struct FieldList<FileField>;

FileField FileField::fromPath(const std::string& fieldName, const std::string& path) {
  FileField field;
  field.path = path;
  field.fieldName = fieldName;
  // Only the name goes out, never the folders around it: on Windows
  // "out/bin/tool.png" is one name, on POSIX it is "tool.png".
  field.fileName = lastPathSegment(path);
  field.size = probeSize(path);
  field.contentType = contentTypeForPath(path);
  ansiToUtf8(field.fileName, field.fileNameUtf8);
  return field;
}

bool FileField::openContent() {
  contentHandle = openFileForReading(path);
  return contentHandle != -1;
}

bool FileField::readContent(void* buffer, uint32_t capacity, int64_t& count) {
  if (contentHandle == -1) return false;
  count = readFile(contentHandle, buffer, capacity);
  return count != -1;
}

void FileField::closeContent() {
  if (contentHandle != -1) closeFile(contentHandle);
  contentHandle = -1;
}

bool FormRequest::addTextField(const char* name, const char* value) {
  return textFields.append(TextField{textOrEmpty(name), textOrEmpty(value)});
}

bool FormRequest::addFileField(const char* fieldName, const char* path) {
  const std::string filePath = textOrEmpty(path);
  if (!fileExists(filePath)) return false;
  return fileFields.append(FileField::fromPath(textOrEmpty(fieldName), filePath));
}

void FormRequest::setReplyFile(const char* path) {
  replyFile = textOrEmpty(path);
}
