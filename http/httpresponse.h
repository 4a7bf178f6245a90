// Response parsing for CHttpClient as pure functions over a buffer, apart
// from the socket loop, so tests and fuzzers can feed them directly. Header
// texts are NUL-terminated; raw received data is a pointer and a length and
// may hold NUL bytes.
#pragma once

namespace httpresponse {

// Where the header ends in the first `length` bytes of `data`: the first
// CR LF CR LF anywhere, and only when there is none the first LF LF. Returns
// the header length (the bytes before the terminator) and stores the
// terminator's length (4 or 2) in *terminatorLength; -1 when neither occurs.
int FindHeaderEnd(const char* data, int length, int* terminatorLength);

// The value of the header line whose name (matched case-insensitively, also
// inside a longer name) is `name`: it starts one character after the end of
// the matched name and runs to the next LF or the end of the header; a CR
// before the LF stays in it. Stores its start and length; false when the
// name does not occur (or is empty).
bool FindHeaderValue(const char* header, const char* name, const char** value, int* valueLength);

// The declared body length: the Content-Length value read in base 10 by the
// rules of strtol, a CR at its end dropped. False when the header has none.
bool ReadContentLength(const char* header, long* contentLength);

// The status code: the header's 10th to 12th characters (only those within
// the first `headerLength`) read in base 10 by the rules of strtol.
int ReadStatusCode(const char* header, int headerLength);

// True when the header begins with the four capital letters "HTTP".
bool HasHttpPrefix(const char* header);

// Classification of the Content-Type value: 2 for "text/html", a missing
// header or a value over 256 characters; else 1 for "text/plain"; else 0.
int ClassifyContentType(const char* header);

}  // namespace httpresponse
