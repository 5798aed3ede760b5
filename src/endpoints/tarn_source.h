// TarnSource: a reader's packets from one tarn server, through one tag.
//
// It selects on the server with the reader's expressions, starts where the
// statefile says the reader was (else at its start time, else at the newest
// packet), and reaps one packet at a time. Each packet's read record lives
// in the tag's read position, which the state manager saves: the saved place
// passes a packet only once it is done. A reader the statefile had no place
// for saves its place as soon as it has one.
//
// Each packet carries an identity (TarnPacket::identity) made from the
// source ring's instance and a name of the reader that does not change
// when entries of the parameter file move: its named tag, else its name
// and expressions. The statefile keeps that name with the position, so a
// packet read again after a restart has the identity it had.
//
// A lost server connection is the client library's to mend: a reap then
// waits, and the library reports the loss and the recovery.
#pragma once

#include <memory>
#include <string>

#include "base/relay_context.h"
#include "connection/endpoint.h"
#include "connection/relay_connection.h"

class TarnTag;

// How messages name the tarn server a tag reaches (readers and writers alike).
EndpointNames tarnNames(const TarnTag &tag);

class TarnSource : public PacketSource {
 public:
  // `tarnname` is the name as configured (perhaps empty, for a named tag);
  // `owner` names the reader in the statefile (empty: no name of its own).
  TarnSource(std::shared_ptr<TarnTag> tag, std::string tarnname, std::string owner,
             const ReaderSettings &settings, const RelayContext &context);

  const EndpointNames &names() const override { return m_names; }
  std::vector<std::string> describe() const override;
  OpenResult open(std::string &why) override;
  bool linkLost() const override;
  uint64_t reconnections() const override;
  bool position() override;
  const char *idName() const override { return "pktid"; }
  LastPacket findLast() override;
  bool isLast(const TarnPacket &packet) const override;
  ReadResult next(double timeout, PacketBatch &batch) override;
  void handled() override;

  // Where reading starts: the statefile's place, else the start time
  // (TIME_UNSET: none), else the newest packet; each outcome said at verbose
  // level.
  void smartReposition(double starttime);

 private:
  bool repositionFromStatefile();
  // The identity name of a reader the statefile has no position for.
  std::string stableIdentity() const;

  const std::shared_ptr<TarnTag> m_tag;
  const std::string m_tarnname;
  const std::string m_owner;
  const std::string m_match;
  const std::string m_reject;
  const double m_starttime;
  const RelayContext m_context;
  RelayLog &m_log;
  const EndpointNames m_names;
  int m_lastPktid = -1;
  bool m_saveFirstPlace = false;
};
