// When a call to the service is sent again: a fault that may pass (the
// connection could not be made, was reset or closed before the status line,
// moved too slowly, or the body was cut after the head) or a status of 429,
// 502, 503 or 504. Nothing else is: every other status, an XML reply, a
// certificate that does not verify, a proxy's 407, a reply the agent
// refuses, a file that cannot be read or written.
//
// One plan serves the whole run. Each call gets 1 + `retries` attempts;
// between them the run waits, doubling from about a second up to 30 s with
// jitter, or as long as a Retry-After asks up to 60 s (a longer one ends the
// run as the last attempt left it). From its first fault the run gives up
// within GIVE_UP_MILLISECONDS, waits included, and at its deadline
// (TARVOLIN_MAX_TIME) whatever the faults.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

struct FormRequest;

constexpr const char* RETRIES_VARIABLE = "TARVOLIN_RETRIES";
constexpr const char* MAX_TIME_VARIABLE = "TARVOLIN_MAX_TIME";
constexpr int DEFAULT_RETRIES = 2;
constexpr int MAX_RETRIES = 100;
constexpr uint64_t FIRST_BACKOFF_MILLISECONDS = 1000;
constexpr uint64_t MAX_BACKOFF_MILLISECONDS = 30 * 1000;
constexpr long MAX_RETRY_AFTER_SECONDS = 60;
constexpr uint64_t GIVE_UP_MILLISECONDS = 5 * 60 * 1000;

struct RetryPlan {
  int retries = DEFAULT_RETRIES;
  // steadyMilliseconds() at which the run ends; 0 for no deadline.
  uint64_t deadline = 0;
  // steadyMilliseconds() of the run's first fault; 0 before it.
  uint64_t firstFault = 0;
  uint32_t jitterState = 1;
  // Takes the line that names each retry, for people; none when null.
  void (*noteRetry)(const std::string& line) = nullptr;

  // Reads RETRIES_VARIABLE and MAX_TIME_VARIABLE; the deadline runs from
  // `now`. False, with `refusal` in one line, when either is not a
  // non-negative decimal number (the time in whole seconds).
  bool readEnvironment(uint64_t now, std::string& refusal);

  // When an exchange must end whatever moves: at the deadline, or once the
  // run has spent GIVE_UP_MILLISECONDS since its first fault; 0 for never.
  uint64_t exchangeDeadline() const;

  // The wait before the attempt after `attempt` (1 for the first) of
  // `request`, which has just ended; false when the call is not tried again.
  bool waitBeforeNext(const FormRequest& request, int attempt, uint64_t now,
                      uint64_t& waitMilliseconds);
};

// Whether the attempt that just ended met a fault that may pass.
bool isPassingFault(const FormRequest& request);

// The seconds a Retry-After value asks to wait: a number of seconds, or an
// HTTP date after `now` (a date already past gives 0). False when the value
// is neither.
bool retryAfterSeconds(const std::string& value, std::time_t now, long& seconds);

// The wait before retry `retry` (1 for the first): FIRST_BACKOFF_MILLISECONDS
// doubled for each retry before it, up to MAX_BACKOFF_MILLISECONDS, with up
// to half as much again from `random`, still within the cap.
uint64_t backoffMilliseconds(int retry, uint32_t random);

// "503 Service Unavailable from host:port", or the failure's cause: the
// fault of the attempt that just ended, as a retry's line names it.
std::string faultOf(const FormRequest& request);
