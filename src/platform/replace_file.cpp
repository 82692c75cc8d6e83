#include "platform/files.h"
#include "platform/interrupts.h"
#include "platform/system_error.h"

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
  if (isWrittenInPlace(to)) return copyFileOverwriting(from, to);
  std::string target = replacedPath(to);
  // The new file must be in the same folder, so that the rename replaces the
  // old one in one step rather than copying across file systems.
  std::string fresh;
  if (!createTempFile(folderOfPath(target), "tvf", fresh)) return false;
  deleteOnInterrupt(OUTPUT_SLOT, fresh);
  bool replaced = prepareReplacement(fresh, target) && copyFileOverwriting(from, fresh) &&
                  renameOver(fresh, target);
  if (!replaced) {
    unsigned long error = lastSystemError();
    deleteFile(fresh);
    setLastSystemError(error);
  }
  keepOnInterrupt(OUTPUT_SLOT);
  return replaced;
}
