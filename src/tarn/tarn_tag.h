// TarnTag: one named client connection to one tarn server.
//
// A tag holds the connection descriptor and the read position of the reader
// that reads through it. Tags live in a process-wide registry keyed by tag
// name, so every connection that names the same tag shares one object and
// one server connection. Tags are created closed; open() connects them, and
// an open tag stays open until the process ends. The tag says nothing
// itself: its users report what it did.
//
// Threads: the registry and the generated-name counter are written only
// during configuration, on the main thread. open, select, reject and the
// positioning operations run on the one connection thread that reads
// through the tag. put() holds the tag's mutex around the library call, so
// writer connections that share a tag never put at the same time. The read
// position (read_position.h) is registered with the state-file library when
// a statefile is in use; it records every packet the reader reaps and saves
// only what is done with.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/statefile/read_position.h"

class TarnHandle;

class TarnTag {
 public:
  // A tag with a configured name on the tarn name (registering the handle).
  TarnTag(std::string tagname, std::string tarnname);
  // A tag that names itself: the first tag already configured for the tarn
  // name, else a generated "tarntag0001", "tarntag0002", ...
  explicit TarnTag(std::string tarnname);
  TarnTag(const TarnTag &) = delete;
  TarnTag &operator=(const TarnTag &) = delete;

  // The registered tag `tagname`; the tarn name is then ignored. Unregistered:
  // created for `tarnname` when `create` is true, else RelayDNEException.
  static std::shared_ptr<TarnTag> getTarnTag(std::string tagname, std::string tarnname,
                                             bool create);
  // A new tag named by itself, registered under its name unless that name is
  // registered already (the registry then keeps its first tag).
  static std::shared_ptr<TarnTag> createTarnTagFromTarnName(std::string tarnname);
  // For tests only: forgets every registered tag and tarn handle and starts
  // the generated names again at "tarntag0001", as in a fresh process. Tags
  // still held elsewhere stay valid. Never called by the relay.
  static void clearRegistriesForTests();

  const std::string &name() const { return m_tarntag; }
  const std::string &tarnName() const;
  // "<tag ='tarnname'>", as every log line about the tag shows it.
  std::string getJointName() const;

  // Records that reader connection `connection` reads through this tag; the
  // reader that claimed it before, or "" (a tag holds one read position).
  // Configuration only.
  std::string claimForReader(const std::string &connection);

  enum class Mode { kRead, kWrite };
  // Connects. RelayTarnOpenException when the server cannot be reached.
  void open(Mode mode);
  bool isOpen() const { return m_tarnfd.load() >= 0; }
  // The client library's descriptor; negative while closed.
  int fd() const { return m_tarnfd.load(); }
  // Restrict the sources the tag delivers; the library's result (the number
  // of sources now delivered) unchanged. RelayTarnClosedException when closed.
  int select(const std::string &expression);
  int reject(const std::string &expression);

  // Positioning. after: positions at the first packet at or after `time` and
  // returns its id. getNewestPktid: the id of the newest packet, leaving the
  // position where it was. Both throw RelayTarnClosedException on a closed
  // tag and RelayTarnPositioningException when the server refuses.
  int after(double time);
  int getNewestPktid();
  // Positions at the newest packet the tag would deliver; its id, or a
  // negative value when there is none.
  int positionNewest();
  // The id the next reap starts from.
  int nextPktid();
  // Puts the tag where the statefile says `owner` (or, for statefiles of the
  // first format, the tag's name) last was, and registers the read position
  // with the state-file library; the library's result (0 at a saved packet,
  // -2 at a saved time, -1 or -3 when nothing was found; see statefile.h).
  // `identity` comes in as the identity name for a reader without a saved
  // position and goes out as the one the reader keeps (the saved one), which
  // the tag then uses (setIdentityName).
  int resurrect(const std::string &owner, std::string &identity);
  // What the origin of the packets reap() gives is made from, with the ring
  // instance: a name that stays the reader's however the parameter file is
  // ordered. Until it is set, the tag's own name. Only the tag's reader calls
  // it, before it reaps.
  void setIdentityName(const std::string &name);
  // The read position that the statefile keeps for a reader of this tag.
  ReadPosition &readPosition() { return *m_readPosition; }

