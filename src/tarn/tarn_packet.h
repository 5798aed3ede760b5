// TarnPacket: one packet moving through the relay.
//
// A packet holds its source name, time, packet id and bytes in the stuffed
// form in which tarn servers carry them. Readers make packets by reaping them
// from a tag, other sources (a JetStream stream) from what they read; the
// log and status managers build internal ones from a message or a
// parameter-file object. Packets are shared by pointer between the
// reader, the queues' hooks and the writers, and are freed when the last
// holder lets go.
//
// Read positions: a packet reaped with reap_timeout carries its record in
// its tag's read position, held once by the reaper. Every place that takes
// the packet on holds it once more (holdUntilDone: a queue's consumer) and
// each holder says done() once, when the packet is stored on a server or
// left out with a reason given; the read position passes the packet only
// then. Internal packets have no record.
//
// Threads: a packet is built on one thread and afterwards only read, except
// for its unstuff cache (checkUnstuffs/unstuff), which only the reader that
// reaped the packet touches, before it pushes the packet on. holdUntilDone
// and done may be called from any thread. reap_timeout reaps into one
// reusable buffer per thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/hook/hook.h"
#include "platform/pf/pf.h"
#include "platform/pkt/pkt.h"

#include "tarn/tarn_tag.h"

class TarnPacket {
 public:
  // A reaped packet: copies the bytes and at most 63 characters of the name.
  TarnPacket(std::shared_ptr<TarnTag> tag, int pktid, char *srcname, double pkttime, char *packet,
             int nbytes);
  // The same, taking over `buffer` (allocated with malloc, at least nbytes
  // long) instead of copying it: reaping hands its buffer on this way.
  struct AdoptBuffer {};
  TarnPacket(std::shared_ptr<TarnTag> tag, int pktid, char *srcname, double pkttime, char *buffer,
             int nbytes, AdoptBuffer);
  // A packet read from elsewhere than a tarn server (a JetStream stream):
  // `origin` and `sequence` say where it came from in descriptions ("pktid
  // ORIGIN::SEQUENCE"); `record` is its read record, held once by the
  // reader, or null. Copies the bytes and at most 63 characters of the name.
  TarnPacket(std::string origin, uint64_t sequence, const std::string &srcname, double pkttime,
             const char *packet, int nbytes, ReadRecord *record);
  // A log packet ("<target>/log") carrying the message. RelayException when
  // it cannot be stuffed.
  TarnPacket(const std::string &target, const std::string &message);
  // A status packet ("<target>/pf/st") carrying a copy of the parameter-file
  // object. RelayException when it cannot be stuffed.
  TarnPacket(const std::string &target, Pf *pf);
  ~TarnPacket();
  TarnPacket(const TarnPacket &) = delete;
  TarnPacket &operator=(const TarnPacket &) = delete;

  // Reaps the tag's next packet, waiting at most `timeout` seconds, and
  // records its id and time on the tag. RelayTimeoutException when nothing
  // complete arrived, RelayEOFException at the server's end of data,
  // RelayException for a closed tag or any other failure.
  static std::shared_ptr<TarnPacket> reap_timeout(const std::shared_ptr<TarnTag> &tag,
                                                  double timeout);

  // Puts the packet on the tag (TarnTag::put, with its receipt and window
  // wait).
  int put(TarnTag &tag, TarnTag::PutReceipt *receipt = nullptr, double windowWait = -1);
  // One more hold on the packet's read record; each is ended by done().
  void holdUntilDone();
  void done();
  // Which packet this is, for a destination that stores each packet once:
  // a reaped packet's origin is its reader (tag name) on its server's ring
  // (instance), its sequence the packet id. Null for packets that cannot
  // name themselves so: internal ones, those read from a JetStream stream
  // or a SeedLink server (a stream made anew, a SeedLink server restarted,
  // numbers again under the same name), and those reaped before the
  // server's ring instance was known.
  const TarnTag::PutIdentity *identity() const { return m_identified ? &m_identity : nullptr; }
  // The packet's read record, or null (internal packets).
  ReadRecord *readRecord() const { return m_readRecord; }
  // The packet as it is carried: source name, time and stuffed bytes.
  const char *srcname() const { return m_srcname; }
  double pkttime() const { return m_pkttime; }
  const char *bytes() const { return m_pktbuf; }
  int byteCount() const { return m_nbytes; }
  // The packet id on its tarn server; -1 for other packets.
  int pktid() const { return m_pktid; }
  // Where it was read: the packet id, or the sequence number at a source
  // that is not a tarn server; -1 for the relay's own packets.
  long long placeId() const { return m_sequence >= 0 ? m_sequence : m_pktid; }
  // The relay's own log and status packets.
  bool isInternal() const { return m_isInternalLog; }
  // The content code, once the packet was unstuffed or checked.
  int content() const { return m_content; }
  // Unstuffs the bytes; RelayUnstuffException when they do not unstuff.
  void unstuff();
  // Whether the bytes unstuff; tried once per packet, the answer remembered.
  bool checkUnstuffs();
  // Why the packet does not unstuff, for a packet checkUnstuffs() failed:
  // the packet library's reason, and for miniSEED records what is wrong
  // with them.
  std::string unstuffProblem() const;
  // "Packet: srcname '...' time '...' [pktid tarn::id ]nbytes N".
  std::string describe();

 private:
  // The shared part of the two internal constructors.
  void buildInternal(const std::string &target, const char *suffix, const char *type, int content,
                     const char *failure);
  void stuffInternal(const char *failure);

  int m_pktid;
  int m_nbytes;
  int m_bufsize;
  int m_content;
  bool m_isInternalLog;
  bool m_hasSourceInfo;
  bool m_unstuffed;
  int m_unstuffState;  // 0 not tried, 1 failed, 2 unstuffed
  double m_pkttime;
  char m_srcname[64];
  char *m_pktbuf = nullptr;
  Packet *m_pkt = nullptr;
  std::string m_tarnname;
  long long m_sequence = -1;  // the place at a non-tarn origin, described instead of m_pktid
  ReadRecord *m_readRecord = nullptr;
  TarnTag::PutIdentity m_identity;
  bool m_identified = false;
};

// What a hook's data points at: a heap block (malloc) holding one shared
// reference to a packet.
using TarnPacketHolder = std::shared_ptr<TarnPacket>;

// The hook functions through which a queue's managed FIFO holds packets: a
// hook's data is a heap holder of one shared pointer to the packet.
Hook *spTarnPacket_hookcopy(Hook *hook);
void spTarnPacket_hookfree(void *data);
