// RelayConnectionInspector: the tests' way to set what only a connection's
// own thread sets (its state, its last packet time, that it has begun), to
// look at what the status manager makes of it without running its loop.
// RelayConnection names it a friend.
#pragma once

#include "connection/relay_connection.h"

class RelayConnectionInspector {
 public:
  explicit RelayConnectionInspector(RelayConnection &c) : connection(c) {}
  void setState(ConnectionState state) { connection.setState(state); }
  void setLastPacketTime(double time) { connection.m_lastPacketTime.store(time); }
  void begin() { connection.m_begun.store(true); }

 private:
  RelayConnection &connection;
};
