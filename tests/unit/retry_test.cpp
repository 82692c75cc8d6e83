#include "formpost/retry.h"

#include <gtest/gtest.h>

#include <string>

#include "formpost/form_request.h"
#include "formpost/step_codes.h"

namespace {

TEST(RetryAfter, SecondsOrAnHttpDateInAnyOfItsForms) {
  // Sun, 06 Nov 1994 08:49:37 GMT
  const std::time_t date = 784111777;
  struct Case {
    const char* value;
    std::time_t now;
    bool read;
    long seconds;
  };
  const Case cases[] = {
      {"1", 0, true, 1},
      {" 120 ", 0, true, 120},
      {"0", 0, true, 0},
      {"Sun, 06 Nov 1994 08:49:37 GMT", date - 5, true, 5},
      {"Sunday, 06-Nov-94 08:49:37 GMT", date - 61, true, 61},
      {"Sun Nov  6 08:49:37 1994", date - 2, true, 2},
      {"Sun, 06 Nov 1994 08:49:37 GMT", date + 10, true, 0},  // already past
      {"-1", 0, false, 0},
      {"1.5", 0, false, 0},
      {"soon", 0, false, 0},
      {"", 0, false, 0},
      {"Sun, 06 Foo 1994 08:49:37 GMT", 0, false, 0},
      {"Sun, 06 Nov 1994 25:49:37 GMT", 0, false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    long seconds = -7;
    EXPECT_EQ(c.read, retryAfterSeconds(c.value, c.now, seconds));
    if (c.read) {
      EXPECT_EQ(c.seconds, seconds);
    }
  }
}

TEST(Backoff, DoublesFromASecondWithJitterUpToThirtySeconds) {
  struct Case {
    int retry;
    uint32_t random;
    uint64_t wait;
  };
  const Case cases[] = {
      {1, 0, 1000},  {1, 500, 1500},   {1, 501, 1000}, {2, 0, 2000},     {3, 0, 4000},
      {5, 0, 16000}, {5, 8000, 24000}, {6, 0, 30000},  {6, 9999, 30000}, {40, 12345, 30000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.retry) + " " + std::to_string(c.random));
    EXPECT_EQ(c.wait, backoffMilliseconds(c.retry, c.random));
  }
}

TEST(RetryPlan, PassingFaultsOnlyWithinTheAttemptsAndTheTime) {
  FormRequest request;
  request.urlParts.hostName = "sign.example.com";
  request.urlParts.port = 443;
  struct Case {
    int status;
    const char* head;
    int attempt;
    uint64_t now;  // milliseconds after the first fault
    bool again;
    uint64_t wait;  // 0: a backoff
  };
  const Case cases[] = {
      {503, "HTTP/1.1 503 Busy\r\nRetry-After: 2\r\n", 1, 0, true, 2000},
      {429, "HTTP/1.1 429 Slow\r\nRetry-After: 60\r\n", 1, 0, true, 60000},
      {429, "HTTP/1.1 429 Slow\r\nRetry-After: 61\r\n", 1, 0, false, 0},
      {502, "HTTP/1.1 502 Bad\r\n", 1, 0, true, 0},
      {504, "HTTP/1.1 504 Late\r\n", 2, 0, true, 0},
      {504, "HTTP/1.1 504 Late\r\n", 3, 0, false, 0},  // the third of three attempts
      {503, "HTTP/1.1 503 Busy\r\nRetry-After: 30\r\n", 1, GIVE_UP_MILLISECONDS - 29000, false, 0},
      {500, "HTTP/1.1 500 Broken\r\n", 1, 0, false, 0},
      {404, "HTTP/1.1 404 Gone\r\n", 1, 0, false, 0},
      {407, "HTTP/1.1 407 Proxy\r\n", 1, 0, false, 0},
      {200, "HTTP/1.1 200 OK\r\n", 1, 0, false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.head);
    RetryPlan plan;
    plan.firstFault = 1;
    request.statusCode = c.status;
    request.exchange.replyHead = c.head;
    uint64_t wait = 0;
    EXPECT_EQ(c.again, plan.waitBeforeNext(request, c.attempt, 1 + c.now, wait));
    if (c.again) {
      // Without Retry-After: the backoff of the attempt, with its jitter.
      const uint64_t least = c.wait != 0 ? c.wait : 1000u << (c.attempt - 1);
      const uint64_t most = c.wait != 0 ? c.wait : least + least / 2;
      EXPECT_TRUE(wait >= least && wait <= most) << wait;
    }
  }
  request.statusCode = 503;
  request.exchange.replyHead = "HTTP/1.1 503 Service Unavailable\r\n";
  EXPECT_EQ("503 Service Unavailable from sign.example.com:443", faultOf(request));
  // A deadline that a wait would pass ends the run instead.
  RetryPlan plan;
  plan.deadline = 1500;
  request.exchange.replyHead = "HTTP/1.1 503 Busy\r\nRetry-After: 2\r\n";
  uint64_t wait = 0;
  EXPECT_FALSE(plan.waitBeforeNext(request, 1, 1, wait));
}

TEST(RetryPlan, AnExchangeEndsAtTheDeadlineOrFiveMinutesAfterTheFirstFault) {
  struct Case {
    uint64_t deadline;
    uint64_t firstFault;
    uint64_t ends;
  };
  const Case cases[] = {
      {0, 0, 0},
      {9000, 0, 9000},
      {0, 1000, 1000 + GIVE_UP_MILLISECONDS},
      {9000, 1000, 9000},
      {1000 + GIVE_UP_MILLISECONDS + 1, 1000, 1000 + GIVE_UP_MILLISECONDS},
  };
  for (const Case& c : cases) {
    RetryPlan plan;
    plan.deadline = c.deadline;
    plan.firstFault = c.firstFault;
    EXPECT_EQ(c.ends, plan.exchangeDeadline()) << c.deadline << " " << c.firstFault;
  }
}

TEST(RetryPlan, FailedStepsThatMayPass) {
  struct Case {
    int32_t step;
    unsigned long number;
    bool onFile;
    const char* refusal;
    const char* head;
    bool passing;
  };
  const unsigned long timedOut = NET_ERRORS.timedOut;
  const Case cases[] = {
      {STEP_SEND_POST, timedOut, false, "", "", true},
      {STEP_END_REQUEST, 0, false, "its status line is not HTTP/1.x", "\r\n", true},
      {STEP_END_REQUEST, 0, false, "its status line is not HTTP/1.x", "ICY 200 OK\r\n", false},
      {STEP_READ_REPLY, NET_ERRORS.replyCutShort, false, "", "HTTP/1.1 200 OK\r\n", true},
      {STEP_READ_REPLY, NET_ERRORS.replyTooLarge, false, "", "HTTP/1.1 200 OK\r\n", false},
      {STEP_READ_REPLY, timedOut, true, "", "HTTP/1.1 200 OK\r\n", false},
      {STEP_WRITE_FILE_CONTENT, timedOut, true, "", "", false},
      {STEP_SPLIT_URL, 0, false, "", "", false},
      {STEP_QUERY_STATUS, timedOut, false, "", "", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.step) + " " + c.head);
    FormRequest request;
    request.failure = ExchangeFailure{c.step, c.number, "cause", c.onFile};
    request.exchange.number = c.number;
    request.exchange.refusal = c.refusal;
    request.exchange.replyHead = c.head;
    EXPECT_EQ(c.passing, isPassingFault(request));
  }
}

}  // namespace
