// A native program that uses the library half of core.so: it builds a message
// with the bit stream and reads it back (with the bit-level operations, then
// with typed values), runs a few text utilities, and fetches one document
// over HTTP/1.0.
//
// Usage: core_consumer HOST[:PORT][/PATH]   (a URL without "http://")
// Exit status 0 when the message read back as written and the document
// arrived with status 200.
#include <http/httpclient.h>
#include <raknet/BitStream.h>
#include <util/runutil.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

// A message of a 3-bit kind, a flag bit, two integers in compressed form and
// a name as a length byte and aligned bytes.
bool BitStreamRoundTrip() {
  const unsigned char kind = 5;
  const uint32_t counter = 300;  // high bytes 0: compressed to 19 bits
  const int32_t delta = -2;      // high bytes 0xFF: compressed to 8 bits
  const char name[] = "consumer";
  const unsigned char nameLength = sizeof name - 1;

  RakNet::BitStream out;
  out.WriteBits(&kind, 3, true);  // the low 3 bits of kind
  out.Write1();
  out.WriteCompressed(reinterpret_cast<const unsigned char*>(&counter), 32, true);
  out.WriteCompressed(reinterpret_cast<const unsigned char*>(&delta), 32, false);
  out.WriteAlignedBytes(&nameLength, 1);
  out.WriteAlignedBytes(reinterpret_cast<const unsigned char*>(name), nameLength);

  std::printf("bitstream: %d bits:", out.numberOfBitsUsed);
  for (int i = 0; i < (out.numberOfBitsUsed + 7) / 8; ++i) std::printf(" %02X", out.data[i]);
  std::printf("\n");

  // A receiver reads received bytes in place, read-only ones here: the stream
  // does not copy, free or write them.
  const unsigned char* received = out.data;
  RakNet::BitStream in(received, static_cast<unsigned int>((out.numberOfBitsUsed + 7) / 8), false);
  unsigned char kindRead = 0, lengthRead = 0;
  uint32_t counterRead = 0;
  int32_t deltaRead = 0;
  char nameRead[256] = {};
  const bool complete = in.ReadBits(&kindRead, 3, true) && in.ReadBit() &&
                        in.ReadCompressed(reinterpret_cast<unsigned char*>(&counterRead), 32, true) &&
                        in.ReadCompressed(reinterpret_cast<unsigned char*>(&deltaRead), 32, false) &&
                        in.ReadAlignedBytes(&lengthRead, 1) &&
                        in.ReadAlignedBytes(reinterpret_cast<unsigned char*>(nameRead), lengthRead);
  unsigned char beyond;
  const bool overrun = in.ReadBits(&beyond, 1, true);  // nothing is left: false
  std::printf("bitstream: read back kind %u, counter %u, delta %d, name \"%s\"\n", kindRead,
              static_cast<unsigned>(counterRead), static_cast<int>(deltaRead), nameRead);
  return complete && !overrun && kindRead == kind && counterRead == counter && deltaRead == delta &&
         std::strcmp(nameRead, name) == 0;
}

// A scoreboard-like entry with the typed Write and Read, which take each
// value at its whole width (a bool as one bit): no casts.
bool TypedRoundTrip() {
  const uint16_t id = 7;
  const int32_t score = -1200;
  const uint32_t ping = 40;
  const bool away = true;
  const float ratio = 0.75f;

  RakNet::BitStream out;
  out.Write(id);
  out.Write(score);
  out.Write(ping);
  out.Write(away);
  out.Write(ratio);

  RakNet::BitStream in(out.data, static_cast<unsigned int>((out.numberOfBitsUsed + 7) / 8), false);
  uint16_t idRead = 0;
  int32_t scoreRead = 0;
  uint32_t pingRead = 0;
  bool awayRead = false;
  float ratioRead = 0;
  const bool complete =
      in.Read(idRead) && in.Read(scoreRead) && in.Read(pingRead) && in.Read(awayRead) && in.Read(ratioRead);
  std::printf("bitstream: typed, %d bits: id %u, score %d, ping %u, away %d, ratio %.2f\n", out.numberOfBitsUsed,
              static_cast<unsigned>(idRead), static_cast<int>(scoreRead), static_cast<unsigned>(pingRead),
              static_cast<int>(awayRead), static_cast<double>(ratioRead));
  return complete && idRead == id && scoreRead == score && pingRead == ping && awayRead == away &&
         std::memcmp(&ratioRead, &ratio, sizeof ratio) == 0;
}

void Utilities() {
  char source[] = "core SDK";
  char encoded[UtilBase64BufferSize(sizeof source - 1)];
  Util_Base64Encode(source, encoded);
  std::printf("util: Base64 of \"%s\" is \"%s\"\n", source, encoded);

  char query[] = "name=Bot_Alice%21&note=hello+world";
  std::printf("util: \"%s\" decodes to ", query);
  Util_UrlUnencode(query);  // in place: never longer
  std::printf("\"%s\"\n", query);

  char pattern[] = "*.txt", file[] = "notes.txt", botPattern[] = "Bot_*", player[] = "Player";
  std::printf("util: \"%s\" matches \"%s\": %d, \"%s\" matches \"%s\": %d\n", pattern, file,
              Util_wildcmp(pattern, file), botPattern, player, Util_wildcmp(botPattern, player));

  char digits[kUtilItoaBufferSize];
  std::printf("util: -255 in base 16 is \"%s\"\n", Util_itoa(-255, digits, 16));
}

bool Fetch(char* url) {
  CHttpClient* client = new CHttpClient();  // 82974 bytes: not on the stack
  const int error = client->ProcessURL(HTTP_GET, url, nullptr, nullptr);
  bool fetched = false;
  if (error != HTTP_ERROR_NONE) {
    std::printf("http: error %d\n", error);
  } else {
    std::printf("http: status %d, content type %d, %d bytes\n", client->iResponseCode, client->iContentType,
                client->iResponseBodyLength);
    char type[257];
    if (client->GetHeaderValue("Content-Type:", type)) {  // the array form passes its size
      type[std::strcspn(type, "\r")] = '\0';              // a header line keeps its CR
      std::printf("http: Content-Type: %s\n", type);
    }
    std::printf("http: body: %s", client->szResponseBody);
    fetched = client->iResponseCode == 200;
  }
  delete client;
  return fetched;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s HOST[:PORT][/PATH]\n", argv[0]);
    return 2;
  }
  const bool roundTrip = BitStreamRoundTrip() && TypedRoundTrip();
  Utilities();
  const bool fetched = Fetch(argv[1]);
  return roundTrip && fetched ? 0 : 1;
}
