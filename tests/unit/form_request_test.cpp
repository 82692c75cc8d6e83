#include "formpost/form_request.h"

#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <string>

#include "platform/content_type.h"
#include "platform/files.h"
#include "registry_content_type.h"
#include "scratch_dir.h"

namespace {

const char* const OCTET_STREAM = "application/octet-stream";

TEST(FormRequest, FileFieldNeedsAnExistingPath) {
  ScratchDir scratch;
  ASSERT_TRUE(scratch.ok());
  FormRequest request;
  EXPECT_FALSE(request.addFileField("filename1", (scratch.path + "missing.exe").c_str()));
  EXPECT_EQ(0u, request.fileFields.size());

  std::string path = scratch.path + "App.Setup.EXE";
  ASSERT_TRUE(writeWholeFile(path, "MZ"));
  ASSERT_TRUE(request.addFileField(nullptr, path.c_str()));
  ASSERT_EQ(1u, request.fileFields.size());
  const FileField& field = request.fileFields[0];
  EXPECT_EQ("", field.fieldName);
  EXPECT_EQ(path, field.path);
  EXPECT_EQ(2u, field.size);
  EXPECT_EQ(-1, field.contentHandle);
}

TEST(FileField, NameIsTheLastSegmentOfThePath) {
  EXPECT_EQ("Setup.GIF", FileField::fromPath("f", "C:\\build\\Setup.GIF").fileName);
  EXPECT_EQ("", FileField::fromPath("f", "C:\\build\\").fileName);
  EXPECT_EQ("", FileField::fromPath("f", "C:\\build\\").fileNameUtf8);
  // A forward slash separates on both systems: no folder of the caller's
  // goes out in the upload.
  const char* toolName = "tool.png";
  FileField tool = FileField::fromPath("f", "out/bin/tool.png");
  EXPECT_EQ(toolName, tool.fileName);
  EXPECT_EQ(toolName, tool.fileNameUtf8);
  EXPECT_EQ("image/png", tool.contentType);
  EXPECT_EQ(SIZE_UNKNOWN, tool.size);
}

TEST(ContentType, ImageTypesAreKnownWhateverTheirCase) {
  EXPECT_EQ("image/gif", contentTypeForPath("C:\\build\\Setup.GIF"));
  EXPECT_EQ("image/jpeg", contentTypeForPath("C:\\build\\app.JPE"));
  EXPECT_EQ("image/jpeg", contentTypeForPath("photo.Jpeg"));
  EXPECT_EQ("image/jpeg", contentTypeForPath("photo.jpg"));
  EXPECT_EQ("image/png", contentTypeForPath("a.b.PNG"));
  // Only the exact extension counts.
  EXPECT_NE("image/png", contentTypeForPath("a.png.bak"));
}

TEST(ContentType, ExtensionStartsAtTheLastDotOfTheWholePath) {
  // ".x\setup" (or ".x/setup") names nothing the system knows.
  EXPECT_EQ(OCTET_STREAM, contentTypeForPath("C:\\rel.x\\setup"));
  EXPECT_EQ(OCTET_STREAM, contentTypeForPath("/srv/rel.png/setup"));
  EXPECT_EQ(OCTET_STREAM, contentTypeForPath("C:\\build\\setup"));
  EXPECT_EQ(OCTET_STREAM, contentTypeForPath(""));
}

// An extension nobody else has recorded a type for.
std::string uniqueExtension() {
  auto ticks = std::chrono::steady_clock::now().time_since_epoch().count();
  return ".tvb" + std::to_string(static_cast<unsigned long long>(ticks) % 1000000007ull);
}

#ifdef _WIN32

// The lookup is tested with keys made for the test and removed again.
class RegistryContentType : public testing::Test {
 protected:
  void TearDown() override {
    for (const std::string& extension : made) forgetTestContentType(extension);
  }
  std::string record(const char* value) {
    std::string extension = uniqueExtension() + std::to_string(made.size());
    EXPECT_TRUE(recordTestContentType(extension, value));
    made.push_back(extension);
    return extension;
  }
  std::vector<std::string> made;
};

TEST_F(RegistryContentType, LowercasedExtensionFindsTheRecordedType) {
  std::string extension = record("text/x-tarvolin");
  std::string upper = extension;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  EXPECT_EQ("text/x-tarvolin", contentTypeForPath("C:\\work\\file" + upper));
  EXPECT_EQ("text/x-tarvolin", FileField::fromPath("f", "file" + extension).contentType);
}

TEST_F(RegistryContentType, EmptyValueGivesAnEmptyType) {
  EXPECT_EQ("", contentTypeForPath("file" + record("")));
}

TEST_F(RegistryContentType, KeyWithoutValueOrNoKeyGivesTheDefault) {
  EXPECT_EQ(OCTET_STREAM, contentTypeForPath("file" + record(nullptr)));
  EXPECT_EQ(OCTET_STREAM, contentTypeForPath("file" + uniqueExtension() + "none"));
}

TEST_F(RegistryContentType, ValueTooLongForTheBufferGivesTheDefault) {
  std::string longType = "application/" + std::string(300, 'x');
  EXPECT_EQ(OCTET_STREAM, contentTypeForPath("file" + record(longType.c_str())));
  std::string fitting = "application/" + std::string(CONTENT_TYPE_CAPACITY - 13, 'y');
  EXPECT_EQ(fitting, contentTypeForPath("file" + record(fitting.c_str())));
}

#else

class MimeTypesFile : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(scratch.ok());
    path = scratch.path + "mime.types";
    ASSERT_TRUE(writeWholeFile(path,
                               "# comment line text/x-commented tvbc\n"
                               "\n"
                               "text/x-tarvolin\t\ttvba tvbb\n"
                               "application/x-second   tvbb tvbz # trailing tvbq\n"
                               "  application/x-indented tvbi\r\n"
                               "application/" +
                                   std::string(300, 'x') +
                                   " tvblong\n"
                                   "application/x-last tvbe"));
  }
  bool lookup(const std::string& extension, std::string& type) {
    return lookupContentType(path, extension, type);
  }
  ScratchDir scratch;
  std::string path;
};

