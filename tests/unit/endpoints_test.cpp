#include "service/endpoints.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "formpost/form_request.h"
#include "platform/files.h"
#include "platform/http.h"
#include "platform/http_rules.h"
#include "platform/text.h"

namespace {

struct TempFiles {
  std::vector<std::string> paths;
  ~TempFiles() {
    for (const std::string& path : paths) deleteFile(path);
  }
  std::string make() {
    std::string path;
    EXPECT_TRUE(createTempFile(tempDirectory(), "tvu", path));
    paths.push_back(path);
    return path;
  }
};

TEST(Endpoints, UploadNumbersFileFieldsInInputOrder) {
  TempFiles files;
  std::vector<std::string> inputs;
  for (int i = 0; i < 10; ++i) inputs.push_back(files.make());
  inputs.push_back(inputs[3]);  // a repeated input is sent again

  FormRequest request;
  std::string missing;
  ASSERT_TRUE(prepareUpload(request, "k", "", inputs, missing));
  EXPECT_EQ(MultipartPost, request.sendMode);
  ASSERT_EQ(1u, request.textFields.size());
  EXPECT_EQ("authId", request.textFields[0].name);
  ASSERT_EQ(11u, request.fileFields.size());
  for (size_t i = 0; i < inputs.size(); ++i) {
    EXPECT_EQ("filename" + std::to_string(i + 1), request.fileFields[i].fieldName);
    EXPECT_EQ(inputs[i], request.fileFields[i].path);
  }
  EXPECT_TRUE(missing.empty());
}

TEST(Endpoints, UploadReportsAnInputThatVanished) {
  TempFiles files;
  std::vector<std::string> inputs{files.make(), files.make()};
  ASSERT_TRUE(deleteFile(inputs[1]));
  FormRequest request;
  std::string missing;
  EXPECT_FALSE(prepareUpload(request, "k", "3", inputs, missing));
  EXPECT_EQ(inputs[1], missing);
}

TEST(ServiceRoot, AbsoluteHttpAndHttpsUrlsGainTheirTrailingSlash) {
  struct Case {
    const char* value;
    const char* root;  // null: refused
  };
  const Case cases[] = {
      {"https://sign.example.com/tarvolinFE/", "https://sign.example.com/tarvolinFE/"},
      {"https://sign.example.com/tarvolinFE", "https://sign.example.com/tarvolinFE/"},
      {"HTTP://127.0.0.1:9090", "HTTP://127.0.0.1:9090/"},
      {"http://[::1]:8080/a/b", "http://[::1]:8080/a/b/"},
      {"http://user:pw@h/x", "http://user:pw@h/x/"},
      {"ftp://sign.example.com/", nullptr},
      {"sign.example.com/tarvolinFE/", nullptr},
      {"/tarvolinFE/", nullptr},
      {"http://", nullptr},
      {"http:///tarvolinFE/", nullptr},
      {"http:/h/", nullptr},
      {"http://h:99999/", nullptr},
      {"http://h:65536/", nullptr},
      {"http://u:p@h:8x/", nullptr},
      {"http://h:65535", "http://h:65535/"},
      {"http://h/x?id=1", nullptr},
      {"http://h/x#top", nullptr},
      {"http://h/a b/", nullptr},
      {" http://h/", nullptr},
      {"http://h/\n", nullptr},
  };
  for (const Case& c : cases) {
    std::string root = "unchanged";
    std::string value = c.value;
    EXPECT_EQ(c.root != nullptr, serviceRootFromValue(value, root)) << c.value;
    EXPECT_EQ(c.root ? c.root : "unchanged", root) << c.value;
  }
}

TEST(ServiceRoot, CallsGoOutUnderTheRootsHostPortAndPath) {
  const std::pair<std::string, const char*> calls[] = {
      {upgradeQueryUrl("https://s:8443/t/"), "/t/version.aspx?type=upgrade"},
      {versionCheckUrl("https://s:8443/t/"), "/t/version.aspx"},
      {uploadUrl("https://s:8443/t/"), "/t/upload.aspx"},
      {BUILT_IN_SERVICE_ROOT, "/tarvolinFE/"}};
  for (const auto& call : calls) {
    UrlParts parts;
    ASSERT_TRUE(crackUrl(call.first, parts)) << call.first;
    EXPECT_EQ(call.second, objectNameOf(parts.urlPath, parts.extraInfo));
    EXPECT_EQ(parts.secure ? 8443 : 8080, parts.port) << call.first;
  }
}

TEST(OutputName, IsTheLastSegmentThenCutAtQueryOrFragment) {
  EXPECT_EQ("result.bin", outputNameFromUrl("http://h:81/x/result.bin"));
  EXPECT_EQ("result.bin", outputNameFromUrl("http://h/x/result.bin?id=3&t=ab"));
  EXPECT_EQ("b", outputNameFromUrl("http://h/x/result.bin?id=3&t=a/b"));
  EXPECT_EQ("y.bin", outputNameFromUrl("http://h/dl/get?name=x/y.bin#frag"));
  EXPECT_EQ("a b%20c.exe", outputNameFromUrl("http://h/a b%20c.exe"));
  EXPECT_EQ("h", outputNameFromUrl("http://h"));
}

TEST(OutputName, RefusesNamesThatLeaveTheCurrentDirectoryOrAreEmpty) {
  EXPECT_EQ("", outputNameFromUrl("result.bin"));
  EXPECT_EQ("", outputNameFromUrl("http://h/x/"));
  EXPECT_EQ("", outputNameFromUrl("http://h/x/?name=a.bin"));
  EXPECT_EQ("", outputNameFromUrl("http://h/x/#a.bin"));
  EXPECT_EQ("", outputNameFromUrl("http://h/x/."));
  EXPECT_EQ("", outputNameFromUrl("http://h/x/.."));
  EXPECT_EQ("", outputNameFromUrl("http://h/x/..?a"));
}

TEST(OutputName, DrivesBackslashesAndDeviceNamesOnlyCountWhereTheSystemReadsThem) {
#ifdef _WIN32
  EXPECT_EQ("", outputNameFromUrl("http://h/x/..\\..\\evil.exe"));
  EXPECT_EQ("", outputNameFromUrl("http://h/x/C:evil.exe"));
  for (const char* reserved :
       {"nul.exe", "CON", "Aux.tar.gz", "com1", "LPT9.bin", "prn .txt", "a.exe.", "a.exe ", "..."})
    EXPECT_EQ("", outputNameFromUrl(std::string("http://h/x/") + reserved)) << reserved;
  EXPECT_EQ("com10.exe", outputNameFromUrl("http://h/x/com10.exe"));
  EXPECT_EQ("console.exe", outputNameFromUrl("http://h/x/console.exe"));
#else
  EXPECT_EQ("..\\..\\evil.exe", outputNameFromUrl("http://h/x/..\\..\\evil.exe"));
  EXPECT_EQ("C:evil.exe", outputNameFromUrl("http://h/x/C:evil.exe"));
  EXPECT_EQ("...", outputNameFromUrl("http://h/x/..."));
  EXPECT_EQ("nul.exe", outputNameFromUrl("http://h/x/nul.exe"));
#endif
}

TEST(OutputNameDoubleByte, TrailByteEqualToBackslashIsPartOfTheName) {
  // 0x95 0x5C is one character in Shift_JIS and in GBK.
  ASSERT_EQ(std::string::npos, findLastChar("\x95\x5C", '\\')) << "needs a double-byte code page";
  EXPECT_EQ("\x95\x5C.bin", outputNameFromUrl("http://h/x/\x95\x5C.bin"));
}

}  // namespace
