#include "formpost/retry.h"

#include <vector>

#include "formpost/failure_cause.h"
#include "formpost/form_request.h"
#include "formpost/step_codes.h"
#include "platform/ascii.h"
#include "platform/environment.h"
#include "platform/http_framing.h"
#include "platform/net_faults.h"

namespace {

bool isPassingStatus(int status) {
  return status == 429 || status == 502 || status == 503 || status == 504;
}

// A whole decimal number of at most nine digits, so that it fits a long.
bool readCount(const std::string& text, long& value) {
  if (text.empty() || text.size() > 9) return false;
  value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  return true;
}

// Days from 1970-01-01 to the given date of the proleptic Gregorian
// calendar (month 1 to 12).
long daysFromEpoch(long year, long month, long day) {
  year -= month <= 2 ? 1 : 0;
  const long era = (year >= 0 ? year : year - 399) / 400;
  const long yearOfEra = year - era * 400;
  const long dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const long dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + dayOfEra - 719468;
}

long monthNumber(const std::string& name) {
  static const char* const MONTHS[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  for (long i = 0; i < 12; ++i)
    if (name == MONTHS[i]) return i + 1;
  return 0;
}

// "hh:mm:ss" into seconds of the day.
bool readClock(const std::string& text, long& seconds) {
  long h = 0;
  long m = 0;
  long s = 0;
  if (text.size() != 8 || text[2] != ':' || text[5] != ':' || !readCount(text.substr(0, 2), h) ||
      !readCount(text.substr(3, 2), m) || !readCount(text.substr(6, 2), s) || h > 23 || m > 59 ||
      s > 60)
    return false;
  seconds = h * 3600 + m * 60 + s;
  return true;
}

std::vector<std::string> wordsOf(const std::string& text) {
  std::vector<std::string> words;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find(' ', at);
    if (end == std::string::npos) end = text.size();
    if (end > at) words.push_back(text.substr(at, end - at));
    at = end + 1;
  }
  return words;
}

// An HTTP date in any of its three forms (RFC 9110, section 5.6.7), as
// seconds since 1970 in UTC.
bool readHttpDate(const std::string& text, long long& when) {
  std::vector<std::string> words = wordsOf(text);
  long day = 0;
  long month = 0;
  long year = 0;
  long clock = 0;
  bool read = false;
  if (words.size() == 6 && words[5] == "GMT") {  // Sun, 06 Nov 1994 08:49:37 GMT
    month = monthNumber(words[2]);
    read = readCount(words[1], day) && readCount(words[3], year) && words[3].size() == 4 &&
           readClock(words[4], clock);
  } else if (words.size() == 4 && words[3] == "GMT") {  // Sunday, 06-Nov-94 08:49:37 GMT
    const std::string& date = words[1];
    if (date.size() == 9 && date[2] == '-' && date[6] == '-') {
      month = monthNumber(date.substr(3, 3));
      read = readCount(date.substr(0, 2), day) && readCount(date.substr(7, 2), year) &&
             readClock(words[2], clock);
      year += year < 70 ? 2000 : 1900;
    }
  } else if (words.size() == 5) {  // Sun Nov  6 08:49:37 1994
    month = monthNumber(words[1]);
    read = readCount(words[2], day) && readClock(words[3], clock) && readCount(words[4], year) &&
           words[4].size() == 4;
  }
  if (!read || month == 0 || day < 1 || day > 31) return false;
  when = static_cast<long long>(daysFromEpoch(year, month, day)) * 86400 + clock;
  return true;
}

// The status line's reason phrase of the last reply, printable ASCII only.
std::string reasonOf(const std::string& replyHead) {
  std::string line = replyHead.substr(0, replyHead.find_first_of("\r\n"));
  size_t codeStart = line.find(' ');
  if (codeStart == std::string::npos || line.size() <= codeStart + 5) return std::string();
  std::string reason;
  for (char c : line.substr(codeStart + 5))
    if (c >= ' ' && c <= '~') reason += c;
  return trimmedBlanks(reason);
}

uint32_t nextRandom(uint32_t& state) {
  // xorshift32: enough to spread the runs of many jobs that failed together.
  state ^= state << 13;
  state ^= state >> 17;
  state ^= state << 5;
  return state;
}

}  // namespace

