#include "verify/zip_layout.h"

#include <algorithm>

#include "platform/ascii.h"
#include "verify/pe_layout.h"

namespace {

constexpr uint32_t LOCAL_SIGNATURE = 0x04034b50;
constexpr uint32_t CENTRAL_SIGNATURE = 0x02014b50;
constexpr uint32_t END_SIGNATURE = 0x06054b50;
constexpr uint32_t ZIP64_END_SIGNATURE = 0x06064b50;
constexpr uint32_t ZIP64_LOCATOR_SIGNATURE = 0x07064b50;
constexpr size_t LOCAL_HEADER = 30;
constexpr size_t CENTRAL_RECORD = 46;
constexpr size_t END_RECORD = 22;
constexpr size_t ZIP64_END_RECORD = 56;
constexpr size_t ZIP64_LOCATOR = 20;

// Extra fields: zip64 sizes, and the time stamps and Unix owner that
// Info-ZIP's zip adds; a real set stays far below this.
constexpr size_t MAX_EXTRA = 96;
constexpr uint16_t ZIP64_FIELD = 0x0001;
constexpr uint16_t TIME_FIELD = 0x5455;
constexpr size_t MAX_TIME_FIELD = 13;
constexpr uint16_t UNIX_OWNER_FIELD = 0x7875;
constexpr size_t MAX_UNIX_OWNER_FIELD = 20;

constexpr uint16_t FLAG_DEFLATE_OPTIONS = 0x0006;
constexpr uint16_t FLAG_UTF8 = 0x0800;
constexpr uint16_t STORED = 0;
constexpr uint16_t DEFLATED = 8;
constexpr uint16_t MAX_VERSION_NEEDED = 45;  // zip64
constexpr uint8_t HOST_MSDOS = 0;
constexpr uint8_t HOST_UNIX = 3;
// MS-DOS attributes of a plain file: read-only, archive, normal.
constexpr uint32_t PLAIN_FILE_ATTRIBUTES = 0x01 | 0x20 | 0x80;
constexpr uint32_t UNIX_TYPE_MASK = 0xF000;
constexpr uint32_t UNIX_REGULAR = 0x8000;
constexpr uint32_t UNIX_PERMISSIONS = 0777;

constexpr uint32_t SATURATED32 = 0xFFFFFFFF;
constexpr uint16_t SATURATED16 = 0xFFFF;

uint64_t littleEndian64(const uint8_t* at) {
  return littleEndian32(at) | static_cast<uint64_t>(littleEndian32(at + 4)) << 32;
}

bool mayUseZip64(uint64_t a, uint64_t b, uint64_t c) {
  return std::max(a, std::max(b, c)) >= ZIP64_FROM;
}

// The fields of a central record or a local header that zip64 may widen:
// the sizes, then (central only) the offset, in that order.
struct WideFields {
  uint64_t* values[3];
  size_t count;
};

// Walks an extra block: allowed kinds only, each once, filling it exactly.
// Widens each saturated field from the zip64 field, which must hold exactly
// those. `local` says whether a local header's rule applies (both sizes).
std::string readExtra(const uint8_t* extra, size_t length, WideFields wide, bool local) {
  size_t saturated = 0;
  for (size_t i = 0; i < wide.count; ++i)
    if (*wide.values[i] == SATURATED32) ++saturated;
  if (local && saturated == 1) return "a local header widens one size only";
  bool seen[3] = {false, false, false};
  size_t at = 0;
  while (at < length) {
    if (length - at < 4) return "its extra field is cut short";
    const uint16_t kind = littleEndian16(extra + at);
    const size_t size = littleEndian16(extra + at + 2);
    const uint8_t* data = extra + at + 4;
    at += 4;
    if (size > length - at) return "its extra field is cut short";
    at += size;
    size_t which = kind == ZIP64_FIELD        ? 0
                   : kind == TIME_FIELD       ? 1
                   : kind == UNIX_OWNER_FIELD ? 2
                                              : 3;
    if (which == 3) return "it holds an extra field of kind " + std::to_string(kind);
    if (seen[which]) return "it holds an extra field twice";
    seen[which] = true;
    if (kind == TIME_FIELD && (size == 0 || size > MAX_TIME_FIELD))
      return "its time-stamp field is malformed";
    // Info-ZIP leaves the owner out of the central record's copy.
    if (kind == UNIX_OWNER_FIELD && size > MAX_UNIX_OWNER_FIELD)
      return "its Unix owner field is malformed";
    if (kind != ZIP64_FIELD) continue;
    if (size != 8 * saturated || saturated == 0)
      return "its zip64 field does not hold exactly the fields it widens";
    for (size_t i = 0; i < wide.count; ++i) {
      if (*wide.values[i] != SATURATED32) continue;
      *wide.values[i] = littleEndian64(data);
      data += 8;
    }
  }
  if (saturated != 0 && !seen[0]) return "a saturated field has no zip64 value";
  return "";
}

bool isAsciiAlpha(char ch) {
  return (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z');
}

bool isValidUtf8(const std::string& text) {
  size_t i = 0;
  while (i < text.size()) {
    const unsigned char lead = static_cast<unsigned char>(text[i]);
    size_t follow = lead < 0x80                   ? 0
                    : lead >= 0xC2 && lead < 0xE0 ? 1
                    : lead >= 0xE0 && lead < 0xF0 ? 2
                    : lead >= 0xF0 && lead < 0xF5 ? 3
                                                  : 4;
    if (follow == 4 || text.size() - i <= follow) return false;
    for (size_t k = 1; k <= follow; ++k)
      if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return false;
    i += follow + 1;
  }
  return true;
}

// Names that Windows takes as a device, whatever the extension.
bool isDeviceName(const std::string& name) {
  const std::string stem = asciiLowered(name.substr(0, name.find('.')));
  static const char* const DEVICES[] = {"con", "prn", "aux", "nul"};
  for (const char* device : DEVICES)
    if (stem == device) return true;
  return stem.size() == 4 && (stem.compare(0, 3, "com") == 0 || stem.compare(0, 3, "lpt") == 0) &&
         stem[3] >= '1' && stem[3] <= '9';
}

std::string checkAttributes(uint16_t madeBy, uint32_t external) {
  const uint8_t host = static_cast<uint8_t>(madeBy >> 8);
  if (host != HOST_MSDOS && host != HOST_UNIX)
    return "its attributes are of an unknown system (" + std::to_string(host) + ")";
  if ((external & 0xFFFF & ~PLAIN_FILE_ATTRIBUTES) != 0)
    return "its MS-DOS attributes are not a plain file's";
  const uint32_t mode = external >> 16;
  // MS-DOS writers leave the Unix half empty or fill it as a Unix one does;
  // a Unix writer may leave the file type out.
  if (mode == 0) return "";
  const uint32_t type = mode & UNIX_TYPE_MASK;
  if ((mode & ~(UNIX_TYPE_MASK | UNIX_PERMISSIONS)) != 0 ||
      (type != UNIX_REGULAR && !(type == 0 && host == HOST_UNIX)))
    return "its mode is not a plain file's (a link, folder or special file)";
  return "";
}

}  // namespace

std::string zipNameFault(const std::string& name, bool utf8) {
  if (name.empty()) return "it has no name";
  if (name.size() > MAX_ZIP_NAME) return "its name is longer than 255 bytes";
  bool ascii = true;
  for (char ch : name) {
    const unsigned char byte = static_cast<unsigned char>(ch);
    if (byte < 0x20 || byte == 0x7F) return "its name holds a control character";
    if (byte >= 0x80) ascii = false;
    static const char NOT_IN_NAMES[] = "/\\:*?\"<>|";
    for (const char* bad = NOT_IN_NAMES; *bad; ++bad)
      if (ch == *bad)
        return "its name is not a plain file name (it holds '" + std::string(1, ch) + "')";
  }
  if (!ascii && (!utf8 || !isValidUtf8(name)))
    return "its name is neither ASCII nor flagged and well-formed UTF-8";
  if (name.find("..") != std::string::npos) return "its name holds \"..\"";
  if (name.back() == '.' || name.back() == ' ')
    return "its name ends in a dot or space, which Windows drops";
  if (isDeviceName(name)) return "its name is a Windows device's";
  if (name.size() >= 2 && isAsciiAlpha(name[0]) && name[1] == ':') return "its name has a drive";
  return "";
}

std::string readZipLayout(uint64_t fileSize, const ZipReader& read, size_t expectedEntries,
                          const ZipCaps& caps, std::vector<ZipEntry>& entries) {
  entries.clear();
  uint8_t end[END_RECORD];
  if (fileSize < END_RECORD || !read(fileSize - END_RECORD, end, END_RECORD) ||
      littleEndian32(end) != END_SIGNATURE)
    return "it does not end in a zip's end record, or the record has a comment";
  if (littleEndian16(end + 20) != 0) return "its end record has a comment";
  if (littleEndian16(end + 4) != 0 || littleEndian16(end + 6) != 0 ||
      littleEndian16(end + 8) != littleEndian16(end + 10))
    return "it spans several disks";
  uint64_t count = littleEndian16(end + 10);
  uint64_t directorySize = littleEndian32(end + 12);
  uint64_t directoryOffset = littleEndian32(end + 16);
  uint64_t directoryEnd = fileSize - END_RECORD;
  // A zip64 locator directly before the end record makes it a zip64 zip,
  // as minizip and other readers take it; a saturated field needs one.
  uint8_t tail[ZIP64_END_RECORD + ZIP64_LOCATOR];
  const bool zip64 = fileSize >= END_RECORD + sizeof tail &&
                     read(fileSize - END_RECORD - sizeof tail, tail, sizeof tail) &&
                     littleEndian32(tail + ZIP64_END_RECORD) == ZIP64_LOCATOR_SIGNATURE;
  if (!zip64 &&
      (count == SATURATED16 || directorySize == SATURATED32 || directoryOffset == SATURATED32))
    return "its zip64 end record is missing";
  if (zip64) {
    directoryEnd = fileSize - END_RECORD - sizeof tail;
    const uint8_t* locator = tail + ZIP64_END_RECORD;
    if (littleEndian32(tail) != ZIP64_END_SIGNATURE ||
        littleEndian64(tail + 4) != ZIP64_END_RECORD - 12 ||
        littleEndian32(locator) != ZIP64_LOCATOR_SIGNATURE || littleEndian32(locator + 4) != 0 ||
        littleEndian64(locator + 8) != directoryEnd || littleEndian32(locator + 16) != 1 ||
        littleEndian32(tail + 16) != 0 || littleEndian32(tail + 20) != 0 ||
        littleEndian64(tail + 24) != littleEndian64(tail + 32))
      return "its zip64 end record is malformed";
    const uint64_t wideCount = littleEndian64(tail + 32);
    const uint64_t wideSize = littleEndian64(tail + 40);
    const uint64_t wideOffset = littleEndian64(tail + 48);
    // The short record holds each value, or the mark for one too large.
    if (count != std::min<uint64_t>(wideCount, SATURATED16) ||
        directorySize != std::min<uint64_t>(wideSize, SATURATED32) ||
        directoryOffset != std::min<uint64_t>(wideOffset, SATURATED32))
      return "its end records disagree";
    if (wideCount < SATURATED16 && !mayUseZip64(wideSize, wideOffset, 0))
      return "it uses zip64 where no size needs it";
    count = wideCount;
    directorySize = wideSize;
    directoryOffset = wideOffset;
  }
  // Before anything else: a flood of entries is refused by its count.
  if (count != expectedEntries)
    return "it holds " + std::to_string(count) + " entries for " + std::to_string(expectedEntries) +
           " inputs";
  const uint64_t largestRecord = CENTRAL_RECORD + MAX_ZIP_NAME + MAX_EXTRA;
  if (directorySize > count * largestRecord || directoryOffset > directoryEnd ||
      directoryEnd - directoryOffset != directorySize)
    return "its central directory is not where its end record says, directly before it";
  std::vector<uint8_t> directory(static_cast<size_t>(directorySize));
  if (!directory.empty() && !read(directoryOffset, directory.data(), directory.size()))
    return "its central directory cannot be read";

  // A packed entry may outgrow its content by deflate's block overhead.
  const uint64_t packedCap = caps.entry + caps.entry / 16 + 1024;
  uint64_t declaredTotal = 0;
  std::vector<std::string> foldedNames;
  uint64_t expectedOffset = 0;
  size_t at = 0;
  for (uint64_t index = 0; index < count; ++index) {
    const std::string label = "entry " + std::to_string(index + 1) + ": ";
    if (directory.size() - at < CENTRAL_RECORD ||
        littleEndian32(&directory[at]) != CENTRAL_SIGNATURE)
      return label + "its central record is malformed";
    const uint8_t* record = &directory[at];
    ZipEntry entry;
    const uint16_t madeBy = littleEndian16(record + 4);
    const uint16_t versionNeeded = littleEndian16(record + 6);
    entry.flags = littleEndian16(record + 8);
    entry.method = littleEndian16(record + 10);
    entry.crc = littleEndian32(record + 16);
    entry.packedSize = littleEndian32(record + 20);
    entry.size = littleEndian32(record + 24);
    const size_t nameLength = littleEndian16(record + 28);
    const size_t extraLength = littleEndian16(record + 30);
    const size_t commentLength = littleEndian16(record + 32);
    const uint16_t disk = littleEndian16(record + 34);
    const uint16_t internalAttributes = littleEndian16(record + 36);
    entry.externalAttributes = littleEndian32(record + 38);
    entry.headerOffset = littleEndian32(record + 42);
    if (directory.size() - at - CENTRAL_RECORD < nameLength + extraLength + commentLength)
      return label + "its central record is cut short";
    entry.name.assign(reinterpret_cast<const char*>(record + CENTRAL_RECORD), nameLength);
    const uint8_t* extra = record + CENTRAL_RECORD + nameLength;
    at += CENTRAL_RECORD + nameLength + extraLength + commentLength;

    std::string fault = zipNameFault(entry.name, (entry.flags & FLAG_UTF8) != 0);
    if (fault.empty() && commentLength != 0) fault = "it has a comment";
    if (fault.empty() && (entry.flags & ~(FLAG_DEFLATE_OPTIONS | FLAG_UTF8)) != 0)
      fault = "its flags ask for encryption, a data descriptor or another feature (" +
              std::to_string(entry.flags) + ")";
    if (fault.empty() && entry.method != STORED && entry.method != DEFLATED)
      fault = "it is packed by method " + std::to_string(entry.method);
    if (fault.empty() && entry.method == STORED && (entry.flags & FLAG_DEFLATE_OPTIONS) != 0)
      fault = "it is stored but flagged with deflate options";
    if (fault.empty() &&
        (versionNeeded > MAX_VERSION_NEEDED || disk != 0 || (internalAttributes & ~1) != 0))
      fault = "its central record asks for features beyond zip64";
    if (fault.empty()) fault = checkAttributes(madeBy, entry.externalAttributes);
    if (fault.empty() && extraLength > MAX_EXTRA) fault = "its extra field is too long";
    if (fault.empty())
      fault = readExtra(extra, extraLength,
                        {{&entry.size, &entry.packedSize, &entry.headerOffset}, 3}, false);
    const bool centralWide = littleEndian32(record + 20) == SATURATED32 ||
                             littleEndian32(record + 24) == SATURATED32 ||
                             littleEndian32(record + 42) == SATURATED32;
    if (fault.empty() && centralWide &&
        !mayUseZip64(entry.size, entry.packedSize, entry.headerOffset))
      fault = "it uses zip64 where no size needs it";
    declaredTotal += std::min(entry.size, caps.total + 1);
    if (fault.empty() && entry.size > caps.entry)
      fault = "it declares " + std::to_string(entry.size) +
              " bytes, more than the largest input with a signature can hold";
    if (fault.empty() && declaredTotal > caps.total)
      fault = "the entries so far declare more bytes than the inputs with signatures can hold";
    if (fault.empty() && (entry.packedSize > packedCap ||
                          (entry.method == STORED && entry.packedSize != entry.size)))
      fault = "its packed size does not fit its size";
    if (fault.empty()) {
      const std::string folded = asciiLowered(entry.name);
      if (std::find(foldedNames.begin(), foldedNames.end(), folded) != foldedNames.end())
        fault = "its name is used twice (letter case aside)";
      foldedNames.push_back(folded);
    }
    if (fault.empty() && entry.headerOffset != expectedOffset)
      fault = "its local header is not directly after the previous entry's data";
    if (!fault.empty()) return label + fault;

    // The local header, which a streaming unzipper reads instead.
    uint8_t local[LOCAL_HEADER + MAX_ZIP_NAME + MAX_EXTRA];
    if (entry.headerOffset > directoryOffset ||
        directoryOffset - entry.headerOffset < LOCAL_HEADER ||
        !read(entry.headerOffset, local, LOCAL_HEADER) || littleEndian32(local) != LOCAL_SIGNATURE)
      return label + "there is no local header where its central record says";
    const size_t localNameLength = littleEndian16(local + 26);
    const size_t localExtraLength = littleEndian16(local + 28);
    if (localNameLength != nameLength || localExtraLength > MAX_EXTRA ||
        directoryOffset - entry.headerOffset - LOCAL_HEADER < nameLength + localExtraLength ||
        !read(entry.headerOffset + LOCAL_HEADER, local + LOCAL_HEADER,
              nameLength + localExtraLength) ||
        entry.name.compare(0, std::string::npos,
                           reinterpret_cast<const char*>(local + LOCAL_HEADER), nameLength) != 0)
      return label + "its local header names another file";
    uint64_t localSize = littleEndian32(local + 22);
    uint64_t localPacked = littleEndian32(local + 18);
    fault = readExtra(local + LOCAL_HEADER + nameLength, localExtraLength,
                      {{&localSize, &localPacked, nullptr}, 2}, true);
    if (!fault.empty()) return std::string(label).append("in its local header, ").append(fault);
    const bool localWide = littleEndian32(local + 22) == SATURATED32;
    if (littleEndian16(local + 4) > MAX_VERSION_NEEDED ||
        littleEndian16(local + 6) != entry.flags || littleEndian16(local + 8) != entry.method ||
        littleEndian32(local + 14) != entry.crc || localSize != entry.size ||
        localPacked != entry.packedSize ||
        (localWide && !mayUseZip64(entry.size, entry.packedSize, entry.headerOffset)))
      return label + "its local header differs from its central record";
    entry.dataOffset = entry.headerOffset + LOCAL_HEADER + nameLength + localExtraLength;
    if (directoryOffset - entry.dataOffset < entry.packedSize)
      return label + "its data runs into the central directory";
    expectedOffset = entry.dataOffset + entry.packedSize;
    entries.push_back(entry);
  }
  if (at != directory.size()) return "its central directory holds bytes after its records";
  if (expectedOffset != directoryOffset)
    return "bytes lie between the last entry's data and the central directory";
  return "";
}
