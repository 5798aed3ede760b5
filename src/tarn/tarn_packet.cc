#include "tarn/tarn_packet.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "base/relay_exception.h"
#include "base/time_text.h"
#include "platform/elog/elog.h"
#include "platform/mseed/mseed_record.h"
#include "platform/tarnclient/tarnclient.h"
#include "platform/time/epochtime.h"
#include "tarn/tarn_tag.h"

namespace {

constexpr int kContentReaped = 6;
constexpr int kContentLog = 7;
constexpr int kContentStatus = 4;

enum UnstuffState { kNotTried = 0, kFailed = 1, kUnstuffed = 2 };

// The reap buffers of each reader thread: the library grows the buffer as
// needed, and each packet copies its own bytes out of it. The buffer is
// released when its thread ends.
struct ReapBuffer {
  char *data = nullptr;
  int size = 0;
  ~ReapBuffer() { std::free(data); }
};
thread_local int t_pktid;
thread_local int t_nbytes;
thread_local ReapBuffer t_buffer;
thread_local char t_srcname[64];
thread_local double t_pkttime;

// A copy of a packet's bytes, one byte longer than needed so that an empty
// packet still owns a buffer.
char *copiedBytes(const char *packet, int nbytes) {
  char *copy = static_cast<char *>(std::calloc(static_cast<size_t>(nbytes) + 1, 1));
  if (!copy) {
    elog_die(1, "Out of memory in %s at line %d of '%s'\n\tCan't malloc %lu bytes for m_pktbuf\n",
             "TarnPacket", __LINE__, "tarnpacket", static_cast<unsigned long>(nbytes));
  }
  if (nbytes > 0) std::memcpy(copy, packet, static_cast<size_t>(nbytes));
  return copy;
}

// At most size - 1 characters of `srcname`, the rest zero.
void copySrcname(char *to, size_t size, const char *srcname) {
  std::memset(to, 0, size);
  std::strncpy(to, srcname, size - 1);
}

}  // namespace

TarnPacket::TarnPacket(std::shared_ptr<TarnTag> tag, int pktid, char *srcname, double pkttime,
                       char *packet, int nbytes)
    : TarnPacket(std::move(tag), pktid, srcname, pkttime, copiedBytes(packet, nbytes), nbytes,
                 AdoptBuffer{}) {}

TarnPacket::TarnPacket(std::shared_ptr<TarnTag> tag, int pktid, char *srcname, double pkttime,
                       char *buffer, int nbytes, AdoptBuffer)
    : m_pktid(pktid),
      m_nbytes(nbytes),
      m_bufsize(nbytes),
      m_content(kContentReaped),
      m_isInternalLog(false),
      m_hasSourceInfo(true),
      m_unstuffed(false),
      m_unstuffState(kNotTried),
      m_pkttime(pkttime),
      m_pktbuf(buffer) {
  m_tarnname = tag->tarnName();
  copySrcname(m_srcname, sizeof m_srcname, srcname);
}

TarnPacket::TarnPacket(std::string origin, uint64_t sequence, const std::string &srcname,
                       double pkttime, const char *packet, int nbytes, ReadRecord *record)
    : m_pktid(-1),
      m_nbytes(nbytes),
      m_bufsize(nbytes),
      m_content(kContentReaped),
      m_isInternalLog(false),
      m_hasSourceInfo(true),
      m_unstuffed(false),
      m_unstuffState(kNotTried),
      m_pkttime(pkttime),
      m_pktbuf(copiedBytes(packet, nbytes)),
      m_tarnname(std::move(origin)),
      m_sequence(static_cast<long long>(sequence)),
      m_readRecord(record) {
  copySrcname(m_srcname, sizeof m_srcname, srcname.c_str());
}

TarnPacket::TarnPacket(const std::string &target, const std::string &message) {
  buildInternal(target, "log", "log", kContentLog, "Failed to stuff log packet");
  m_pkt->string = strdup(message.c_str());
  m_pkt->string_size = static_cast<int>(message.size()) + 1;
  stuffInternal("Failed to stuff log packet");
}

TarnPacket::TarnPacket(const std::string &target, Pf *pf) {
  buildInternal(target, "pf/st", "pf", kContentStatus, "Failed to stuff /pf/st packet");
  m_pkt->pf = pfdup(pf);
  stuffInternal("Failed to stuff /pf/st packet");
}

void TarnPacket::buildInternal(const std::string &target, const char *suffix, const char *type,
                               int content, const char *failure) {
  m_pktid = -1;
  m_nbytes = 0;
  m_bufsize = 0;
  m_content = content;
  m_isInternalLog = true;
  m_hasSourceInfo = true;
  m_unstuffed = true;
  m_unstuffState = kUnstuffed;
  m_pkttime = 0;
  m_tarnname = "INTERNAL";
  m_pkt = newPkt();
  if (!m_pkt) throw RelayException(failure);
  std::memset(m_srcname, 0, sizeof m_srcname);
  std::snprintf(m_srcname, 63, "%s/%s", target.c_str(), suffix);
  m_pkt->type = suffix2pkttype(type);
  split_srcname(m_srcname, m_pkt);
  m_pkt->time = std_now();
}

void TarnPacket::stuffInternal(const char *failure) {
  int rc = stuffPkt(m_pkt, m_srcname, &m_pkttime, &m_pktbuf, &m_nbytes, &m_bufsize);
  m_pkttime = m_pkt->time;
  if (rc < 0) {
    // The destructor does not run for a constructor that throws.
    freePkt(m_pkt);
    m_pkt = nullptr;
    std::free(m_pktbuf);
    m_pktbuf = nullptr;
    throw RelayException(failure);
  }
}

