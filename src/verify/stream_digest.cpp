#include "verify/stream_digest.h"

#include <algorithm>

void StreamedDigest::learnLayout(uint64_t fileSize) {
  if (!readPeLayout(head.data(), head.size(), fileSize, layout).empty()) {
    failed = true;
    return;
  }
  digest.reset(new Digest(kind));
  if (!digest->ok()) {
    failed = true;
    return;
  }
  layoutKnown = true;
  hashAt(0, head.data(), head.size());
  head.clear();
  head.shrink_to_fit();
}

void StreamedDigest::hashAt(uint64_t offset, const uint8_t* bytes, size_t count) {
  const DigestPlan plan = digestPlanOf(layout);
  const uint64_t end = offset + count;
  for (const ByteRange& range : plan.ranges) {
    const uint64_t from = std::max(range.from, offset);
    const uint64_t to = std::min(range.to, end);
    if (from < to) digest->update(bytes + (from - offset), static_cast<size_t>(to - from));
  }
}

void StreamedDigest::take(const void* bytes, size_t count) {
  const uint8_t* at = static_cast<const uint8_t*>(bytes);
  if (failed) return;
  if (!layoutKnown) {
    const size_t room = PE_HEAD_LIMIT - head.size();
    const size_t kept = std::min(room, count);
    head.insert(head.end(), at, at + kept);
    position += kept;
    at += kept;
    count -= kept;
    if (head.size() < PE_HEAD_LIMIT) return;
    learnLayout(PE_SIZE_UNKNOWN);
    if (failed) return;
  }
  hashAt(position, at, count);
  position += count;
}

bool StreamedDigest::finish(std::string& value, PeLayout& streamLayout) {
  if (!failed && !layoutKnown) learnLayout(position);
  if (failed) return false;
  layout.fileSize = position;
  const uint64_t end = layout.hasTable() ? layout.tableOffset : position;
  if (end > position) return false;
  const uint8_t zeros[8] = {};
  digest->update(zeros, static_cast<size_t>((8 - end % 8) % 8));
  value = digest->finish();
  streamLayout = layout;
  return !value.empty();
}

bool sameLayout(const PeLayout& streamed, const PeLayout& onDisk) {
  return streamed.fileSize == onDisk.fileSize && streamed.pe32Plus == onDisk.pe32Plus &&
         streamed.checkSumOffset == onDisk.checkSumOffset &&
         streamed.tableEntryOffset == onDisk.tableEntryOffset &&
         streamed.tableOffset == onDisk.tableOffset && streamed.tableSize == onDisk.tableSize;
}
