#include "platform/files.h"
#include "platform/interrupts.h"
#include "platform/system_error.h"

bool replaceFileWithCopy(const std::string& from, const std::string& to) {
  if (isWrittenInPlace(to)) return copyFileOverwriting(from, to);
  std::string target = replacedPath(to);
  // The new file must be in the same folder, so that the rename replaces the
  // old one in one step rather than copying across file systems.
  std::string fresh;
  if (!createTempFile(folderOfPath(target), "tvf", fresh)) return false;
  deleteOnInterrupt(fresh);
  bool replaced = prepareReplacement(fresh, target) && copyFileOverwriting(from, fresh) &&
                  renameOver(fresh, target);
  if (!replaced) {
    unsigned long error = lastSystemError();
    deleteFile(fresh);
    setLastSystemError(error);
  }
  keepOnInterrupt(fresh);
  return replaced;
}