TEST_F(MimeTypesFile, FindsTheFirstTypeListingTheExtension) {
  std::string type;
  EXPECT_TRUE(lookup(".tvbb", type));
  EXPECT_EQ("text/x-tarvolin", type);
  EXPECT_TRUE(lookup(".tvbz", type));
  EXPECT_EQ("application/x-second", type);
  EXPECT_TRUE(lookup(".tvbi", type));
  EXPECT_EQ("application/x-indented", type);
  EXPECT_TRUE(lookup(".tvbe", type));
  EXPECT_EQ("application/x-last", type);
}

TEST_F(MimeTypesFile, MissesLeaveTheTypeAlone) {
  std::string type = "unchanged";
  EXPECT_FALSE(lookup(".tvbc", type));     // only in a comment
  EXPECT_FALSE(lookup(".tvbq", type));     // after a comment sign
  EXPECT_FALSE(lookup(".TVBA", type));     // the caller lowers the extension
  EXPECT_FALSE(lookup(".tvblong", type));  // longer than a registry value could be
  EXPECT_FALSE(lookup(".", type));
  EXPECT_FALSE(lookup("tvba", type));
  EXPECT_FALSE(lookup(".x\\tvba", type));
  EXPECT_FALSE(lookup(".x/tvba", type));
  EXPECT_FALSE(lookupContentType(scratch.path + "absent.types", ".tvba", type));
  EXPECT_EQ("unchanged", type);
}

TEST(SystemMimeTypes, KnowsPlainText) {
  std::string type;
  if (!lookupContentType("/etc/mime.types", ".txt", type))
    GTEST_SKIP() << "no /etc/mime.types with .txt on this system";
  EXPECT_EQ("text/plain", type);
  EXPECT_EQ("text/plain", contentTypeForPath("notes.TXT"));
  EXPECT_EQ(OCTET_STREAM, contentTypeForPath("notes" + uniqueExtension()));
}

#endif

// While its part is written, the file stays open to other readers and writers.
TEST(FileContent, StaysOpenToOthersAndAMissingFileFails) {
  ScratchDir scratch;
  ASSERT_TRUE(scratch.ok());
  std::string path = scratch.path + "content.bin";
  ASSERT_TRUE(writeWholeFile(path, "0123456789"));
  FileField field = FileField::fromPath("f", path);
  ASSERT_TRUE(field.openContent());
  int writer = openFileForUpdate(path);
  EXPECT_NE(-1, writer);
  if (writer != -1) closeFile(writer);
  field.closeContent();

  FileField missing = FileField::fromPath("f", scratch.path + "missing.bin");
  EXPECT_FALSE(missing.openContent());
  EXPECT_EQ(-1, missing.contentHandle);
}

}  // namespace
