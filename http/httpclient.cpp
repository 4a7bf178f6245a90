// CHttpClient: request building, the connection, and the reception loop.
// The response is parsed by the pure functions of http/httpresponse.
#include "http/httpclient.h"

#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "httpresponse.h"

static_assert(offsetof(CHttpClient, iSocket) == 0, "iSocket offset");
static_assert(offsetof(CHttpClient, usPort) == 4, "usPort offset");
static_assert(offsetof(CHttpClient, iRequestType) == 6, "iRequestType offset");
static_assert(offsetof(CHttpClient, szHost) == 10, "szHost offset");
static_assert(offsetof(CHttpClient, szPath) == 266, "szPath offset");
static_assert(offsetof(CHttpClient, szPostData) == 1290, "szPostData offset");
static_assert(offsetof(CHttpClient, szReferer) == 17674, "szReferer offset");
static_assert(offsetof(CHttpClient, szResponseHeader) == 17930, "szResponseHeader offset");
static_assert(offsetof(CHttpClient, szResponseBody) == 18954, "szResponseBody offset");
static_assert(offsetof(CHttpClient, iResponseHeaderLength) == 82954, "iResponseHeaderLength offset");
static_assert(offsetof(CHttpClient, iResponseBodyLength) == 82958, "iResponseBodyLength offset");
static_assert(offsetof(CHttpClient, iResponseCode) == 82962, "iResponseCode offset");
static_assert(offsetof(CHttpClient, iContentType) == 82966, "iContentType offset");
static_assert(offsetof(CHttpClient, iError) == 82970, "iError offset");
static_assert(sizeof(CHttpClient) == 82974, "CHttpClient size");

