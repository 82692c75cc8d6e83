// Sends one FormRequest and reports what came back, for the transport tests.
//
//   transport-probe URL [--mode N] [--text NAME=VALUE]... [--file NAME=PATH]...
//                   [--resize PATH=SIZE]... [--reply-file PATH] [--body-out PATH]
//
// --resize changes a file's size after the fields are added and before the
// request is sent, as a file that changes under a running upload would.
//
// Prints "result R", "status S" and "body B" lines, B with every byte outside
// printable ASCII (and the backslash) written as \xHH, then "upload D T" and
// "download D T": the last progress reported in each direction (bytes done,
// total). --body-out also writes replyBody's bytes to a file.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "formpost/form_request.h"
#include "platform/console.h"
#include "platform/text.h"

namespace {

std::string escaped(const std::string& bytes) {
  std::string text;
  for (unsigned char ch : bytes) {
    if (ch >= 0x20 && ch < 0x7F && ch != '\\') {
      text += static_cast<char>(ch);
    } else {
      char code[8];
      std::snprintf(code, sizeof code, "\\x%02X", ch);
      text += code;
    }
  }
  return text;
}

bool splitPair(const char* argument, std::string& name, std::string& value) {
  const char* equals = std::strchr(argument, '=');
  if (!equals) return false;
  name.assign(argument, static_cast<size_t>(equals - argument));
  value.assign(equals + 1);
  return true;
}

struct ProgressSeen {
  uint64_t done[2] = {0, 0};
  uint64_t total[2] = {0, 0};
};

void recordProgress(void* context, bool upload, uint64_t done, uint64_t total) {
  ProgressSeen& seen = *static_cast<ProgressSeen*>(context);
  seen.done[upload] = done;
  seen.total[upload] = total;
}

int usage() {
  std::fprintf(stderr,
               "usage: transport-probe URL [--mode N] [--text NAME=VALUE]... "
               "[--file NAME=PATH]... [--resize PATH=SIZE]... [--reply-file PATH] "
               "[--body-out PATH]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  initAnsiCodePage();
  initConsoleOutput();
  if (argc < 2) return usage();
  FormRequest request;
  ProgressSeen progress;
  request.progress.context = &progress;
  request.progress.report = recordProgress;
  std::string bodyOut;
  std::vector<std::pair<std::string, uintmax_t>> resizes;
  for (int i = 2; i < argc; ++i) {
    std::string option = argv[i];
    if (i + 1 >= argc) return usage();
    const char* argument = argv[++i];
    std::string name, value;
    if (option == "--mode") {
      request.setSendMode(static_cast<SendMode>(std::atoi(argument)));
    } else if (option == "--text" && splitPair(argument, name, value)) {
      request.addTextField(name.c_str(), value.c_str());
    } else if (option == "--file" && splitPair(argument, name, value)) {
      if (!request.addFileField(name.c_str(), value.c_str())) {
        std::fprintf(stderr, "cannot add file field %s\n", value.c_str());
        return 2;
      }
    } else if (option == "--resize" && splitPair(argument, name, value)) {
      resizes.emplace_back(name, std::strtoull(value.c_str(), nullptr, 10));
    } else if (option == "--reply-file") {
      request.setReplyFile(argument);
    } else if (option == "--body-out") {
      bodyOut = argument;
    } else {
      return usage();
    }
  }
  for (const auto& resize : resizes) {
    std::error_code failure;
    std::filesystem::resize_file(resize.first, resize.second, failure);
    if (failure) {
      std::fprintf(stderr, "cannot resize %s\n", resize.first.c_str());
      return 2;
    }
  }
  int32_t result = request.send(argv[1]);
  writeOut("result " + std::to_string(result) + "\nstatus " + std::to_string(request.statusCode) +
           "\nbody " + escaped(request.replyBody) + "\nupload " + std::to_string(progress.done[1]) +
           " " + std::to_string(progress.total[1]) + "\ndownload " +
           std::to_string(progress.done[0]) + " " + std::to_string(progress.total[0]) + "\n");
  if (!bodyOut.empty()) {
    FILE* out = std::fopen(bodyOut.c_str(), "wb");
    if (!out) return 2;
    std::fwrite(request.replyBody.data(), 1, request.replyBody.size(), out);
    std::fclose(out);
  }
  return 0;
}
