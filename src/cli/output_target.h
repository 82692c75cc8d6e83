// Where the result goes, settled before any request: a file, or a folder
// that takes the result under its own name, or each signed file of several
// under its input's name.
#pragma once

#include <string>
#include <vector>

#include "cli/options.h"
#include "verify/proof.h"

struct OutputTarget {
  // The folder that must take a new file: -o's folder, the folder -o names,
  // or the working folder.
  std::string folder;
  // -o names a folder (an existing one, or a path ending in a separator).
  bool intoFolder = false;
  // Written directly (a device such as /dev/null or NUL): nothing to check.
  bool inPlace = false;
};

OutputTarget planOutput(const RunSettings& settings);

// True when a new file can be made in `folder` (it is made and deleted
// again); false leaves the system's error number.
bool folderTakesNewFile(const std::string& folder);

// Several inputs into one folder: the first input whose name an earlier one
// already has, or an empty text.
std::string inputWithRepeatedName(const std::vector<std::string>& inputs);

// Writes each signed file of the result zip `zipPath` into `folder` under its
// input's name, each whole and renamed into place. With -verify the entries
// are the inputs `proof` matched them to; without, the inputs of their names,
// which must match one to one before anything is written. An empty text on
// success, else why not; `systemError` is the system's error number when a
// file call failed, else 0.
std::string saveEntriesIntoFolder(const std::string& zipPath, const RunSettings& settings,
                                  const ResultProof& proof, const std::string& folder,
                                  unsigned long& systemError);
