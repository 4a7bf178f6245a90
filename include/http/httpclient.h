// CHttpClient: a small blocking HTTP/1.0 client, one request per connection.
//
// The caller names a request type, a URL without a scheme (host, optional
// ":port", optional path), POST form data and an optional referer; the client
// resolves the host, connects, sends one request, reads the response until
// the server closes or the declared body length is in (a response to HEAD,
// or with status 1xx, 204 or 304, ends with its header), and leaves status,
// header, body, content type and an error code in the object. Every buffer
// lives inside the object or in fixed-size storage of the call; only a name
// lookup whose result outgrows 2 KiB borrows heap storage, and gives it back
// before Connect returns. The object is 82974 bytes: create it with new
// rather than on a small stack. A request also uses about 82 KB of working
// storage on the calling thread's stack (the request text, the response as
// it arrives, the header copy and the name lookup's storage): run it on a
// thread with room for that beside the object.
//
// Strings passed in are only read; the functions that take them as char*
// accept read-only strings (literals, say) too, through the overloads below
// them (core_sdk/readonly_text.h), and NULL or 0 beside them for the optional
// POST data and referer. Recv and GetHeaderValue, which write into a
// buffer, refuse a literal there at compile time. Those functions are
// overloaded, so taking one's address needs its type:
//   static_cast<int (CHttpClient::*)(int, char*, char*, char*)>(&CHttpClient::ProcessURL)
//
// Threads: one object serves one request at a time and is not for two
// threads at once. Objects on different threads are independent: the name
// lookup keeps its result in storage of the call, not of the process.
//
// Error codes (HttpError; iError is set to 0 only by the constructor, each
// failure writes its code, success writes nothing: use one object per
// request):
//   1 BAD_HOST      the host name did not resolve (no socket was created)
//   2 NO_SOCKET     socket() failed
//   3 CANT_CONNECT  connect() failed (the socket is closed again)
//   4 CANT_WRITE    send() failed (the socket stays open until
//                   CloseConnection or the destructor)
//   5 CONTENT_TOO_BIG  the body does not fit: a declared Content-Length of
//      64000 or more (on a response that carries a body), or more than 63999
//      body bytes arrived without a declared length
//   6 MALFORMED_RESPONSE  no usable header: the connection ended before the
//      blank line, the header is longer than 1023 characters, or it does not
//      begin "HTTP"
//   7 BAD_REQUEST  the request was refused before anything was resolved or
//      sent (no socket was opened): request type not 1 to 3, an argument
//      beyond its limit (URL over 510 characters, host part over 255,
//      referer over 255, POST data over 16383), null URL, null POST data for
//      type 2, a request text over 16383 characters; a control character
//      (below 0x20, or 0x7F) in the host, the path or the referer, which
//      would split the request (spaces and bytes above 0x7F go as they
//      stand, and so does the POST data, the body), or one of those three
//      fields filled by the caller without its NUL; or a port, as written
//      in the URL, below 1 or above 65535
//   8 INCOMPLETE_RESPONSE  the response did not arrive whole: the connection
//      ended (closed or a receive error) before the declared Content-Length
//      was in, or a receive error (a reset, say) ended the reception at
//      any point
// After 5, 6 and 8 the socket is closed and the response side is unchanged.
//
// Signals: send, recv and connect interrupted by a signal handler installed
// without SA_RESTART resume; they never end a request early.
//
// The socket: iSocket is -1 whenever the object holds no open socket; every
// close sets it back to -1, so a descriptor number that may by now belong to
// someone else is never closed. The destructor closes a socket still open.
#pragma once

#include "core_sdk/export.h"
#include "core_sdk/readonly_text.h"

// Request types (iType, iRequestType). POST sends its form data as given.
enum HttpRequestType { HTTP_GET = 1, HTTP_POST = 2, HTTP_HEAD = 3 };

// iContentType: a Content-Type value containing "text/html", or no usable
// value, gives TEXT_HTML; else one containing "text/plain" gives TEXT_PLAIN;
// any other gives OTHER.
enum HttpContentType { CONTENT_TYPE_OTHER = 0, CONTENT_TYPE_TEXT_PLAIN = 1, CONTENT_TYPE_TEXT_HTML = 2 };

