// Helpers shared by the tarn tool's subcommands: hex, base64, time
// arguments, numbers, and interruption by SIGINT/SIGTERM.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

namespace tarntool {

// "%08x" of the value (a CRC-32 from platform/pkt/crc32.h, for instance).
std::string hex8(uint32_t v);

// Decodes standard base64 (padding optional); false on any other character.
bool base64Decode(const std::string &text, std::string &out);
// Standard base64 with padding, as base64Decode and `tarn put` read it.
std::string base64Encode(const char *bytes, size_t n);

// Why `name` is not a tarn name, or "" when it is one: a bare number such as
// 6520 is refused with the reason that it should be written ":6520".
std::string tarnNameError(const std::string &name);

// Epoch seconds, or a time text that the time library reads; false otherwise.
bool parseTime(const std::string &text, double &out);
// A non-negative decimal integer / number of seconds.
bool parseCount(const std::string &text, long &out);
bool parseSeconds(const std::string &text, double &out);

// Makes SIGINT and SIGTERM set the process's stop flag (so the tarn library
// stops waiting for a lost server) and interrupted().
void catchInterrupts();
bool interrupted();
// Sets the stop flag as an interrupt would, so that the tarn client library
// waits no longer for a server that does not answer (before tarnclose).
void stopWaiting();
// Waits `seconds`, in short steps; false when interrupted meanwhile.
bool pauseUnlessInterrupted(double seconds);

// The time as the time library writes it ("2026-12-07 10:00:00.500 UTC").
std::string timeText(double t);

}  // namespace tarntool
