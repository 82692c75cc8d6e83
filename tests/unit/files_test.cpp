#include "platform/files.h"

#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>

#include <aclapi.h>
#include <sddl.h>
#endif

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/paths.h"
#include "platform/system_error.h"
#include "scratch_dir.h"

namespace {

class Files : public testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(scratch.ok()); }
  ScratchDir scratch;
};

TEST_F(Files, ExistenceAndSizeAgree) {
  std::string file = scratch.path + "a1.dat";
  ASSERT_TRUE(writeWholeFile(file, patternBytes(1234)));
  EXPECT_TRUE(fileExists(file));
  EXPECT_EQ(1234u, probeSize(file));

  std::string missing = scratch.path + "none.dat";
  EXPECT_FALSE(fileExists(missing));
  EXPECT_EQ(SIZE_UNKNOWN, probeSize(missing));
  EXPECT_FALSE(fileExists(""));
  EXPECT_EQ(SIZE_UNKNOWN, probeSize(""));

  // A directory counts, with the size a directory entry reports: none.
  std::string directory = scratch.makeDirectory("dir.d");
  EXPECT_TRUE(fileExists(directory));
  EXPECT_EQ(0u, probeSize(directory));
}

TEST_F(Files, WildcardPatternsCountWhenTheyMatch) {
  ASSERT_TRUE(writeWholeFile(scratch.path + "a1.dat", patternBytes(77)));
  EXPECT_TRUE(fileExists(scratch.path + "*.dat"));
  EXPECT_EQ(77u, probeSize(scratch.path + "a?.dat"));
  EXPECT_FALSE(fileExists(scratch.path + "*.exe"));
  EXPECT_EQ(SIZE_UNKNOWN, probeSize(scratch.path + "b?.dat"));
  // Brackets are ordinary characters, as in a Windows directory search.
  ASSERT_TRUE(writeWholeFile(scratch.path + "[x]1.dat", patternBytes(5)));
  EXPECT_EQ(5u, probeSize(scratch.path + "[x]?.dat"));
  EXPECT_TRUE(fileExists(scratch.path + "[x]1.dat"));
  EXPECT_FALSE(fileExists(scratch.path + "[ab]1.dat"));
  // A leading dot is no obstacle.
  std::string hidden = scratch.makeDirectory("hidden") + PATH_SEPARATOR;
  ASSERT_TRUE(writeWholeFile(hidden + ".only.log", patternBytes(3)));
  EXPECT_EQ(3u, probeSize(hidden + "*.log"));
}

TEST_F(Files, UpdateOpensWithoutTruncating) {
  std::string path = scratch.path + "keep.bin";
  ASSERT_TRUE(writeWholeFile(path, "abcdef"));
  int fd = openFileForUpdate(path);
  ASSERT_NE(-1, fd);
  ASSERT_TRUE(writeFile(fd, "XY", 2));
  closeFile(fd);
  fd = openFileForReading(path);
  ASSERT_NE(-1, fd);
  char buffer[16];
  int64_t count = readFile(fd, buffer, sizeof buffer);
  closeFile(fd);
  EXPECT_EQ("XYcdef", std::string(buffer, count > 0 ? count : 0));
  // Byte-exact: line ends stay as written.
  ASSERT_TRUE(writeWholeFile(path, "a\r\nb\nc\x1a"));
  EXPECT_EQ(7u, probeSize(path));
}

// A resumed download keeps the bytes before the cut and writes on after them;
// a file that already has the size is kept as it is.
TEST_F(Files, CutKeepsTheFirstBytesAndWritesAfterThem) {
  const struct {
    const char* before;
    uint64_t keep;
    const char* after;
  } cases[] = {{"", 0, "Z"}, {"abcdef", 6, "abcdefZ"}, {"abcdef", 3, "abcZ"}, {"abcdef", 0, "Z"}};
  for (const auto& c : cases) {
    std::string path = scratch.path + "cut.bin";
    ASSERT_TRUE(writeWholeFile(path, c.before));
    int fd = openFileForUpdate(path);
    ASSERT_NE(-1, fd);
    EXPECT_TRUE(cutFileTo(fd, c.keep)) << c.before << " " << c.keep;
    ASSERT_TRUE(writeFile(fd, "Z", 1));
    closeFile(fd);
    EXPECT_EQ(c.after, readWholeFile(path)) << c.before << " " << c.keep;
  }
}

TEST_F(Files, TemporaryFileIsNewEmptyAndPrefixed) {
  std::string directory = tempDirectory();
  ASSERT_FALSE(directory.empty());
  EXPECT_EQ(PATH_SEPARATOR, directory.back());
  std::string first, second;
  ASSERT_TRUE(createTempFile(scratch.path, "tvf", first));
  ASSERT_TRUE(createTempFile(scratch.path, "tvf", second));
  EXPECT_NE(first, second);
  EXPECT_EQ(0u, probeSize(first));
  std::string name = first.substr(first.find_last_of("\\/") + 1);
  EXPECT_EQ("tvf", name.substr(0, 3));
  EXPECT_FALSE(createTempFile(scratch.path + "no-such-dir" + PATH_SEPARATOR, "tvf", first));
}