bool isPassingFault(const FormRequest& request) {
  const HttpOutcome& exchange = request.exchange;
  if (request.failure.cause.empty())  // the exchange came to its end
    return isPassingStatus(request.statusCode) || request.statusCode == 0;
  if (request.failure.onFile) return false;
  if (request.resume.refused) return true;  // fetched whole next time
  const unsigned long number = exchange.number;
  // Closed before any status line came: WinINet makes of that a reply it
  // cannot read, whose head holds nothing.
  if (request.failure.step == STEP_END_REQUEST &&
      exchange.replyHead.find_first_not_of("\r\n \t") == std::string::npos)
    return true;
  if (!exchange.refusal.empty()) return false;
  switch (request.failure.step) {
    case STEP_CONNECT:
    case STEP_SEND_GET:
    case STEP_SEND_POST:
    case STEP_WRITE_TEXT_PART:
    case STEP_WRITE_FILE_HEADER:
    case STEP_WRITE_FILE_CONTENT:
    case STEP_WRITE_FILE_TRAILER:
    case STEP_WRITE_CLOSING_DELIMITER:
    case STEP_END_REQUEST:
      return isPassingNetError(number);
    case STEP_READ_REPLY: {
      const unsigned long shown = request.failure.number;
      if (shown == NET_ERRORS.replyTooLarge || shown == NET_ERRORS.replyFraming) return false;
      if (shown == NET_ERRORS.replyCutShort) return true;
      return !exchange.sinkRefused && isPassingNetError(number);
    }
    default:
      return false;
  }
}

bool retryAfterSeconds(const std::string& value, std::time_t now, long& seconds) {
  const std::string text = trimmedBlanks(value);
  if (readCount(text, seconds)) return true;
  long long when = 0;
  if (!readHttpDate(text, when)) return false;
  long long left = when - static_cast<long long>(now);
  seconds = left <= 0 ? 0 : (left > 999999999 ? 999999999 : static_cast<long>(left));
  return true;
}

uint64_t backoffMilliseconds(int retry, uint32_t random) {
  uint64_t base = FIRST_BACKOFF_MILLISECONDS;
  for (int i = 1; i < retry && base < MAX_BACKOFF_MILLISECONDS; ++i) base *= 2;
  if (base > MAX_BACKOFF_MILLISECONDS) base = MAX_BACKOFF_MILLISECONDS;
  uint64_t wait = base + random % (base / 2 + 1);
  return wait > MAX_BACKOFF_MILLISECONDS ? MAX_BACKOFF_MILLISECONDS : wait;
}

std::string faultOf(const FormRequest& request) {
  if (!request.failure.cause.empty()) return request.failure.cause;
  if (request.statusCode == 0) return endpointOf(request) + " sent no HTTP status";
  std::string reason = reasonOf(request.exchange.replyHead);
  return std::to_string(request.statusCode) + (reason.empty() ? "" : " " + reason) + " from " +
         endpointOf(request);
}

bool RetryPlan::readEnvironment(uint64_t now, std::string& refusal) {
  jitterState = static_cast<uint32_t>(now ^ static_cast<uint64_t>(std::time(nullptr))) | 1u;
  const std::string retriesText = environmentVariable(RETRIES_VARIABLE);
  long count = DEFAULT_RETRIES;
  if (!retriesText.empty() && (!readCount(retriesText, count) || count > MAX_RETRIES)) {
    refusal = std::string(RETRIES_VARIABLE) + " is '" + retriesText +
              "'; give the number of retries after the first attempt, 0 to " +
              std::to_string(MAX_RETRIES);
    return false;
  }
  retries = static_cast<int>(count);
  const std::string maxTimeText = environmentVariable(MAX_TIME_VARIABLE);
  long seconds = 0;
  if (maxTimeText.empty()) return true;
  if (!readCount(maxTimeText, seconds) || seconds == 0) {
    refusal = std::string(MAX_TIME_VARIABLE) + " is '" + maxTimeText +
              "'; give the longest run in whole seconds, at least 1";
    return false;
  }
  deadline = now + static_cast<uint64_t>(seconds) * 1000;
  return true;
}

uint64_t RetryPlan::exchangeDeadline() const {
  if (firstFault == 0) return deadline;
  const uint64_t givingUp = firstFault + GIVE_UP_MILLISECONDS;
  return deadline != 0 && deadline < givingUp ? deadline : givingUp;
}

bool RetryPlan::waitBeforeNext(const FormRequest& request, int attempt, uint64_t now,
                               uint64_t& waitMilliseconds) {
  if (attempt > retries || !isPassingFault(request)) return false;
  if (firstFault == 0) firstFault = now;
  std::string value;
  long seconds = 0;
  if (singleFieldValue(request.exchange.replyHead, "Retry-After", value) &&
      retryAfterSeconds(value, std::time(nullptr), seconds)) {
    if (seconds > MAX_RETRY_AFTER_SECONDS) return false;
    waitMilliseconds = static_cast<uint64_t>(seconds) * 1000;
  } else {
    waitMilliseconds = backoffMilliseconds(attempt, nextRandom(jitterState));
  }
  if (now + waitMilliseconds > firstFault + GIVE_UP_MILLISECONDS) return false;
  return deadline == 0 || now + waitMilliseconds < deadline;
}