// iError and ProcessURL's result, as listed above.

enum HttpError {
  HTTP_ERROR_NONE = 0,
  HTTP_ERROR_BAD_HOST = 1,
  HTTP_ERROR_NO_SOCKET = 2,
  HTTP_ERROR_CANT_CONNECT = 3,
  HTTP_ERROR_CANT_WRITE = 4,
  HTTP_ERROR_CONTENT_TOO_BIG = 5,
  HTTP_ERROR_MALFORMED_RESPONSE = 6,
  HTTP_ERROR_BAD_REQUEST = 7,
  HTTP_ERROR_INCOMPLETE_RESPONSE = 8,
};

// Caller-side limits (characters, NUL excluded) and buffer sizes.
constexpr int kHttpMaxUrl = 510;
constexpr int kHttpMaxHostPart = 255;
constexpr int kHttpMaxReferer = 255;
constexpr int kHttpMaxPostData = 16383;
constexpr int kHttpRequestBufferSize = 16384;
constexpr int kHttpHeaderSize = 1024;
constexpr int kHttpBodySize = 64000;

// The layout is shared with callers that read the fields directly: the
// fields lie packed one after the other.
#pragma pack(push, 1)
class CORE_EXPORT CHttpClient {
 public:
  int iSocket;  // the open socket, or -1
  // The request side, filled by InitRequest.
  unsigned short usPort;
  int iRequestType;
  char szHost[256];
  char szPath[1024];
  char szPostData[16384];
  char szReferer[256];
  // The response, filled when a request succeeds: the header (status line
  // first) and the body, each followed by a NUL, their lengths, the status
  // code and the HttpContentType.
  char szResponseHeader[kHttpHeaderSize];
  char szResponseBody[kHttpBodySize];
  int iResponseHeaderLength;
  int iResponseBodyLength;
  int iResponseCode;
  int iContentType;
  int iError;

  CHttpClient();
  ~CHttpClient();

