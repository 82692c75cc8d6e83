#include "formpost/trace.h"

#include "formpost/form_request.h"
#include "platform/ascii.h"

namespace {

const char* const MASK = "********";

// Form fields whose values are secrets.
bool isSecretField(const std::string& name) {
  return name == "authId";
}

void emit(const FormRequest& request, const std::string& line) {
  request.traceLine(line);
}

// Each line of a head, CRLF or LF separated, blank lines left out; how many
// were shown.
int emitHead(const FormRequest& request, const char* marker, const std::string& head) {
  int shown = 0;
  size_t start = 0;
  while (start < head.size()) {
    size_t end = head.find('\n', start);
    if (end == std::string::npos) end = head.size();
    std::string line = head.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) {
      emit(request, std::string(marker) + maskedHeaderLine(line));
      ++shown;
    }
    start = end + 1;
  }
  return shown;
}

}  // namespace

std::string maskedHeaderLine(const std::string& line) {
  for (const char* secret : {"Authorization:", "Proxy-Authorization:", "Cookie:"}) {
    if (startsWithIgnoringAsciiCase(line, secret))
      return line.substr(0, std::string(secret).size()) + " " + MASK;
  }
  return line;
}

std::string maskedUrl(const std::string& url) {
  size_t scheme = url.find("://");
  if (scheme == std::string::npos) return url;
  size_t authorityStart = scheme + 3;
  size_t authorityEnd = url.find_first_of("/?#", authorityStart);
  if (authorityEnd == std::string::npos) authorityEnd = url.size();
  size_t at = url.rfind('@', authorityEnd);
  if (at == std::string::npos || at < authorityStart) return url;
  size_t colon = url.find(':', authorityStart);
  if (colon == std::string::npos || colon > at) return url;
  return url.substr(0, colon + 1) + MASK + url.substr(at);
}

void traceRequestLine(const FormRequest& request, const std::string& url) {
  emit(request, std::string("* ") + (request.sendMode == Get ? "GET " : "POST ") + maskedUrl(url));
}

void traceExchange(const FormRequest& request) {
  const HttpOutcome& exchange = request.exchange;
  if (!exchange.proxy.empty()) emit(request, "* through the proxy " + maskedUrl(exchange.proxy));
  if (request.urlParts.secure && !exchange.trustedCertificates.empty())
    emit(request, "* certificates checked against " + exchange.trustedCertificates);
  emitHead(request, "< (proxy) ", exchange.proxyReply);
  if (request.sendMode == MultipartPost) {
    for (const TextField& field : request.textFields.items)
      emit(request,
           "* field " + field.name + ": " + (isSecretField(field.name) ? MASK : field.value));
    for (const FileField& field : request.fileFields.items)
      emit(request, "* file " + field.fieldName + ": " + field.path + " (" +
                        std::to_string(field.size) + " bytes, " + field.contentType + ")");
  }
  emitHead(request, "> ", request.exchange.requestHead);
  if (request.sendMode == MultipartPost && request.bodyLength > 0)
    emit(request, "* body of " + std::to_string(request.bodyLength) + " bytes");
  if (emitHead(request, "< ", request.exchange.replyHead) > 0)
    emit(request, "* " + std::to_string(request.replyReceived) + " bytes of reply received");
}
