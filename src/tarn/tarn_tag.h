// TarnTag: one named client connection to one tarn server.
//
// A tag holds the connection descriptor, the source-name expressions last
// applied to it and the position (packet id and time) of the last packet
// reaped through it. Tags live in a process-wide registry keyed by tag name,
// so every connection that names the same tag shares one object and one
// server connection. Tags are created closed; open() connects them, and an
// open tag stays open until the process ends.
//
// Threads: the registry and the generated-name counter are written only
// during configuration, on the main thread. open, select, reject and the
// positioning operations run on the one connection thread that reads through
// the tag. put() holds the tag's mutex around the library call, so writer
// connections that share a tag never put at the same time. The position is
// kept apart from the read position: a ReadPosition, registered with the
// state-file library when a statefile is in use, which records every packet
// the reader reaps and saves only what is done with (read_position.h).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

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

  // Connects for "read" or "write". RelayTarnOpenException when the server
  // cannot be reached; any other direction ends the process.
  void open(std::string direction);
  bool isOpen();
  // Restrict the sources the tag delivers; the library's result (the number
  // of sources now delivered) unchanged. RelayTarnClosedException when closed.
  int select(std::string expression);
  int reject(std::string expression);

  // Positioning. smartReposition: the position saved in the statefile (when
  // one is in use; it waits for the state manager to have read it), else the start time
  // (TIME_UNSET for none), else the newest packet, each outcome reported at
  // verbose level. after: positions at the first packet at or after `time`
  // and returns its id. getNewestPktid: the id of the newest packet, leaving
  // the position where it was. Both throw RelayTarnClosedException on a
  // closed tag and RelayTarnPositioningException when the server refuses.
  void smartReposition(double starttime);
  int after(double time);
  int getNewestPktid();
  // Sets the id and time of the last packet reaped, together.
  void setTarnPosition(int pktid, double time);
  // The id the next reap starts from.
  int nextPktid();
  // The read position that the statefile keeps for a reader of this tag.
  ReadPosition &readPosition() { return *m_readPosition; }
  // The name under which the statefile keeps the reader's position (its
  // explicit tag, else its connection's name, else empty). Set before
  // smartReposition.
  void setPositionOwner(std::string owner) { m_positionOwner = std::move(owner); }

  // What a put tells besides its result: its number on the tag's
  // connection and how many of the tag's puts the server has acknowledged
  // (in order: every put numbered up to it is stored).
  struct PutReceipt {
    uint64_t number = 0;
    uint64_t acknowledged = 0;
  };
  // The result of put() when it was given a window wait and the server's
  // window of unacknowledged puts stayed full that long: nothing was put.
  static constexpr int kWindowFull = 1;
  // Puts one packet on the server; the library's result. With `windowWait`
  // not negative, gives up after that many seconds of a full window and
  // returns kWindowFull. RelayException when the tag is closed or the put
  // fails.
  int put(char *srcname, double pkttime, char *packet, int nbytes, PutReceipt *receipt = nullptr,
          double windowWait = -1);
  // Takes in the acknowledgements that have arrived; the count so far.
  uint64_t collectAcknowledgements();
  // Waits for put `number` to be acknowledged, at most `seconds`: 0; -2 when
  // the time ran out; -3 when stopping and the server does not answer.
  int awaitAcknowledged(uint64_t number, double seconds);
  // Puts taken and not yet acknowledged, and their bytes.
  uint64_t unacknowledgedPuts();
  uint64_t unacknowledgedBytes();

  // "<tag ='tarnname'>", as every log line about the tag shows it.
  std::string getJointName();

  // Keyed accessors: "tarnfd", "pktid" (int); "pkttime" (double); "tarntag",
  // "tarnname", "tarntagandname" (string). Unknown keys end the process.
  int getInt(std::string key);
  void setInt(std::string key, int value);
  double getDouble(std::string key);
  void setDouble(std::string key, double value);
  std::string getString(std::string key);

 private:
  // The statefile step of smartReposition: true when positioning is done.
  bool repositionFromStatefile();

  std::shared_ptr<TarnHandle> m_tarnHandle;
  std::mutex m_mutex;  // serialises put(); guards nothing else
  std::string m_tarntag;
  std::atomic<int> m_tarnfd{-1};
  std::string m_select;
  std::string m_reject;
  // The last packet reaped (id -1 and time 0 before the first), written by
  // the reader, read by anyone.
  std::atomic<int> m_pktid{-1};
  std::atomic<double> m_pkttime{0.0};
  const std::shared_ptr<ReadPosition> m_readPosition = std::make_shared<ReadPosition>();
  std::string m_positionOwner;  // written by the reader before it positions

  static std::unordered_map<std::string, std::shared_ptr<TarnTag>> s_tarnTags;
  static int s_autoTarnTagCount;
};
