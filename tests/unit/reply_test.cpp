#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "platform/console.h"
#include "service/reply.h"

namespace {

ServiceReply parsed(const char* body) {
  ServiceReply reply;
  reply.parseReply(body);
  return reply;
}

// A record that a previous reply filled.
ServiceReply previousReply() {
  ServiceReply reply;
  reply.title = "old title";
  reply.text = "old text";
  reply.url = "http://old/x.bin";
  reply.code = 7;
  return reply;
}

void expectUnchangedBy(const char* body) {
  ServiceReply reply = previousReply();
  reply.parseReply(body);
  EXPECT_EQ(reply.code, 7) << body;
  EXPECT_EQ(reply.title, "old title") << body;
  EXPECT_EQ(reply.text, "old text") << body;
  EXPECT_EQ(reply.url, "http://old/x.bin") << body;
}

int32_t codeOf(const std::string& content) {
  return parsed(("<result><code>" + content + "</code></result>").c_str()).code;
}

std::string printed(const ServiceReply& reply, int32_t* returned) {
  testing::internal::CaptureStdout();
  initConsoleOutput();
  *returned = reply.printServiceMessage();
  return testing::internal::GetCapturedStdout();
}

}  // namespace

TEST(Reply, ReadsTheFourFields) {
  ServiceReply reply = parsed(
      "<?xml version=\"1.0\"?>\n<!-- service -->\n<result a=\"1\">\n"
      "  <url>http://h:81/d/x/result.bin?t=1</url><title>T</title>\n"
      "  <other>o</other><text>X</text><code>3</code>\n</result>\n<!-- end -->");
  EXPECT_EQ(reply.code, 3);
  EXPECT_EQ(reply.title, "T");
  EXPECT_EQ(reply.text, "X");
  EXPECT_EQ(reply.url, "http://h:81/d/x/result.bin?t=1");
}

TEST(Reply, AbsentChildrenReplaceEveryField) {
  ServiceReply reply = previousReply();
  reply.parseReply("<result><text>X</text></result>");
  EXPECT_EQ(reply.code, 0);
  EXPECT_EQ(reply.title, "");
  EXPECT_EQ(reply.text, "X");
  EXPECT_EQ(reply.url, "");

  reply = previousReply();
  reply.parseReply("<result><code/><title></title><url/></result>");
  EXPECT_EQ(reply.code, 0);
  EXPECT_EQ(reply.title, "");
  EXPECT_EQ(reply.url, "");
}

TEST(Reply, WithoutTopLevelResultNothingChanges) {
  expectUnchangedBy(nullptr);
  expectUnchangedBy("");
  expectUnchangedBy("not xml at all");
  expectUnchangedBy("<html><body>Server error</body></html>");
  expectUnchangedBy("<Result><code>0</code></Result>");
  expectUnchangedBy("<RESULT><code>0</code></RESULT>");
  expectUnchangedBy("<reply><result><code>0</code></result></reply>");
  expectUnchangedBy("<results><code>0</code></results>");
  expectUnchangedBy("<!--result--><?result?>");
}

std::string repeated(const std::string& piece, size_t times) {
  std::string text;
  for (size_t i = 0; i < times; ++i) text += piece;
  return text;
}

// Nesting deep enough to overflow the parser's stack, however the markup in
// front of it ends; and replies whose parse would cost far more memory than
// their bytes.
TEST(Reply, RepliesTooCostlyToParseAreNoResult) {
  const std::string deep = "<result><code>0</code>" + repeated("<a>", 200000);
  for (const char* front :
       {"", "<?pi >", "<?xml v >", "<!-- -->", "<![CDATA[x]]>", "<!DOCTYPE r [", "<!x >"}) {
    expectUnchangedBy((front + deep + "?>").c_str());
  }
  expectUnchangedBy(("<result><code>0</code>" + repeated("<a/>", 4 * 1024 * 1024)).c_str());
  expectUnchangedBy(
      ("<result><code>0</code><text>" + repeated("x", 2 * 1024 * 1024) + "</text></result>")
          .c_str());
}

TEST(Reply, MarkupQuotedInTextStillParses) {
  const std::string lines = repeated("<br>", 100);
  std::string nested = "<result><code>6</code><text><![CDATA[" + lines + "]]></text>";
  nested += "<!--" + lines + "--><title a=\">>/>\"><b/>x</title>";
  nested += repeated("<a>", 200) + repeated("</a>", 200) + "</result>";
  ServiceReply reply = parsed(nested.c_str());
  EXPECT_EQ(reply.code, 6);
  EXPECT_EQ(reply.text, lines);
  EXPECT_EQ(reply.title, "b");
}

TEST(Reply, FreshRecordIsNotAcceptance) {
  ServiceReply reply;
  reply.parseReply("<html>Service Unavailable</html>");
  EXPECT_NE(reply.code, 0);
  EXPECT_EQ(reply.title, "");
  EXPECT_EQ(reply.text, "");
  EXPECT_EQ(reply.url, "");
}

TEST(Reply, FirstTopLevelResultAfterOtherElements) {
  ServiceReply reply = parsed(
      "<a><result><code>9</code></result></a><result><code>4</code>"
      "</result><result><code>5</code></result>");
  EXPECT_EQ(reply.code, 4);
}

