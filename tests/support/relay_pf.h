// Parameter files for tests of the relay.
//
// RelayPf holds the parts of a complete current-form parameter file, each
// the lines inside its array or list, and writes the whole file with text().
// As built, it has no connections, defaults that give every key a
// connection needs except its tarn and queue names, status and log packets
// off, and the built-in timing values. kMinimalRelayPf is that file.
#pragma once

#include <string>

namespace testsupport {

struct RelayPf {
  std::string connections;  // the entries of "connections &List{"
  std::string shared = "run true\nmatch\nreject\n";
  std::string read =
      "read_from_tarnname\nread_from_tarntag\nstarttime\nendtime\ntoo_old\ntoo_new\n"
      "check_unstuff false\nsuppress_unstuff_errors false\n";
  std::string write = "write_to_tarnname\nwrite_to_tarntag\n";
  std::string status = "run false\n";
  std::string log = "run false\n";
  std::string timing = "pfstatusreport 2\ninternal_timeout 1\nshutdown_grace_period 15\n";

  std::string text() const {
    return "connections &List{\n" + connections + "}\n" +
           "connections_defaults &Arr{\nshared &Arr{\n" + shared + "}\nread &Arr{\n" + read +
           "}\nwrite &Arr{\n" + write + "}\n}\n" +
           "connections_special &Arr{\nstatus_create &Arr{\n" + status + "}\nlog_create &Arr{\n" +
           log + "}\n}\n" + "time_intervals_sec &Arr{\n" + timing + "}\n";
  }
};

// One entry of "connections": the lines given, inside "&Arr{" and "}".
inline std::string connectionEntry(const std::string &lines) { return "&Arr{\n" + lines + "}\n"; }

inline const std::string kMinimalRelayPf = RelayPf().text();

}  // namespace testsupport