  // InitRequest, then Process; returns iError. The POST data and the
  // referer may be null (NULL, 0 or nullptr) beside literals too.
  int ProcessURL(int iType, char* szURL, char* szPostData, char* szReferer);
  template <typename Url, typename Data, typename Referer, core_sdk_detail::IfText<Url, Data, Referer> = 0>
  int ProcessURL(int iType, Url url, Data postData, Referer referer) {
    using core_sdk_detail::Unconst;
    return ProcessURL(iType, Unconst(url), Unconst(postData), Unconst(referer));
  }
  template <typename Url, typename Data, core_sdk_detail::IfText<Url, Data> = 0>
  int ProcessURL(int iType, Url url, Data postData, core_sdk_detail::NullText referer) {
    using core_sdk_detail::Unconst;
    return ProcessURL(iType, Unconst(url), Unconst(postData), Unconst(referer));
  }
  template <typename Url, typename Referer, core_sdk_detail::IfText<Url, Referer> = 0>
  int ProcessURL(int iType, Url url, core_sdk_detail::NullText postData, Referer referer) {
    using core_sdk_detail::Unconst;
    return ProcessURL(iType, Unconst(url), Unconst(postData), Unconst(referer));
  }
  template <typename Url, core_sdk_detail::IfText<Url> = 0>
  int ProcessURL(int iType, Url url, core_sdk_detail::NullText postData, core_sdk_detail::NullText referer) {
    using core_sdk_detail::Unconst;
    return ProcessURL(iType, Unconst(url), Unconst(postData), Unconst(referer));
  }
  // Fills the request side. Arguments beyond the limits leave it cleared
  // (iRequestType 0) and set error 7, so Process refuses to send. Null POST
  // data and referer as for ProcessURL. Control characters and the port are
  // taken as written (usPort holds the port's low 16 bits); Process refuses
  // what it must not send.
  void InitRequest(int iType, char* szURL, char* szPostData, char* szReferer);
  template <typename Url, typename Data, typename Referer, core_sdk_detail::IfText<Url, Data, Referer> = 0>
  void InitRequest(int iType, Url url, Data postData, Referer referer) {
    using core_sdk_detail::Unconst;
    InitRequest(iType, Unconst(url), Unconst(postData), Unconst(referer));
  }
  template <typename Url, typename Data, core_sdk_detail::IfText<Url, Data> = 0>
  void InitRequest(int iType, Url url, Data postData, core_sdk_detail::NullText referer) {
    using core_sdk_detail::Unconst;
    InitRequest(iType, Unconst(url), Unconst(postData), Unconst(referer));
  }
  template <typename Url, typename Referer, core_sdk_detail::IfText<Url, Referer> = 0>
  void InitRequest(int iType, Url url, core_sdk_detail::NullText postData, Referer referer) {
    using core_sdk_detail::Unconst;
    InitRequest(iType, Unconst(url), Unconst(postData), Unconst(referer));
  }
  template <typename Url, core_sdk_detail::IfText<Url> = 0>
  void InitRequest(int iType, Url url, core_sdk_detail::NullText postData, core_sdk_detail::NullText referer) {
    using core_sdk_detail::Unconst;
    InitRequest(iType, Unconst(url), Unconst(postData), Unconst(referer));
  }
  // Builds the request text, connects, sends it and receives the response.
  // Refuses (7) without resolving or connecting when the type is not 1 to 3,
  // the text would exceed 16383 characters, the host, path or referer holds
  // a control character, or the URL's port is outside 1 to 65535.
  void Process();
  // Closes a socket still open from an earlier request first.
  bool Connect(char* szHost, int iPort);
  template <typename Host, core_sdk_detail::IfText<Host> = 0>
  bool Connect(Host host, int iPort) {
    return Connect(core_sdk_detail::Unconst(host), iPort);
  }
  // Sends the whole text, resuming after short counts; a null text fails
  // like a refused send (4).
  bool Send(char* szData);
  template <typename Text, core_sdk_detail::IfText<Text> = 0>
  bool Send(Text data) {
    return Send(core_sdk_detail::Unconst(data));
  }
  // One recv (resumed when a signal interrupts it), its result unchanged:
  // bytes read, 0 at the end of the stream, -1 on error; a null buffer or a
  // negative size gives -1 without receiving.
  int Recv(char* szBuffer, int iBufferSize);
  template <typename Buffer, core_sdk_detail::IfReadOnly<Buffer> = 0>
  int Recv(Buffer buffer, int bufferSize) = delete;  // writes its buffer: not a literal
  void CloseConnection();
  void HandleEntity();
  // Copies the value of the first header line named szName (found ignoring
  // case; pass the colon too) into szReturnBuffer, followed by a NUL; false
  // when absent or longer than iBufSize, and the buffer is then untouched.
  // iBufSize is the longest value taken, one less than the buffer's size:
  // pass sizeof buffer - 1, or pass a char array alone (the form below),
  // which passes it. The value starts one character after the name (the
  // space after the colon) and runs to the line feed, and every line but the
  // header's last keeps its carriage return: for a middle line
  // "Content-Type: text/plain" the value is "text/plain\r".
  bool GetHeaderValue(char* szName, char* szReturnBuffer, int iBufSize);
  template <typename Name, core_sdk_detail::IfText<Name> = 0>
  bool GetHeaderValue(Name name, char* returnBuffer, int bufSize) {
    return GetHeaderValue(core_sdk_detail::Unconst(name), returnBuffer, bufSize);
  }
  template <typename Name, typename Buffer, core_sdk_detail::IfReadOnly<Buffer> = 0>
  bool GetHeaderValue(Name name, Buffer returnBuffer, int bufSize) = delete;  // not into a literal
  // Into a char array, whose size gives the longest value taken: N - 1
  // characters and the NUL.
  template <typename Name, std::size_t N, core_sdk_detail::IfText<Name> = 0>
  bool GetHeaderValue(Name name, char (&returnBuffer)[N]) {
    static_assert(N - 1 <= 0x7FFFFFFFu, "the size is passed as an int");
    return GetHeaderValue(core_sdk_detail::Unconst(name), returnBuffer, static_cast<int>(N - 1));
  }
};
#pragma pack(pop)