TEST(Reply, FirstOfTwoChildrenCounts) {
  ServiceReply reply =
      parsed("<result><code>1</code><code>0</code><title>A</title><title>B</title></result>");
  EXPECT_EQ(reply.code, 1);
  EXPECT_EQ(reply.title, "A");
}

TEST(Reply, ChildNamesAreCaseSensitive) {
  ServiceReply reply = parsed("<result><Code>4</Code><TITLE>T</TITLE><text>x</text></result>");
  EXPECT_EQ(reply.code, 0);
  EXPECT_EQ(reply.title, "");
  EXPECT_EQ(reply.text, "x");
}

TEST(Reply, ValueIsTheFirstChildNodeOnly) {
  ServiceReply reply = parsed(
      "<result><title>a<!--c-->b</title><text><b>bold</b> tail</text>"
      "<url><!--note-->http://x/y</url></result>");
  EXPECT_EQ(reply.title, "a");
  EXPECT_EQ(reply.text, "b");
  EXPECT_EQ(reply.url, "note");
}

TEST(Reply, CdataEntitiesAndWhiteSpace) {
  ServiceReply reply = parsed(
      "<result><title><![CDATA[a <b> & c]]></title>"
      "<text>x &amp; y &lt;z&gt; &quot;q&quot; &apos;s&apos; &#65;</text>"
      "<url>\n   http://h/a   b\n </url></result>");
  EXPECT_EQ(reply.title, "a <b> & c");
  EXPECT_EQ(reply.text, "x & y <z> \"q\" 's' A");
  EXPECT_EQ(reply.url, "http://h/a b");
}

// The bytes are the ANSI code page's, whatever the declaration says: a lead
// byte 0xE0 must not swallow the bytes after it as UTF-8 would, and a
// character reference gives one byte.
TEST(Reply, BytesAreTakenOneByOne) {
  ServiceReply reply = parsed(
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?><result><title>\xE0</title>"
      "<text>&#233;\x95\x5C</text><url>u</url></result>");
  EXPECT_EQ(reply.title, "\xE0");
  EXPECT_EQ(reply.text, "\xE9\x95\x5C");
  EXPECT_EQ(reply.url, "u");
}

TEST(Reply, BrokenBodyKeepsWhatWasRead) {
  ServiceReply reply = parsed("<result><code>5</code><title>T</title><text>never clo");
  EXPECT_EQ(reply.code, 5);
  EXPECT_EQ(reply.title, "T");
  EXPECT_EQ(reply.url, "");
}

TEST(Reply, CodeReadsLikeAtoi) {
  EXPECT_EQ(codeOf("0"), 0);
  EXPECT_EQ(codeOf("3"), 3);
  EXPECT_EQ(codeOf(" \t -2"), -2);
  EXPECT_EQ(codeOf("+7"), 7);
  EXPECT_EQ(codeOf("12abc"), 12);
  EXPECT_EQ(codeOf("abc"), 0);
  EXPECT_EQ(codeOf("- 5"), 0);
  EXPECT_EQ(codeOf("--5"), 0);
  EXPECT_EQ(codeOf("+-5"), 0);
  EXPECT_EQ(codeOf("0x10"), 0);
  EXPECT_EQ(codeOf("007"), 7);
  EXPECT_EQ(codeOf("1 2"), 1);
  EXPECT_EQ(codeOf("<![CDATA[ 42]]>"), 42);
}

TEST(Reply, CodeStopsAtThe32BitLimits) {
  EXPECT_EQ(codeOf("2147483647"), INT32_MAX);
  EXPECT_EQ(codeOf("-2147483648"), INT32_MIN);
  EXPECT_EQ(codeOf("2147483648"), INT32_MAX);
  EXPECT_EQ(codeOf("-2147483649"), INT32_MIN);
  EXPECT_EQ(codeOf("99999999999999999999999999999"), INT32_MAX);
  EXPECT_EQ(codeOf("-99999999999999999999999999999x"), INT32_MIN);
  EXPECT_EQ(codeOf("4294967296"), INT32_MAX);
}

TEST(ServiceMessage, TitleBlankLineTextLineEnd) {
  ServiceReply reply;
  reply.code = 3;
  reply.title = "T";
  reply.text = "X";
  int32_t returned = 0;
  EXPECT_EQ(printed(reply, &returned), "T\n\nX\n");
  EXPECT_EQ(returned, 3);
}

TEST(ServiceMessage, EmptyTitleAndEmptyText) {
  ServiceReply reply;
  reply.code = 0;
  reply.text = "X";
  int32_t returned = 1;
  EXPECT_EQ(printed(reply, &returned), "X\n");
  EXPECT_EQ(returned, 0);

  reply.text = "";
  reply.code = -2;
  EXPECT_EQ(printed(reply, &returned), "\n");
  EXPECT_EQ(returned, -2);
}

TEST(ServiceMessage, BytesAreWrittenUninterpreted) {
  ServiceReply reply = parsed(
      "<result><code>5</code><title>100% %s %d %n</title><text>\\n %% \x95\x5C</text></result>");
  int32_t returned = 0;
  EXPECT_EQ(printed(reply, &returned), "100% %s %d %n\n\n\\n %% \x95\x5C\n");
  EXPECT_EQ(returned, 5);
}
