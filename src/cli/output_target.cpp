#include "cli/output_target.h"

#include "formpost/failure_cause.h"
#include "platform/files.h"
#include "platform/interrupts.h"
#include "platform/paths.h"
#include "platform/system_error.h"
#include "verify/zip_result.h"

namespace {

// What a fill of one output file from a zip entry needs, and the entry's
// fault when it could not be unpacked.
struct EntryFill {
  const std::string* zipPath;
  const std::vector<ZipEntry>* entries;
  size_t index;
  std::string fault;
};

bool unpackInto(void* context, const std::string& path) {
  EntryFill& fill = *static_cast<EntryFill*>(context);
  fill.fault = unpackZipEntry(*fill.zipPath, *fill.entries, fill.index, path);
  return fill.fault.empty();
}

// The input each entry is saved as, matched by the entry's name; an empty
// text, or the first entry that matches no input not matched yet.
std::string matchEntriesByName(const std::vector<std::string>& entries,
                               const std::vector<std::string>& inputs,
                               std::vector<size_t>& inputOfEntry) {
  if (entries.size() != inputs.size())
    return "the result zip holds " + std::to_string(entries.size()) + " entries for " +
           std::to_string(inputs.size()) + " inputs";
  std::vector<bool> taken(inputs.size(), false);
  for (size_t entry = 0; entry < entries.size(); ++entry) {
    size_t input = 0;
    while (input < inputs.size() &&
           (taken[input] || lastPathSegment(inputs[input]) != entries[entry]))
      ++input;
    if (input == inputs.size())
      return "zip entry " + std::to_string(entry + 1) + " (" + printable(entries[entry]) +
             ") is named like none of the inputs";
    taken[input] = true;
    inputOfEntry.push_back(input);
  }
  return "";
}

}  // namespace

OutputTarget planOutput(const RunSettings& settings) {
  OutputTarget target;
  const std::string& output = settings.outputFile;
  if (output.empty()) {
    // Saved under the download's name in the working folder.
    target.folder = folderOfPath("result");
  } else if (isWrittenInPlace(output)) {
    target.inPlace = true;
  } else if (isFolder(output) || lastPathSegment(output).empty()) {
    target.intoFolder = true;
    target.folder = output;
  } else {
    target.folder = folderOfPath(replacedPath(output));
  }
  return target;
}

bool folderTakesNewFile(const std::string& folder) {
  std::string probe;
  if (!createTempFile(folder, "tvf", probe)) return false;
  deleteOnInterrupt(probe);
  deleteFile(probe);
  keepOnInterrupt(probe);
  return true;
}

std::string inputWithRepeatedName(const std::vector<std::string>& inputs) {
  for (size_t later = 1; later < inputs.size(); ++later)
    for (size_t earlier = 0; earlier < later; ++earlier)
      if (lastPathSegment(inputs[earlier]) == lastPathSegment(inputs[later])) return inputs[later];
  return "";
}

std::string saveEntriesIntoFolder(const std::string& zipPath, const RunSettings& settings,
                                  const ResultProof& proof, const std::string& folder,
                                  unsigned long& systemError) {
  systemError = 0;
  const std::vector<std::string>& inputs = settings.inputFiles;
  std::vector<uint64_t> inputSizes;
  inputSizes.reserve(inputs.size());
  for (const std::string& input : inputs) inputSizes.push_back(probeSize(input));
  std::vector<ZipEntry> walked;
  std::string fault = readZipEntries(zipPath, inputs.size(), zipCapsFor(inputSizes), walked);
  if (!fault.empty()) return fault + "; nothing was saved";
  std::vector<std::string> entries;
  entries.reserve(walked.size());
  for (const ZipEntry& entry : walked) entries.push_back(entry.name);
  std::vector<size_t> inputOfEntry;
  if (settings.verifyResult) {
    // The proof matched every entry to an input by its digest.
    for (const SignedFileProof& file : proof.files) inputOfEntry.push_back(file.inputIndex);
    if (inputOfEntry.size() != entries.size()) return "the result zip changed after its proof";
  } else {
    fault = matchEntriesByName(entries, inputs, inputOfEntry);
    if (!fault.empty()) return fault + "; nothing was saved";
  }
  for (size_t entry = 0; entry < entries.size(); ++entry) {
    std::string target = pathInFolder(folder, lastPathSegment(inputs[inputOfEntry[entry]]));
    EntryFill fill{&zipPath, &walked, entry, std::string()};
    if (replaceFileWhole(target, unpackInto, &fill)) continue;
    if (!fill.fault.empty()) return fill.fault;
    systemError = lastSystemError();
    return fileFailureCause("write", target, systemError, target);
  }
  return "";
}
