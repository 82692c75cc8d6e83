#include "platform/files.h"
#include "platform/interrupts.h"
#include "platform/system_error.h"

namespace {

bool copyInto(void* from, const std::string& to) {
  return copyFileOverwriting(*static_cast<const std::string*>(from), to);
}

}  // namespace

bool replaceFileWithMove(const std::string& from, const std::string& to, bool& moved) {
  moved = false;
  std::string target = replacedPath(to);
  // A folder or a device is for the copy to refuse or to write into.
  if (!isWrittenInPlace(to) && (isRegularFile(target) || !fileExists(target))) {
    // Between file systems the rename fails and nothing has changed; a
    // target that may not be written is left to the copy to refuse.
    moved = prepareReplacement(from, target) && renameOver(from, target);
    if (moved) return true;
  }
  return replaceFileWithCopy(from, to);
}

bool replaceFileWithCopy(const std::string& from, const std::string& to) {
  std::string source = from;
  return replaceFileWhole(to, copyInto, &source);
}

bool replaceFileWhole(const std::string& to, FillFile fill, void* context) {
  if (isWrittenInPlace(to)) return fill(context, to);
  std::string target = replacedPath(to);
  // The new file must be in the same folder, so that the rename replaces the
  // old one in one step rather than copying across file systems.
  std::string fresh;
  if (!createTempFile(folderOfPath(target), "tvf", fresh)) return false;
  deleteOnInterrupt(fresh);
  bool replaced =
      prepareReplacement(fresh, target) && fill(context, fresh) && renameOver(fresh, target);
  if (!replaced) {
    unsigned long error = lastSystemError();
    deleteFile(fresh);
    setLastSystemError(error);
  }
  keepOnInterrupt(fresh);
  return replaced;
}
