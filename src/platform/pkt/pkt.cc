// Stuffing and unstuffing. The stuffed layout (docs/packets.md):
//   0  4  magic 0x89 'T' 'P' 'K'
//   4  1  format version (1)
//   5  1  content code
//   6  2  reserved, zero
//   8  4  body length, big-endian
//  12  4  CRC-32 of bytes 0..11 and the body, big-endian
//  16     body
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "platform/mseed/mseed_record.h"
#include "platform/pkt/pkt.h"

namespace {

constexpr unsigned char kMagic[4] = {0x89, 'T', 'P', 'K'};
constexpr unsigned char kVersion = 1;
constexpr size_t kCrcOffset = 12;

void put32be(unsigned char *p, uint32_t v) {
  p[0] = static_cast<unsigned char>(v >> 24);
  p[1] = static_cast<unsigned char>(v >> 16);
  p[2] = static_cast<unsigned char>(v >> 8);
  p[3] = static_cast<unsigned char>(v);
}

uint32_t get32be(const unsigned char *p) {
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}

uint32_t packetCrc(const unsigned char *header, const unsigned char *body, size_t len) {
  return crc32_ieee_update(crc32_ieee(header, kCrcOffset), body, len);
}

// The bodies of a packet, built apart so that a failed unstuff leaves the
// caller's packet untouched.
struct Body {
  char *string = nullptr;
  int string_size = 0;
  Pf *pf = nullptr;
  char *data = nullptr;
  int ndata = 0;
};

void releaseBodies(Packet *pkt) {
  std::free(pkt->string);
  pffree(pkt->pf);
  std::free(pkt->data);
  pkt->string = nullptr;
  pkt->string_size = 0;
  pkt->pf = nullptr;
  pkt->data = nullptr;
  pkt->ndata = 0;
}

// The bytes a packet's body stuffs to. For a parameter file they are
// allocated into *owned, which the caller frees.
int bodyOf(const Packet *pkt, const char **bytes, size_t *len, char **owned) {
  *owned = nullptr;
  switch (pkt->type->content) {
    case PKT_CONTENT_LOG:
    case PKT_CONTENT_TEXT:
      *bytes = pkt->string ? pkt->string : "";
      *len = std::strlen(*bytes);
      return 0;
    case PKT_CONTENT_PF:
      if (pkt->pf == nullptr) {
        *bytes = "";
        *len = 0;
        return 0;
      }
      if (pfkind(pkt->pf) != PFARR) return PKT_ERR_BODY;  // only an array reads back as itself
      *owned = pf2string(pkt->pf);
      if (*owned == nullptr) return PKT_ERR_NOMEM;
      *bytes = *owned;
      *len = std::strlen(*owned);
      return 0;
    case PKT_CONTENT_DATA:
      if (pkt->ndata < 0 || (pkt->ndata > 0 && pkt->data == nullptr)) return PKT_ERR_BODY;
      *bytes = pkt->data ? pkt->data : "";
      *len = static_cast<size_t>(pkt->ndata);
      return 0;
    default:
      return PKT_ERR_CONTENT;
  }
}

int writeStuffed(int content, const char *body, size_t len, char **buf, int *nbytes, int *bufsize) {
  if (len > PKT_MAX_BODY) return PKT_ERR_TOOBIG;
  int need = static_cast<int>(PKT_HEADER_SIZE + len);
  if (*buf == nullptr || *bufsize < need) {
    char *grown = static_cast<char *>(std::realloc(*buf, need));
    if (grown == nullptr) return PKT_ERR_NOMEM;
    *buf = grown;
    *bufsize = need;
  }
  unsigned char *out = reinterpret_cast<unsigned char *>(*buf);
  std::memcpy(out, kMagic, 4);
  out[4] = kVersion;
  out[5] = static_cast<unsigned char>(content);
  out[6] = out[7] = 0;
  put32be(out + 8, static_cast<uint32_t>(len));
  if (len > 0) std::memcpy(out + PKT_HEADER_SIZE, body, len);
  put32be(out + kCrcOffset, packetCrc(out, out + PKT_HEADER_SIZE, len));
  *nbytes = need;
  return content;
}

// Checks the header and checksum; on success *content and *len describe the
// body at bytes + PKT_HEADER_SIZE.
int checkStuffed(const unsigned char *in, int nbytes, int *content, size_t *len) {
  if (nbytes < PKT_HEADER_SIZE) return PKT_ERR_TRUNCATED;
  if (std::memcmp(in, kMagic, 4) != 0) return PKT_ERR_MAGIC;
  if (in[4] != kVersion) return PKT_ERR_VERSION;
  if (in[6] != 0 || in[7] != 0) return PKT_ERR_MAGIC;
  uint32_t body = get32be(in + 8);
  size_t have = static_cast<size_t>(nbytes) - PKT_HEADER_SIZE;
  if (body > have) return PKT_ERR_TRUNCATED;
  if (body < have) return PKT_ERR_LENGTH;
  if (get32be(in + kCrcOffset) != packetCrc(in, in + PKT_HEADER_SIZE, body)) {
    return PKT_ERR_CHECKSUM;
  }
  *content = in[5];
  *len = body;
  return 0;
}

// A NUL-terminated copy of a text body, which must hold no NUL itself.
int copyText(const char *body, size_t len, char **text) {
  if (std::memchr(body, '\0', len) != nullptr) return PKT_ERR_BODY;
  *text = static_cast<char *>(std::malloc(len + 1));
  if (*text == nullptr) return PKT_ERR_NOMEM;
  std::memcpy(*text, body, len);
  (*text)[len] = '\0';
  return 0;
}

int decodeBody(int content, const char *body, size_t len, Body *out) {
  switch (content) {
    case PKT_CONTENT_LOG:
    case PKT_CONTENT_TEXT: {
      int rc = copyText(body, len, &out->string);
      if (rc == 0) out->string_size = static_cast<int>(len + 1);
      return rc;
    }
    case PKT_CONTENT_PF: {
      char *text = nullptr;
      int rc = copyText(body, len, &text);
      if (rc != 0) return rc;
      rc = pfcompile(text, &out->pf) == 0 ? 0 : PKT_ERR_BODY;
      std::free(text);
      return rc;
    }
    case PKT_CONTENT_DATA:
    case PKT_CONTENT_MSEED:
      if (len > 0) {
        out->data = static_cast<char *>(std::malloc(len));
        if (out->data == nullptr) return PKT_ERR_NOMEM;
        std::memcpy(out->data, body, len);
      }
      out->ndata = static_cast<int>(len);
      return 0;
    default:
      return PKT_ERR_CONTENT;
  }
}

// A miniSEED packet's bytes are its records, checked, without a header.
int stuffRecords(Packet *pkt, double *time, char **buf, int *nbytes, int *bufsize) {
  if (pkt->ndata <= 0 || pkt->data == nullptr) return PKT_ERR_BODY;
  if (!mseed::check(pkt->data, static_cast<size_t>(pkt->ndata)).empty()) return PKT_ERR_RECORD;
  if (*buf == nullptr || *bufsize < pkt->ndata) {
    char *grown = static_cast<char *>(std::realloc(*buf, pkt->ndata));
    if (grown == nullptr) return PKT_ERR_NOMEM;
    *buf = grown;
    *bufsize = pkt->ndata;
  }
  std::memcpy(*buf, pkt->data, pkt->ndata);
  *nbytes = pkt->ndata;
  *time = pkt->time;
  return PKT_CONTENT_MSEED;
}

}  // namespace

