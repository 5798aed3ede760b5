// Packet kinds and source-name parts.
#include <strings.h>

#include <cstring>

#include "platform/pkt/pkt.h"

namespace {

const PktType kTypes[] = {
    {"log", PKT_CONTENT_LOG, "log text"},
    {"pf", PKT_CONTENT_PF, "parameter file"},
    {"gen", PKT_CONTENT_DATA, "generic data"},
    {"txt", PKT_CONTENT_TEXT, "text"},
    {"MSEED", PKT_CONTENT_MSEED, "miniSEED records"},
};

// Copies [from, to) into a part; the caller has checked the length.
void copyPart(char *part, const char *from, const char *to) {
  size_t n = static_cast<size_t>(to - from);
  std::memcpy(part, from, n);
  part[n] = '\0';
}

void splitName(const char *name, const char *end, Srcname *parts) {
  char *fields[4] = {parts->net, parts->sta, parts->chan, parts->loc};
  const char *start = name;
  for (int i = 0; i < 3; i++) {
    const char *us = static_cast<const char *>(std::memchr(start, '_', end - start));
    if (us == nullptr) {
      copyPart(fields[i], start, end);
      return;
    }
    copyPart(fields[i], start, us);
    start = us + 1;
  }
  copyPart(fields[3], start, end);
}

}  // namespace

extern "C" {

const PktType *suffix2pkttype(const char *suffix) {
  if (suffix == nullptr) return nullptr;
  for (const PktType &t : kTypes) {
    if (strcasecmp(t.suffix, suffix) == 0) return &t;
  }
  return nullptr;
}

const PktType *content2pkttype(int content) {
  for (const PktType &t : kTypes) {
    if (t.content == content) return &t;
  }
  return nullptr;
}

int split_srcname(const char *srcname, Packet *pkt) {
  if (srcname == nullptr || pkt == nullptr) return PKT_ERR_ARG;
  std::memset(&pkt->parts, 0, sizeof pkt->parts);
  size_t len = strnlen(srcname, PKT_NAMESIZE);
  if (len == 0 || len >= PKT_NAMESIZE) return PKT_ERR_SRCNAME;

  const char *end = srcname + len;
  const char *slash = static_cast<const char *>(std::memchr(srcname, '/', len));
  splitName(srcname, slash ? slash : end, &pkt->parts);
  if (slash == nullptr) return 0;
  const char *suffix = slash + 1;
  const char *slash2 = static_cast<const char *>(std::memchr(suffix, '/', end - suffix));
  copyPart(pkt->parts.suffix, suffix, slash2 ? slash2 : end);
  if (slash2 != nullptr) copyPart(pkt->parts.subcode, slash2 + 1, end);
  return 0;
}

const char *pkt_strerror(int code) {
  switch (code) {
    case PKT_ERR_ARG:
      return "missing argument or packet type";
    case PKT_ERR_SRCNAME:
      return "source name empty or longer than 63 characters";
    case PKT_ERR_TRUNCATED:
      return "truncated packet";
    case PKT_ERR_MAGIC:
      return "not a stuffed packet";
    case PKT_ERR_VERSION:
      return "unknown stuffed-packet version";
    case PKT_ERR_LENGTH:
      return "bytes beyond the announced length";
    case PKT_ERR_CHECKSUM:
      return "checksum mismatch";
    case PKT_ERR_CONTENT:
      return "unknown content code";
    case PKT_ERR_BODY:
      return "body not valid for its kind";
    case PKT_ERR_TOOBIG:
      return "body too large";
    case PKT_ERR_TIME:
      return "packet time not finite";
    case PKT_ERR_NOMEM:
      return "out of memory";
    case PKT_ERR_RECORD:
      return "not valid miniSEED records";
    default:
      return code >= 0 ? "success" : "unknown packet error";
  }
}

}  // extern "C"
