/*
 * The packet library: packets in their unstuffed form (a Packet object with a
 * type, a time, source-name parts and a body) and in their stuffed form (the
 * self-checking bytes a tarn server carries; docs/packets.md has the layout).
 *
 * Kinds of packet, each with a content code that unstuffPkt returns:
 *
 *   suffix  content            body field
 *   "log"   PKT_CONTENT_LOG 7  string / string_size (a text)
 *   "pf"    PKT_CONTENT_PF 4   pf (a parameter-file object)
 *   "gen"   PKT_CONTENT_DATA 1 data / ndata (any bytes; the synthetic packets
 *                              of `tarn gen`)
 *   "txt"   PKT_CONTENT_TEXT 2 string / string_size (a text)
 *   "MSEED" PKT_CONTENT_MSEED 5 data / ndata (miniSEED records, unchanged)
 *
 * A miniSEED packet (its source name ends in "/MSEED") is not stuffed: its
 * bytes are one or more whole miniSEED records of one stream, as stations and
 * archives write them, and "unstuffs" means that they are valid records
 * (platform/mseed/mseed_record.h says what is checked).
 *
 * Content code 6 (PKT_CONTENT_UNKNOWN) is never returned: a program may use it
 * for bytes it has not tried to unstuff yet.
 *
 * Ownership: a Packet owns its bodies. `string` and `data` are released with
 * free and `pf` with pffree when the packet is freed or reused, so whoever
 * sets them hands over a malloc'ed text or buffer and a Pf of its own (a
 * pfdup copy). Buffers filled by stuffPkt are the caller's, grown with
 * realloc and released with free.
 *
 * Failures are negative PKT_ERR_* codes; pkt_strerror names them.
 *
 * Thread-safety: no global state; distinct packets may be used from distinct
 * threads at once.
 */
#ifndef PLATFORM_PKT_PKT_H
#define PLATFORM_PKT_PKT_H

#include "platform/pf/pf.h"
#include "platform/pkt/crc32.h"

#ifdef __cplusplus
extern "C" {
#endif

#define PKT_NAMESIZE 64                 /* a source name: 63 characters and NUL */
#define PKT_HEADER_SIZE 16              /* stuffed header bytes before the body */
#define PKT_MAX_BODY (16 * 1024 * 1024) /* largest body stuffPkt writes */

enum {
  PKT_CONTENT_DATA = 1,
  PKT_CONTENT_TEXT = 2,
  PKT_CONTENT_PF = 4,
  PKT_CONTENT_MSEED = 5,
  PKT_CONTENT_UNKNOWN = 6,
  PKT_CONTENT_LOG = 7
};

enum {
  PKT_ERR_ARG = -1,       /* a NULL argument, or no type set */
  PKT_ERR_SRCNAME = -2,   /* source name empty or longer than 63 characters */
  PKT_ERR_TRUNCATED = -3, /* fewer bytes than the header, or than it announces */
  PKT_ERR_MAGIC = -4,     /* not a stuffed packet of ours */
  PKT_ERR_VERSION = -5,   /* a format version this library does not read */
  PKT_ERR_LENGTH = -6,    /* more bytes than the header announces */
  PKT_ERR_CHECKSUM = -7,  /* the checksum does not match: corrupt bytes */
  PKT_ERR_CONTENT = -8,   /* unknown content code */
  PKT_ERR_BODY = -9,      /* a body its kind cannot hold (NUL in a text,
                             a parameter file that does not parse) */
  PKT_ERR_TOOBIG = -10,   /* body larger than PKT_MAX_BODY */
  PKT_ERR_TIME = -11,     /* packet time not a finite number */
  PKT_ERR_NOMEM = -12,    /* out of memory */
  PKT_ERR_RECORD = -13    /* not whole, valid miniSEED records of one stream */
};

/* A kind of packet; the library's own constant objects. */
typedef struct PktType {
  const char *suffix;      /* "log", "pf", "gen", "txt", "MSEED" */
  int content;             /* PKT_CONTENT_* */
  const char *description; /* e.g. "log text" */
} PktType;

/* The parts of a source name NET_STA_CHAN_LOC/SUFFIX/SUBCODE. The name before
 * the first '/' splits at '_' into at most four parts (the fourth keeps any
 * further '_'); after it comes the suffix and, after a second '/', the
 * subcode (which keeps any further '/'). Missing parts are empty:
 * "relay1/pf/st" has net "relay1", suffix "pf", subcode "st". */
typedef struct Srcname {
  char net[PKT_NAMESIZE];
  char sta[PKT_NAMESIZE];
  char chan[PKT_NAMESIZE];
  char loc[PKT_NAMESIZE];
  char suffix[PKT_NAMESIZE];
  char subcode[PKT_NAMESIZE];
} Srcname;

typedef struct Packet {
  const PktType *type; /* from suffix2pkttype; decides which body is used */
  double time;         /* epoch seconds */
  Srcname parts;       /* filled by split_srcname */
  char *string;        /* text body (log, txt); NULL = empty */
  int string_size;     /* strlen(string) + 1; informational, stuffPkt uses strlen */
  Pf *pf;              /* parameter-file body (pf): an associative array; NULL = empty */
  char *data;          /* byte body (gen); NULL = empty */
  int ndata;           /* bytes in data */
} Packet;

/* A new packet: no type, time 0, empty parts and bodies. NULL when memory
 * runs out. */
Packet *newPkt(void);

/* Releases a packet and its bodies. NULL is ignored. */
void freePkt(Packet *pkt);

/* The kind named by a source-name suffix, compared without regard to case,
 * or NULL when the library has no such kind. */
const PktType *suffix2pkttype(const char *suffix);

/* The kind with a content code, or NULL. */
const PktType *content2pkttype(int content);

/* Fills pkt->parts from a source name of 1 to 63 characters. Returns 0, or
 * PKT_ERR_ARG / PKT_ERR_SRCNAME (then the parts are left empty). */
int split_srcname(const char *srcname, Packet *pkt);

/* Stuffs the packet: *buf (NULL, or a malloc'ed buffer of *bufsize bytes) is
 * grown with realloc as needed, *nbytes is set to the stuffed size and *time
 * to the packet's time. Returns the content code, or a negative PKT_ERR_*
 * (the buffer then stays valid for the caller to free). The source name is
 * checked as split_srcname checks it but is not part of the bytes: the tarn
 * server carries it beside them. */
int stuffPkt(Packet *pkt, const char *srcname, double *time, char **buf, int *nbytes, int *bufsize);

/* Unstuffs `nbytes` bytes. On success returns the content code; *pkt (a new
 * packet when *pkt is NULL, otherwise the packet given, whose old bodies are
 * released) holds the type, the body, `time` and the parts of `srcname`. On
 * failure returns a negative PKT_ERR_*: *pkt is left as it was, and no byte
 * outside bytes[0..nbytes) is read. */
int unstuffPkt(const char *srcname, double time, const char *bytes, int nbytes, Packet **pkt);

/* Checks `nbytes` bytes as unstuffPkt does and returns what it would (the
 * content code, or the same negative PKT_ERR_*), without building a packet:
 * no allocation, no copy, for a program that only asks whether bytes
 * unstuff (a parameter-file body is still parsed to check it). */
int verifyPkt(const char *srcname, const char *bytes, int nbytes);

/* A short text naming a result of this library ("checksum mismatch"). */
const char *pkt_strerror(int code);

#ifdef __cplusplus
}
#endif

#endif /* PLATFORM_PKT_PKT_H */