extern "C" {

Packet *newPkt(void) { return static_cast<Packet *>(std::calloc(1, sizeof(Packet))); }

void freePkt(Packet *pkt) {
  if (pkt == nullptr) return;
  releaseBodies(pkt);
  std::free(pkt);
}

int stuffPkt(Packet *pkt, const char *srcname, double *time, char **buf, int *nbytes,
             int *bufsize) {
  if (pkt == nullptr || pkt->type == nullptr || srcname == nullptr || time == nullptr ||
      buf == nullptr || nbytes == nullptr || bufsize == nullptr) {
    return PKT_ERR_ARG;
  }
  size_t namelen = strnlen(srcname, PKT_NAMESIZE);
  if (namelen == 0 || namelen >= PKT_NAMESIZE) return PKT_ERR_SRCNAME;
  if (!std::isfinite(pkt->time)) return PKT_ERR_TIME;

  if (pkt->type->content == PKT_CONTENT_MSEED) return stuffRecords(pkt, time, buf, nbytes, bufsize);
  const char *body = nullptr;
  size_t len = 0;
  char *owned = nullptr;
  int rc = bodyOf(pkt, &body, &len, &owned);
  if (rc == 0) rc = writeStuffed(pkt->type->content, body, len, buf, nbytes, bufsize);
  std::free(owned);
  if (rc >= 0) *time = pkt->time;
  return rc;
}

}  // extern "C"

