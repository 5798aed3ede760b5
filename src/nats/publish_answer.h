// What JetStream answers a published message, read from the answer's body:
//   stored   {"stream":"S","seq":N[,"duplicate":true][,"domain":"D"]}
//   refused  {"error":{"code":C,"err_code":E,"description":"..."}}
// and the message number a publisher puts at the end of its reply subject.
//
// Reading does not allocate unless the answer is a refusal or unreadable
// (its text is then kept). Pure functions: safe from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace jetstream {

struct PublishAnswer {
  enum class Kind {
    kStored,      // stored, or a duplicate its window dropped (stored before)
    kRefused,     // JetStream said why not: `errCode`, `text`
    kUnreadable,  // not an answer JetStream gives: `text` says what is wrong
  };
  Kind kind = Kind::kUnreadable;
  int errCode = 0;  // JetStream's error code ("err_code"); 0 when it gave none
  std::string text;
};

PublishAnswer readPublishAnswer(const char *body, size_t size);

// The number after `prefix` in a reply subject `subject`: false unless the
// subject is the prefix followed by 1 to 20 digits and fits in 64 bits.
bool replyNumber(const char *subject, const std::string &prefix, uint64_t &number);

}  // namespace jetstream