namespace {

constexpr char kUserAgent[] = "TAVO/0.221";
constexpr int kReadSize = 2048;
constexpr int kMaxHeader = kHttpHeaderSize - 1;
constexpr int kMaxBody = kHttpBodySize - 1;
// Without a terminator in the data so far, a later one can start at most
// this many bytes before its end (a CR LF CR LF missing its last byte).
constexpr int kTerminatorOverlap = 3;

// strlen, but stops counting at limit + 1 so an over-long text is detected
// without reading all of it.
int BoundedLength(const char* text, int limit) {
  return static_cast<int>(strnlen(text, static_cast<size_t>(limit) + 1));
}

// Precision for printing a field: at most its size less the NUL, so a field
// that a caller overwrote without a NUL is never read past its end.
template <size_t N>
int FieldPrecision(const char (&)[N]) {
  return static_cast<int>(N - 1);
}

// Resolves a name or dotted address to its first IPv4 address, as
// gethostbyname would, but with the result in storage of this call:
// gethostbyname's result is shared by the whole process, and a lookup on
// another thread can overwrite it while it is being copied. The working
// storage starts on the stack and moves to the heap, doubling, only while the
// lookup reports it too small; past kLookupMaxStorage the name counts as
// unresolved.
constexpr size_t kLookupStackStorage = 2048;
constexpr size_t kLookupMaxStorage = 1 << 20;

bool ResolveIPv4(const char* name, in_addr* address) {
  char onStack[kLookupStackStorage];
  char* storage = onStack;
  char* onHeap = nullptr;
  size_t size = sizeof(onStack);
  hostent entry;
  hostent* result = nullptr;
  int lookupError = 0;
  while (gethostbyname_r(name, &entry, storage, size, &result, &lookupError) == ERANGE &&
         lookupError == NETDB_INTERNAL) {  // GCOVR_EXCL_BR_LINE: ERANGE comes with NETDB_INTERNAL
    result = nullptr;
    free(onHeap);
    onHeap = size < kLookupMaxStorage ? static_cast<char*>(malloc(size * 2)) : nullptr;
    if (!onHeap) break;
    storage = onHeap;
    size *= 2;
  }
  // GCOVR_EXCL_BR_START: a result found is an IPv4 entry with an address
  const bool found = result && result->h_addrtype == AF_INET && result->h_length == sizeof(*address) &&
                     result->h_addr_list && result->h_addr_list[0];
  // GCOVR_EXCL_BR_STOP
  if (found) memcpy(address, result->h_addr_list[0], sizeof(*address));
  free(onHeap);
  return found;
}

// Waits for a connect that a signal interrupted: the connection goes on in
// the background, and calling connect again would fail with EALREADY. True
// once it is established.
bool FinishInterruptedConnect(int socket) {
  pollfd writable{socket, POLLOUT, 0};
  int ready;
  do {
    ready = poll(&writable, 1, -1);
  } while (ready < 0 && errno == EINTR);  // GCOVR_EXCL_BR_LINE: else only without kernel memory
  int error = 0;
  socklen_t length = sizeof(error);
  // GCOVR_EXCL_BR_START: only after poll failed for want of memory; an open socket's SO_ERROR is readable
  return ready == 1 && getsockopt(socket, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0;
  // GCOVR_EXCL_BR_STOP
}

// Hands all `length` bytes to send, resuming after a signal and after a
// short count. MSG_NOSIGNAL: a peer that has gone away yields an error result
// instead of a SIGPIPE that would end the whole host process.
bool SendAll(int socket, const char* text, size_t length) {
  while (length > 0) {
    const ssize_t sent = send(socket, text, length, MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    if (sent <= 0) return false;
    text += sent;
    length -= static_cast<size_t>(sent);
  }
  return true;
}

// Whether a request field cannot go as it stands: a byte below 0x20 or DEL
// in the request line or a header would end the line early and let the rest
// pass as headers or a second request, and a field without its NUL (filled
// by the caller) would go cut, the host looked up with the bytes after it.
template <size_t N>
bool Unsendable(const char (&field)[N]) {
  const size_t length = strnlen(field, N);
  for (size_t i = 0; i < length; ++i) {
    const unsigned char byte = static_cast<unsigned char>(field[i]);
    if (byte < 0x20 || byte == 0x7F) return true;
  }
  return length == N;
}

// The port as the URL wrote it. InitRequest cuts szHost at the colon and
// keeps only the low 16 bits in usPort, but the text after the colon stays
// in the field behind the host's NUL. That text is read again when it agrees
// with usPort; otherwise (no colon, or fields filled by the caller) usPort is
// the port.
long WrittenPort(const char (&host)[kHttpMaxHostPart + 1], unsigned short port) {
  const size_t hostLength = strnlen(host, sizeof(host));
  if (hostLength + 1 >= sizeof(host) || host[hostLength + 1] == '\0') return port;
  char text[sizeof(host)] = {};
  memcpy(text, host + hostLength + 1, sizeof(host) - hostLength - 1);
  const long written = strtol(text, nullptr, 10);
  return (static_cast<unsigned long>(written) & 0xFFFF) == port ? written : port;
}

// Responses that carry no body whatever length they declare: to a HEAD
// request, and with status 1xx, 204 or 304.
bool CarriesNoBody(int requestType, const char* header, int headerLength) {
  if (requestType == HTTP_HEAD) return true;
  if (!httpresponse::HasHttpPrefix(header)) return false;
  const int code = httpresponse::ReadStatusCode(header, headerLength);
  return (code >= 100 && code < 200) || code == 204 || code == 304;
}

}  // namespace

CHttpClient::CHttpClient() {
  memset(static_cast<void*>(this), 0, sizeof(*this));
  iSocket = -1;
  iError = HTTP_ERROR_NONE;
}

// A socket left open (after a failed send, or by a caller driving the
// connection) is closed here rather than leaked.
CHttpClient::~CHttpClient() { CloseConnection(); }

int CHttpClient::ProcessURL(int iType, char* szURL, char* szData, char* szRef) {
  InitRequest(iType, szURL, szData, szRef);
  Process();
  return iError;
}

void CHttpClient::InitRequest(int iType, char* szURL, char* szData, char* szRef) {
  usPort = 0;
  iRequestType = 0;
  memset(szHost, 0, sizeof(szHost));
  memset(szPath, 0, sizeof(szPath));
  memset(szPostData, 0, sizeof(szPostData));
  memset(szReferer, 0, sizeof(szReferer));

  // Refuse rather than cut: a request with a shortened host, path, referer or
  // form data would go to the wrong place or carry the wrong data.
  bool valid = iType >= HTTP_GET && iType <= HTTP_HEAD && szURL;
  int urlLength = valid ? BoundedLength(szURL, kHttpMaxUrl) : 0;
  valid = valid && urlLength <= kHttpMaxUrl;
  const char* slash = valid ? static_cast<const char*>(memchr(szURL, '/', urlLength)) : nullptr;
  int hostLength = slash ? static_cast<int>(slash - szURL) : urlLength;
  valid = valid && hostLength <= kHttpMaxHostPart;
  int refererLength = szRef ? BoundedLength(szRef, kHttpMaxReferer) : 0;
  valid = valid && refererLength <= kHttpMaxReferer;
  int dataLength = 0;
  if (valid && iType == HTTP_POST) {
    dataLength = szData ? BoundedLength(szData, kHttpMaxPostData) : kHttpMaxPostData + 1;
    valid = dataLength <= kHttpMaxPostData;
  }
  if (!valid) {
    iError = HTTP_ERROR_BAD_REQUEST;
    return;
  }

  iRequestType = iType;
  memcpy(szReferer, szRef ? szRef : "", refererLength);
  if (iType == HTTP_POST) memcpy(szPostData, szData, dataLength);
  memcpy(szHost, szURL, hostLength);
  // A URL without a slash asks for the path "/".
  if (slash)
    memcpy(szPath, slash, urlLength - hostLength);
  else
    szPath[0] = '/';

  usPort = 80;
  if (char* colon = strchr(szHost, ':')) {
    long port = strtol(colon + 1, nullptr, 10);
    *colon = '\0';
    usPort = static_cast<unsigned short>(static_cast<unsigned long>(port) & 0xFFFF);
  }
}

void CHttpClient::Process() {
  // Built before connecting, so a request that cannot be sent whole costs no
  // connection; the fields are NUL-terminated, the precisions only guard.
  char request[kHttpRequestBufferSize];
  int length = -1;
  const int path = FieldPrecision(szPath), referer = FieldPrecision(szReferer), host = FieldPrecision(szHost);
  switch (iRequestType) {
    case HTTP_GET:
    case HTTP_HEAD:
      length = snprintf(
          request, sizeof(request),
          "%s %.*s HTTP/1.0\r\nAccept: */*\r\nUser-Agent: %s\r\nReferer: http://%.*s\r\nHost: %.*s\r\n\r\n",
          iRequestType == HTTP_GET ? "GET" : "HEAD", path, szPath, kUserAgent, referer, szReferer, host, szHost);
      break;
    case HTTP_POST: {
      const int data = FieldPrecision(szPostData);
      length = snprintf(request, sizeof(request),
                        "POST %.*s HTTP/1.0\r\nAccept: */*\r\nUser-Agent: %s\r\nReferer: http://%.*s\r\nHost: %.*s\r\n"
                        "Content-type: application/x-www-form-urlencoded\r\nContent-length: %u\r\n\r\n%.*s",
                        path, szPath, kUserAgent, referer, szReferer, host, szHost,
                        static_cast<unsigned>(strnlen(szPostData, data)), data, szPostData);
      break;
    }
    default:
      break;
  }
  // Refused before anything is resolved or sent: a line break in the host,
  // path or referer would split the request, one of them without its NUL
  // would go cut, and a port out of range would reach another port through
  // its low 16 bits. The POST data is the body and goes as it stands.
  const long port = WrittenPort(szHost, usPort);
  if (length < 0 || length >= kHttpRequestBufferSize || Unsendable(szHost) || Unsendable(szPath) ||
      Unsendable(szReferer) || port < 1 || port > 65535) {
    iError = HTTP_ERROR_BAD_REQUEST;
    return;
  }

  if (!Connect(szHost, usPort)) return;
  if (!SendAll(iSocket, request, static_cast<size_t>(length))) {
    iError = HTTP_ERROR_CANT_WRITE;
    return;
  }
  HandleEntity();
}

bool CHttpClient::Connect(char* szHostName, int iPort) {
  sockaddr_in address;
  memset(&address, 0, sizeof(address));
  if (!szHostName || !ResolveIPv4(szHostName, &address.sin_addr)) {
    iError = HTTP_ERROR_BAD_HOST;
    return false;
  }
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(iPort));

  // A socket still open from an earlier request is not leaked.
  CloseConnection();
  iSocket = socket(AF_INET, SOCK_STREAM, 0);
  if (iSocket < 0) {
    iError = HTTP_ERROR_NO_SOCKET;
    return false;
  }
  if (connect(iSocket, reinterpret_cast<sockaddr*>(&address), sizeof(address)) < 0 &&
      !(errno == EINTR && FinishInterruptedConnect(iSocket))) {
    CloseConnection();
    iError = HTTP_ERROR_CANT_CONNECT;
    return false;
  }
  return true;
}

bool CHttpClient::Send(char* szData) {
  if (!szData || !SendAll(iSocket, szData, strlen(szData))) {
    iError = HTTP_ERROR_CANT_WRITE;
    return false;
  }
  return true;
}

int CHttpClient::Recv(char* szBuffer, int iBufferSize) {
  if (!szBuffer || iBufferSize < 0) return -1;
  ssize_t count;
  do {
    count = recv(iSocket, szBuffer, static_cast<size_t>(iBufferSize), 0);
  } while (count < 0 && errno == EINTR);
  return static_cast<int>(count);
}

void CHttpClient::CloseConnection() {
  if (iSocket >= 0) close(iSocket);
  iSocket = -1;
}

void CHttpClient::HandleEntity() {
  // Working storage of this call (on the stack): header and body as
  // received, then the body alone; and the header copy.
  char received[kHttpBodySize];
  char header[kHttpHeaderSize];
  int stored = 0;
  int headerLength = 0;
  long declaredLength = 0;
  bool headerSeen = false;
  bool waiting = false;

  for (;;) {
    // Reads go straight into the accumulation buffer, at most 2048 bytes,
    // never past the body's room: with a declared length, what lies beyond
    // the room also lies beyond the declared body and is left unread.
    int room = kReadSize;
    if (headerSeen) {
      int left = (waiting ? kMaxBody : kHttpBodySize) - stored;
      if (room > left) room = left;
    }
    int count = Recv(received + stored, room);
    // A receive error (a reset, a time-out set on the socket) cuts the
    // response wherever it comes, and so does a clean close before the
    // declared length is in: neither may pass as a whole response.
    if (count < 0 || (count == 0 && waiting)) {
      CloseConnection();
      iError = HTTP_ERROR_INCOMPLETE_RESPONSE;
      return;
    }
    if (count == 0) break;
    stored += count;

    if (headerSeen) {
      if (waiting && stored >= declaredLength) break;
      if (stored > kMaxBody) {
        CloseConnection();
        iError = HTTP_ERROR_CONTENT_TOO_BIG;
        return;
      }
      continue;
    }

    int terminatorLength = 0;
    int end = httpresponse::FindHeaderEnd(received, stored, &terminatorLength);
    // A header that cannot fit the header buffer is refused as soon as that
    // is certain, before anything is written past it.
    if (end > kMaxHeader || (end < 0 && stored - kTerminatorOverlap > kMaxHeader)) {
      CloseConnection();
      iError = HTTP_ERROR_MALFORMED_RESPONSE;
      return;
    }
    if (end < 0) continue;

    memcpy(header, received, end);
    header[end] = '\0';
    headerLength = end;
    stored -= end + terminatorLength;
    memmove(received, received + end + terminatorLength, stored);
    headerSeen = true;

    // Such a response is whole with its header, whatever length it declares.
    if (CarriesNoBody(iRequestType, header, headerLength)) {
      stored = 0;
      break;
    }
    if (!httpresponse::ReadContentLength(header, &declaredLength)) continue;
    if (declaredLength >= kHttpBodySize) {
      CloseConnection();
      iError = HTTP_ERROR_CONTENT_TOO_BIG;
      return;
    }
    if (declaredLength > stored) {
      waiting = true;
      continue;
    }
    break;
  }

  CloseConnection();
  received[stored] = '\0';
  if (!headerSeen || !httpresponse::HasHttpPrefix(header)) {
    iError = HTTP_ERROR_MALFORMED_RESPONSE;
    return;
  }

  iResponseCode = httpresponse::ReadStatusCode(header, headerLength);
  memcpy(szResponseHeader, header, headerLength + 1);
  iResponseHeaderLength = headerLength;
  memcpy(szResponseBody, received, stored + 1);
  iResponseBodyLength = stored;
  iContentType = httpresponse::ClassifyContentType(szResponseHeader);
}

bool CHttpClient::GetHeaderValue(char* szName, char* szReturnBuffer, int iBufSize) {
  const char* value;
  int length;
  if (!szReturnBuffer || !httpresponse::FindHeaderValue(szResponseHeader, szName, &value, &length)) return false;
  if (length > iBufSize) return false;
  memcpy(szReturnBuffer, value, length);
  szReturnBuffer[length] = '\0';
  return true;
}