#ifdef _WIN32
TEST_F(Files, TemporaryFolderTooLongForTheSystemIsRefusedBeforeAnyFileIsMade) {
  // 247 characters leave GetTempFileNameA no room for the name it adds.
  std::string folder = scratch.path + std::string(246 - scratch.path.size(), 'd') + PATH_SEPARATOR;
  ASSERT_EQ(247u, folder.size());
  ASSERT_TRUE(std::filesystem::create_directories(folder));
  std::string made;
  EXPECT_FALSE(createTempFile(folder, "tvf", made));
  const unsigned long FILENAME_EXCED_RANGE = 206;
  EXPECT_EQ(FILENAME_EXCED_RANGE, lastSystemError());
  EXPECT_TRUE(std::filesystem::is_empty(folder));
  // One shorter is the longest the system takes.
  folder.erase(folder.size() - 2, 1);
  ASSERT_TRUE(std::filesystem::create_directories(folder));
  EXPECT_TRUE(createTempFile(folder, "tvf", made));
}
#endif

TEST_F(Files, CopyOverwritesAndDeleteRemoves) {
  std::string source = scratch.path + "source.bin";
  std::string target = scratch.path + "target.bin";
  // Onto a new file, onto a longer one, an empty file onto a longer one.
  std::string content = patternBytes(200000);
  ASSERT_TRUE(writeWholeFile(source, content));
  ASSERT_TRUE(copyFileOverwriting(source, target));
  EXPECT_TRUE(readWholeFile(target) == content);
  ASSERT_TRUE(writeWholeFile(target, patternBytes(300000, 7)));
  ASSERT_TRUE(copyFileOverwriting(source, target));
  ASSERT_EQ(content.size(), probeSize(target));
  EXPECT_TRUE(readWholeFile(target) == content);
  std::string empty = scratch.path + "empty.bin";
  ASSERT_TRUE(writeWholeFile(empty, ""));
  ASSERT_TRUE(copyFileOverwriting(empty, target));
  EXPECT_EQ(0u, probeSize(target));
  ASSERT_TRUE(copyFileOverwriting(source, target));

  // Copying a file onto itself must not lose it.
  EXPECT_FALSE(copyFileOverwriting(source, source));
  EXPECT_EQ(content.size(), probeSize(source));

  EXPECT_FALSE(copyFileOverwriting(scratch.path + "missing.bin", target));
  EXPECT_EQ(fileVanishedError(), lastSystemError());
  EXPECT_TRUE(deleteFile(target));
  EXPECT_FALSE(fileExists(target));
  EXPECT_FALSE(deleteFile(target));
  EXPECT_EQ(fileVanishedError(), lastSystemError());
}

// The names in `folder`, sorted.
std::vector<std::string> namesIn(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

TEST_F(Files, ReplacementIsWholeOrNothingAndLeavesNoNewFileBehind) {
  std::string source = scratch.path + "source.bin";
  std::string target = scratch.path + "target.bin";
  std::string content = patternBytes(100000);
  ASSERT_TRUE(writeWholeFile(source, content));
  // Onto a new file, then onto a longer one, whose tail must not survive.
  ASSERT_TRUE(replaceFileWithCopy(source, target));
  EXPECT_TRUE(readWholeFile(target) == content);
  ASSERT_TRUE(writeWholeFile(target, patternBytes(300000, 7)));
  ASSERT_TRUE(replaceFileWithCopy(source, target));
  EXPECT_TRUE(readWholeFile(target) == content);
  EXPECT_EQ((std::vector<std::string>{"source.bin", "target.bin"}), namesIn(scratch.path));

  // A source that cannot be read: the old output stays, and so does the
  // error, with no new file left in the folder.
  ASSERT_TRUE(writeWholeFile(target, "previous release"));
  EXPECT_FALSE(replaceFileWithCopy(scratch.path + "missing.bin", target));
  EXPECT_EQ(fileVanishedError(), lastSystemError());
  EXPECT_EQ("previous release", readWholeFile(target));
  // A folder at the output path is not replaced.
  std::string folder = scratch.makeDirectory("out.d");
  EXPECT_FALSE(replaceFileWithCopy(source, folder));
  EXPECT_TRUE(std::filesystem::is_directory(folder));
  EXPECT_EQ((std::vector<std::string>{"out.d", "source.bin", "target.bin"}), namesIn(scratch.path));
  // Moved on one file system: the source is gone, the old output replaced
  // whole; a folder is left to the copy, which refuses it, and the source
  // stays.
  bool moved = false;
  ASSERT_TRUE(replaceFileWithMove(source, target, moved));
  EXPECT_TRUE(moved);
  EXPECT_TRUE(readWholeFile(target) == content);
  EXPECT_FALSE(replaceFileWithMove(target, folder, moved));
  EXPECT_FALSE(moved);
  EXPECT_TRUE(readWholeFile(target) == content);
  EXPECT_EQ((std::vector<std::string>{"out.d", "target.bin"}), namesIn(scratch.path));
  // A bare name goes into the current folder.
  EXPECT_EQ(std::string(".") + PATH_SEPARATOR, folderOfPath("out.bin"));
  EXPECT_EQ(scratch.path, folderOfPath(target));
  // "/" separates on both systems; a folder output gets a separator once.
  EXPECT_EQ("C:/out/", folderOfPath("C:/out/x.exe"));
  EXPECT_EQ(std::string("out") + PATH_SEPARATOR + "a.exe", pathInFolder("out", "a.exe"));
  EXPECT_EQ("out/a.exe", pathInFolder("out/", "a.exe"));
  EXPECT_TRUE(isFolder(folder));
  EXPECT_FALSE(isFolder(target));
}

#ifdef _WIN32
// A file's access rules as text (SDDL), or "" when it has none to read.
std::string accessRules(const std::string& path) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  PACL dacl = nullptr;
  if (GetNamedSecurityInfoA(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                            nullptr, &dacl, nullptr, &descriptor) != ERROR_SUCCESS)
    return "";
  char* text = nullptr;
  std::string rules;
  if (ConvertSecurityDescriptorToStringSecurityDescriptorA(
          descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text, nullptr))
    rules = text;
  LocalFree(text);
  LocalFree(descriptor);
  return rules;
}