TarnPacket::~TarnPacket() {
  std::free(m_pktbuf);
  if (m_pkt) freePkt(m_pkt);
}

std::shared_ptr<TarnPacket> TarnPacket::reap_timeout(const std::shared_ptr<TarnTag> &tag,
                                                     double timeout) {
  int fd = tag->fd();
  if (fd < 0) throw RelayException("TarnPacket::reap_timeout: tarn closed");
  uint64_t origin = 0;
  int rc = tag->reap(timeout, &t_pktid, t_srcname, &t_pkttime, &t_buffer.data, &t_nbytes,
                     &t_buffer.size, &origin);
  if (rc == -2) {
    throw RelayTimeoutException("TarnPacket::reap_timeout: Incomplete packet received");
  }
  if (rc == TARN_EOF) {
    throw RelayEOFException("TarnPacket::reap_timeout: Received TARN_EOF from tarnreap_timeout");
  }
  if (rc < 0) {
    throw RelayException("TarnPacket::reap_timeout: Received rc " + std::to_string(rc) +
                         " from tarnreap_timeout");
  }
  // The packet takes the reap buffer over instead of copying it; the next
  // reap grows a new one to its packet's size.
  auto packet = std::make_shared<TarnPacket>(tag, t_pktid, t_srcname, t_pkttime, t_buffer.data,
                                             t_nbytes, AdoptBuffer{});
  t_buffer.data = nullptr;
  t_buffer.size = 0;
  // The reaper holds the packet until it has decided what becomes of it.
  packet->m_readRecord = tag->readPosition().reaped(t_pktid, t_pkttime);
  if (origin != 0) {
    packet->m_identity = TarnTag::PutIdentity{origin, static_cast<uint64_t>(t_pktid)};
    packet->m_identified = true;
  }
  return packet;
}

int TarnPacket::put(TarnTag &tag, TarnTag::PutReceipt *receipt, double windowWait) {
  return tag.put(m_srcname, m_pkttime, m_pktbuf, m_nbytes, receipt, windowWait, identity());
}

void TarnPacket::holdUntilDone() {
  if (m_readRecord) m_readRecord->hold();
}

void TarnPacket::done() {
  if (m_readRecord) m_readRecord->release();
}

void TarnPacket::unstuff() {
  if (!m_hasSourceInfo) {
    throw RelayUnstuffException(
        "TarnPacket::unstuff: packet does not contain stuffed-packet source information");
  }
  if (m_unstuffed) return;
  int rc = unstuffPkt(m_srcname, m_pkttime, m_pktbuf, m_nbytes, &m_pkt);
  if (rc < 0) {
    m_unstuffState = kFailed;
    throw RelayUnstuffException("TarnPacket::unstuff: unstuffPkt() failed");
  }
  m_content = rc;
  m_unstuffState = kUnstuffed;
  m_unstuffed = true;
}

// Answered by checking the bytes where they are: the same checks as
// unstuffing, without building the unstuffed packet (an allocation and a
// copy per packet that no reader needs). unstuff() still builds it on demand.
bool TarnPacket::checkUnstuffs() {
  if (m_unstuffState == kFailed) return false;
  if (m_unstuffState == kUnstuffed) return true;
  int rc = m_hasSourceInfo ? verifyPkt(m_srcname, m_pktbuf, m_nbytes) : -1;
  if (rc < 0) {
    m_unstuffState = kFailed;
    return false;
  }
  m_content = rc;
  m_unstuffState = kUnstuffed;
  return true;
}

std::string TarnPacket::unstuffProblem() const {
  if (!m_hasSourceInfo) return "no source name";
  int rc = verifyPkt(m_srcname, m_pktbuf, m_nbytes);
  if (rc >= 0) return "";
  std::string why = pkt_strerror(rc);
  if (mseed::isMseedSourceName(m_srcname) && m_nbytes > 0) {
    std::string records = mseed::check(m_pktbuf, static_cast<size_t>(m_nbytes));
    if (!records.empty()) why += ": " + records;
  }
  return why;
}

std::string TarnPacket::describe() {
  std::ostringstream s;
  s << "Packet: "
    << "srcname '" << m_srcname << "' "
    << "time '" << timeText(m_pkttime) << "' ";
  if (m_tarnname != "INTERNAL") {
    s << "pktid " << m_tarnname << "::" << (m_sequence >= 0 ? m_sequence : m_pktid) << " ";
  }
  s << "nbytes " << m_nbytes;
  return s.str();
}

Hook *spTarnPacket_hookcopy(Hook *hook) {
  auto *holder = static_cast<TarnPacketHolder *>(hook->p);
  void *block = std::malloc(sizeof(TarnPacketHolder));
  if (!block) {
    elog_die(1, "Out of memory in %s at line %d of '%s'\n\tCan't malloc %lu bytes for newOphd\n",
             "spTarnPacket_hookcopy", __LINE__, "tarnpacket",
             static_cast<unsigned long>(sizeof(TarnPacketHolder)));
  }
  Hook *result = new_hook(spTarnPacket_hookfree);
  if (!result) {
    std::free(block);
    return nullptr;
  }
  // One more consumer waits for the packet: one more hold on it.
  auto *copy = new (block) TarnPacketHolder(*holder);
  (*copy)->holdUntilDone();
  result->p = copy;
  return result;
}

void spTarnPacket_hookfree(void *data) {
  if (!data) return;
  auto *holder = static_cast<TarnPacketHolder *>(data);
  // A hook freed with its packet still in it was never delivered (the queue
  // dropped or discarded it, and said so): its consumer is done with it. A
  // delivered packet has moved on to its consumer, who says so itself.
  if (*holder) (*holder)->done();
  holder->~TarnPacketHolder();  // drops this holder's reference; the last one frees the packet
  std::free(data);
}
