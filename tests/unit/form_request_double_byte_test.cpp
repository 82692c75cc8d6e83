// Runs under a Shift_JIS code page (932): see the *DoubleByte* registration.
#include <gtest/gtest.h>

#include <string>

#include "formpost/form_request.h"
#include "formpost/multipart.h"
#include "platform/encoding.h"
#include "scratch_dir.h"

namespace {

// "表" in Shift_JIS: its trail byte is a backslash.
const std::string HYOU_SJIS = "\x95\x5c";
const std::string HYOU_UTF8 = "\xe8\xa1\xa8";

class FormRequestShiftJisDoubleByte : public testing::Test {
 protected:
  void SetUp() override {
    std::string converted;
    ansiToUtf8(HYOU_SJIS, converted);
    ASSERT_EQ(HYOU_UTF8, converted) << "the code page is not Shift_JIS";
  }
};

TEST_F(FormRequestShiftJisDoubleByte, TrailByteIsNoSeparator) {
  FileField field = FileField::fromPath("f", "C:\\art\\" + HYOU_SJIS + ".bin");
  EXPECT_EQ(HYOU_SJIS + ".bin", field.fileName);
  EXPECT_EQ(HYOU_UTF8 + ".bin", field.fileNameUtf8);
  // Ending in the double-byte character: no separator at all after "art".
  EXPECT_EQ(HYOU_SJIS, FileField::fromPath("f", "C:\\art\\" + HYOU_SJIS).fileName);
  EXPECT_EQ("x" + HYOU_SJIS, FileField::fromPath("f", "x" + HYOU_SJIS).fileName);
}

TEST_F(FormRequestShiftJisDoubleByte, FileNameGoesOutInUtf8AndTextValuesInTheCodePage) {
  ScratchDir scratch;
  ASSERT_TRUE(scratch.ok());
  std::string path = scratch.backslashPath(HYOU_SJIS + ".png");
  ASSERT_TRUE(writeWholeFile(path, "PNGDATA"));

  FormRequest request;
  ASSERT_TRUE(request.addTextField(("n" + HYOU_SJIS).c_str(), HYOU_SJIS.c_str()));
  ASSERT_TRUE(request.addFileField("filename1", path.c_str()));
  ASSERT_EQ(7u, request.fileFields[0].size);

  struct Collect {
    std::string bytes;
    static bool write(void* target, const void* bytes, uint32_t count) {
      static_cast<Collect*>(target)->bytes.append(static_cast<const char*>(bytes), count);
      return true;
    }
  } collect;
  std::string boundary = std::string(27, '-') + "00112233445566";
  ASSERT_EQ(0, writeMultipartBody(request, BodySink{&collect, &Collect::write}, boundary).stepCode);
  EXPECT_EQ(multipartBodyLength(request, 41), collect.bytes.size());
  std::string expected = "--" + boundary + "\r\nContent-Disposition: form-data; name=\"n" +
                         HYOU_SJIS + "\"\r\n\r\n" + HYOU_SJIS + "\r\n--" + boundary +
                         "\r\nContent-Disposition: form-data; name=\"filename1\"; filename=\"" +
                         HYOU_UTF8 + ".png\"\r\nContent-Type: image/png\r\n\r\nPNGDATA\r\n--" +
                         boundary + "--\r\n";
  EXPECT_EQ(expected, collect.bytes);
  deleteFile(path);
}

TEST_F(FormRequestShiftJisDoubleByte, ReplyTextComesBackInTheCodePage) {
  std::string text;
  utf8ToAnsi("a" + HYOU_UTF8 + "b", text);
  EXPECT_EQ("a" + HYOU_SJIS + "b", text);
  // Thai has no place in code page 932.
  utf8ToAnsi("\xe0\xb8\x81", text);
  EXPECT_EQ("?", text);
}

}  // namespace
