// The steps of one exchange that can fail. A failed exchange leaves its step's
// code in the request's statusCode and the line "error : <code>(<number>)\n"
// in its replyBody, <number> being the system's error number for the call
// that failed. Scripts and users read these codes, so they never change.
#pragma once

#include <cstdint>

// The URL cannot be split into host, port and path. The message is the fixed
// "error : -100\n", and statusCode keeps the value it had.
constexpr int32_t STEP_SPLIT_URL = -100;
// Opening the session (InternetOpenA).
constexpr int32_t STEP_OPEN_SESSION = -101;
// Connecting to the host (InternetConnectA).
constexpr int32_t STEP_CONNECT = -102;
// Opening the request (HttpOpenRequestA). Its number is printed in
// lower-case hexadecimal, as it always has been.
constexpr int32_t STEP_OPEN_REQUEST = -103;
// Adding an agent header: "Agent-Version", whose number is printed in
// hexadecimal, and then "Agent-Language", whose number is printed in decimal.
// One code for both, told apart only by how the number is written.
constexpr int32_t STEP_ADD_AGENT_HEADER = -104;
// Sending a GET.
constexpr int32_t STEP_SEND_GET = -201;
// Adding the Content-Type header of a form post.
constexpr int32_t STEP_ADD_CONTENT_TYPE = -301;
// Adding the Content-Length header of a form post.
constexpr int32_t STEP_ADD_CONTENT_LENGTH = -302;
// Starting a form post (HttpSendRequestExA): connecting and sending the head.
constexpr int32_t STEP_SEND_POST = -303;
// Writing a text field's part.
constexpr int32_t STEP_WRITE_TEXT_PART = -304;
// Writing a file part's header.
constexpr int32_t STEP_WRITE_FILE_HEADER = -305;
// Reading or writing a file's content: the file cannot be opened or read, or
// changed its size, or the connection took no more.
constexpr int32_t STEP_WRITE_FILE_CONTENT = -306;
// Writing a file part's trailer.
constexpr int32_t STEP_WRITE_FILE_TRAILER = -307;
// Writing the body's closing delimiter.
constexpr int32_t STEP_WRITE_CLOSING_DELIMITER = -308;
// The request's send mode is neither a GET nor a form post; nothing is sent,
// and the message is "error : -401\n", without a number.
constexpr int32_t STEP_UNKNOWN_SEND_MODE = -401;
// Ending the request (HttpEndRequestA): the server did not answer, moved too
// slowly, or answered with a reply whose framing is invalid.
constexpr int32_t STEP_END_REQUEST = -402;
// Reading the reply's status.
constexpr int32_t STEP_QUERY_STATUS = -501;
// Reading the reply: the connection failed, stalled or ended before the
// announced length, a download did not declare its length, the reply file
// could not be written, or a reply held in memory outgrew its cap.
constexpr int32_t STEP_READ_REPLY = -502;

// Texts that look like slips and are not: scripts and the service match them
// byte for byte, so they stay exactly as they are.
// The form post's Content-Type has two blanks after the semicolon.
constexpr const char* MULTIPART_CONTENT_TYPE = "multipart/form-data;  boundary=";