// Adds a check wine cannot make to the list the test run prints after the
// suites, whose output is shown only when they fail.
void noteWineGap(const char* test, const char* why) {
  const char* folder = std::getenv("TARVOLIN_WINE_GAPS_DIR");
  if (!folder || !*folder) return;
  std::ofstream list(std::string("Z:") + folder + "/unit.txt", std::ios::app);
  list << "not checked under wine: " << test << ": " << why << "\n";
}

// A result moved in from the temporary folder takes the rules a file made
// in the output's folder gets, not those of the folder it was made in.
TEST_F(Files, MovedFileTakesTheAccessRulesOfItsNewFolder) {
  std::string elsewhere = scratch.makeDirectory("everyone.d");
  PSECURITY_DESCRIPTOR everyone = nullptr;
  ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorA(
      "D:P(A;OICI;FA;;;WD)", SDDL_REVISION_1, &everyone, nullptr));
  ASSERT_TRUE(SetFileSecurityA(elsewhere.c_str(), DACL_SECURITY_INFORMATION, everyone));
  LocalFree(everyone);
  std::string made = elsewhere + PATH_SEPARATOR + "made.bin";
  std::string fresh = scratch.path + "fresh.bin";
  ASSERT_TRUE(writeWholeFile(made, "signed"));
  ASSERT_TRUE(writeWholeFile(fresh, "other"));
  bool underWine = GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr;
  if (underWine && accessRules(fresh) == accessRules(made)) {
    const char* why =
        "wine gives every file rules of its own rather than its folder's, so a "
        "move cannot show which folder's rules a file takes";
    noteWineGap("Files.MovedFileTakesTheAccessRulesOfItsNewFolder", why);
    GTEST_SKIP() << "known gap (wine): " << why;
  }
  ASSERT_NE(accessRules(fresh), accessRules(made)) << accessRules(made);
  bool moved = false;
  ASSERT_TRUE(replaceFileWithMove(made, scratch.path + "out.bin", moved));
  EXPECT_TRUE(moved);
  EXPECT_EQ(accessRules(fresh), accessRules(scratch.path + "out.bin"));
}
#endif

TEST_F(Files, OnlyRegularFilesCountAsInputs) {
  std::string file = scratch.path + "a.exe";
  ASSERT_TRUE(writeWholeFile(file, "MZ"));
  EXPECT_TRUE(isRegularFile(file));
  EXPECT_FALSE(isRegularFile(scratch.makeDirectory("folder.exe")));
  EXPECT_FALSE(isRegularFile(scratch.path + "*.exe"));
  EXPECT_FALSE(isRegularFile(scratch.path + "missing.exe"));
#ifdef _WIN32
  EXPECT_FALSE(isRegularFile("NUL"));
  EXPECT_TRUE(isWrittenInPlace("NUL"));
  EXPECT_TRUE(isWrittenInPlace("CON"));
#else
  EXPECT_FALSE(isRegularFile("/dev/null"));
  EXPECT_TRUE(isWrittenInPlace("/dev/null"));
  // A link is followed: the file it names is replaced, the link stays.
  std::string link = scratch.path + "link.exe";
  std::filesystem::create_symlink(file, link);
  EXPECT_TRUE(isRegularFile(link));
  EXPECT_EQ(file, replacedPath(link));
  std::string source = scratch.path + "new.bin";
  ASSERT_TRUE(writeWholeFile(source, "signed"));
  ASSERT_TRUE(replaceFileWithCopy(source, link));
  EXPECT_TRUE(std::filesystem::is_symlink(link));
  EXPECT_EQ("signed", readWholeFile(file));
#endif
  EXPECT_FALSE(isWrittenInPlace(file));
  EXPECT_FALSE(isWrittenInPlace(scratch.path + "missing.exe"));
}

}  // namespace