namespace {

// A miniSEED packet: the name, then whole, valid records of one stream.
int checkRecords(const char *srcname, const char *bytes, int nbytes) {
  if (bytes == nullptr && nbytes != 0) return PKT_ERR_ARG;
  size_t namelen = strnlen(srcname, PKT_NAMESIZE);
  if (namelen == 0 || namelen >= PKT_NAMESIZE) return PKT_ERR_SRCNAME;
  if (nbytes <= 0) return PKT_ERR_RECORD;
  if (!mseed::check(bytes, static_cast<size_t>(nbytes)).empty()) return PKT_ERR_RECORD;
  return PKT_CONTENT_MSEED;
}

// Everything unstuffing checks before the body: the name, the header, the
// checksum and the content code.
int checkAllButBody(const char *srcname, const char *bytes, int nbytes, int *content, size_t *len) {
  if (srcname == nullptr || (bytes == nullptr && nbytes != 0)) return PKT_ERR_ARG;
  size_t namelen = strnlen(srcname, PKT_NAMESIZE);
  if (namelen == 0 || namelen >= PKT_NAMESIZE) return PKT_ERR_SRCNAME;
  int rc = checkStuffed(reinterpret_cast<const unsigned char *>(bytes), nbytes, content, len);
  if (rc != 0) return rc;
  return content2pkttype(*content) == nullptr ? PKT_ERR_CONTENT : 0;
}

}  // namespace

extern "C" {

int verifyPkt(const char *srcname, const char *bytes, int nbytes) {
  if (mseed::isMseedSourceName(srcname)) return checkRecords(srcname, bytes, nbytes);
  int content = 0;
  size_t len = 0;
  int rc = checkAllButBody(srcname, bytes, nbytes, &content, &len);
  if (rc != 0) return rc;
  const char *body = bytes + PKT_HEADER_SIZE;
  switch (content) {
    case PKT_CONTENT_LOG:
    case PKT_CONTENT_TEXT:
      return std::memchr(body, '\0', len) != nullptr ? PKT_ERR_BODY : content;
    case PKT_CONTENT_PF: {
      // Whether it parses is known only by parsing it: rare (status packets).
      Body parsed;
      rc = decodeBody(content, body, len, &parsed);
      pffree(parsed.pf);
      return rc != 0 ? rc : content;
    }
    default:
      return content;
  }
}

int unstuffPkt(const char *srcname, double time, const char *bytes, int nbytes, Packet **pkt) {
  if (pkt == nullptr) return PKT_ERR_ARG;
  int content = 0;
  size_t len = 0;
  const char *start = bytes + PKT_HEADER_SIZE;
  int rc;
  if (mseed::isMseedSourceName(srcname)) {
    // The records are the body, as they are.
    rc = checkRecords(srcname, bytes, nbytes);
    if (rc < 0) return rc;
    content = rc;
    len = static_cast<size_t>(nbytes);
    start = bytes;
  } else {
    rc = checkAllButBody(srcname, bytes, nbytes, &content, &len);
    if (rc != 0) return rc;
  }
  const PktType *type = content2pkttype(content);

  Body body;
  rc = decodeBody(content, start, len, &body);
  Packet *target = *pkt ? *pkt : newPkt();
  if (rc == 0 && target == nullptr) rc = PKT_ERR_NOMEM;
  if (rc != 0) {
    std::free(body.string);
    pffree(body.pf);
    std::free(body.data);
    if (*pkt == nullptr) freePkt(target);
    return rc;
  }
  releaseBodies(target);
  target->type = type;
  target->time = time;
  split_srcname(srcname, target);
  target->string = body.string;
  target->string_size = body.string_size;
  target->pf = body.pf;
  target->data = body.data;
  target->ndata = body.ndata;
  *pkt = target;
  return content;
}

}  // extern "C"
