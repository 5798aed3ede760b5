// How packets and connections are named on a NATS JetStream server.
//
// A packet becomes one message:
//   subject      PREFIX "." + the source name made subject-safe (below)
//   Tarn-Srcname the source name, with bytes outside '!'..'~' and '%'
//                written as %HH (two upper-case hex digits)
//   Tarn-Time    the packet time with 17 significant digits, which reads
//                back to the same double
//   Nats-Msg-Id  the source name (as in its subject), the time, the byte
//                count and two checksums of the bytes, so that JetStream's
//                duplicate window drops a packet that is published again
//   body         the packet's bytes, unchanged
//
// Subject-safe source names: letters, digits, '_' and '-' stay as they are;
// a '/' becomes '.' (so that "AB_STA/BHZ" is the subject "PREFIX.AB_STA.BHZ"
// and consumers may subscribe to "PREFIX.AB_STA.*") unless it starts or ends
// the name or stands next to another '/', where it would leave an empty
// subject token; every other byte, and such a '/', is written as %HH. The
// encoding is reversible: '.' decodes to '/', %HH to its byte.
//
// Pure functions of their arguments: safe from any thread.
#pragma once

#include <cstddef>
#include <string>

namespace jetstream {

// The subject-safe form of a source name, and back (false for a text that
// is not one: a bad escape, or a byte outside the safe set).
std::string subjectToken(const std::string &srcname);
bool srcnameFromSubjectToken(const std::string &token, std::string &srcname);
// PREFIX "." subjectToken(srcname).
std::string subjectFor(const std::string &prefix, const std::string &srcname);

// The Tarn-Srcname header value of a source name, and back.
std::string srcnameHeader(const std::string &srcname);
bool srcnameFromHeader(const std::string &value, std::string &srcname);

// The Tarn-Time header value of a time, and back (the whole text must be a
// number).
std::string timeHeader(double time);
// The same text written into `text` (32 bytes hold any), NUL-terminated;
// its length.
size_t writeTimeHeader(double time, char *text, size_t size);
bool timeFromHeader(const std::string &value, double &time);

// The Nats-Msg-Id of a packet.
std::string messageId(const std::string &srcname, double time, const char *bytes, size_t nbytes);
// The same from the source name's subjectToken and the time's header text.
std::string messageIdFrom(const std::string &token, const char *timeText, const char *bytes,
                          size_t nbytes);

// The durable consumer of a reader connection: its name with every byte
// other than letters, digits, '_' and '-' written as %HH (a durable name may
// not hold '.', '*', '>', '/', blanks or control characters).
std::string consumerName(const std::string &connection);

// Why the text cannot serve, or "" when it can.
// A subject prefix: tokens of printable characters other than '*', '>'
// and '%', separated by single dots, at most 200 characters.
std::string subjectPrefixProblem(const std::string &prefix);
// A stream name: 1 to 255 printable characters other than '.', '*', '>',
// '/', '\\' and blanks.
std::string streamNameProblem(const std::string &stream);
// Servers: one or more of "nats://HOST[:PORT]" or "HOST[:PORT]", separated
// by commas; HOST a dotted address or a host name, PORT 1 to 65535 (4222
// when absent); "USER:PASSWORD@" may stand before HOST.
std::string serverUrlsProblem(const std::string &urls);

// The servers as a log line may show them: a password in "USER:PASSWORD@"
// is written as "***".
std::string displayUrls(const std::string &urls);

// Whether a stream subject (which may hold the wildcards '*' and '>') takes
// every subject PREFIX "." ... that subjectFor makes.
bool subjectCoversPrefix(const std::string &streamSubject, const std::string &prefix);

}  // namespace jetstream