  // What a put tells besides its result: its number on the tag's
  // connection and how many of the tag's puts the server has acknowledged
  // (in order: every put numbered up to it is stored).
  // `refusals`: refused puts wait for takeRefusedPuts; read together with
  // `acknowledged`, so when false none up to that count does.
  struct PutReceipt {
    uint64_t number = 0;
    uint64_t acknowledged = 0;
    bool refusals = false;
    uint32_t maxPacket = 0;  // as maxPacketBytes() gives it after the put
  };
  // The result of put() when it was given a window wait and the server's
  // window of unacknowledged puts stayed full that long: nothing was put.
  static constexpr int kWindowFull = 1;
  // Which packet a put is (see TarnPacket::identity).
  struct PutIdentity {
    uint64_t origin = 0;
    uint64_t sequence = 0;
  };
  // Puts one packet on the server; the library's result. With `windowWait`
  // not negative, gives up after that many seconds of a full window and
  // returns kWindowFull. With `identity` a server that takes identified puts
  // stores the packet once, however often it is sent. RelayException when
  // the tag is closed or the put fails.
  int put(const char *srcname, double pkttime, const char *packet, int nbytes,
          PutReceipt *receipt = nullptr, double windowWait = -1,
          const PutIdentity *identity = nullptr);
  // The ring instance of the tag's server as last connected; 0 when unknown.
  uint64_t ringInstance() const;
  // Reaps the next packet into the caller's buffers (tarnreap_timeout's
  // arguments and result), and gives the origin of the packets this tag
  // reads from the ring it came from (0 while the ring's instance is not
  // known): FNV-1a over the ring instance and the identity name
  // (setIdentityName). A ring made anew has another instance, so its ids,
  // which start again, never pass for the old ones. Only the tag's reader
  // calls it.
  int reap(double timeout, int *pktid, char *srcname, double *time, char **buf, int *nbytes,
           int *bufsize, uint64_t *origin);
  // Takes in the acknowledgements that have arrived; the count so far.
  uint64_t collectAcknowledgements();
  // Waits for put `number` to be acknowledged, at most `seconds`: 0; -2 when
  // the time ran out; -3 when stopping and the server does not answer.
  int awaitAcknowledged(uint64_t number, double seconds);
  // Puts acknowledged so far, taken and not yet acknowledged, and the bytes
  // of those; read without waiting for the connection.
  uint64_t acknowledgedPuts();
  uint64_t unacknowledgedPuts();
  uint64_t unacknowledgedBytes();
  // A put the server refused (its writers rule): done, never to be stored.
  struct RefusedPut {
    uint64_t number = 0;
    std::string srcname;
    double time = 0.0;
    long bytes = 0;
    std::string why;
    // Refused as larger than the server now takes: its limit; else 0.
    uint32_t limit = 0;
  };
  // The puts refused since the last call. A writing tag's refusals are said
  // by whoever takes them here; the client library does not log them.
  std::vector<RefusedPut> takeRefusedPuts();
  // Whether the connection to the server was lost and is not back yet; read
  // without waiting for the connection, from any thread.
  bool linkLost() const;
  // How often the lost connection was restored so far; any thread.
  uint64_t reconnections() const;
  // The largest packet the server takes, in bytes, as it last said; 0 when
  // unknown (closed).
  uint32_t maxPacketBytes() const;

 private:
  // "'tag' ('tarnname')", as failures of puts name the tag.
  std::string nameAndTarn() const;

  std::shared_ptr<TarnHandle> m_tarnHandle;
  std::mutex m_mutex;  // serialises put(); guards nothing else
  std::string m_tarntag;
  std::atomic<int> m_tarnfd{-1};
  // The origin reap() gave last, and the ring instance it is of: worked out
  // again only when the instance changes.
  uint64_t m_originInstance = 0;
  uint64_t m_origin = 0;
  std::string m_identityName;  // the reader's; empty: the tag's name
  const std::shared_ptr<ReadPosition> m_readPosition = std::make_shared<ReadPosition>();
  std::string m_reader;  // the reader connection that claimed the tag; configuration only

  static std::unordered_map<std::string, std::shared_ptr<TarnTag>> s_tarnTags;
  static int s_autoTarnTagCount;
};

// True when packet id `a` comes after `b` in the server's order, in which ids
// count up to 2147483647 and start again at 0.
bool pktidAfter(int a, int b);
