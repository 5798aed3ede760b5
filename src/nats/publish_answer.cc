#include "nats/publish_answer.h"

#include <charconv>
#include <cstring>
#include <string_view>

namespace jetstream {

namespace {

bool oneOf(const char *set, char c) { return c != '\0' && std::strchr(set, c) != nullptr; }

// A cursor over a JSON text that knows just enough of JSON to find the
// members of the answer's objects and skip everything else.
class JsonCursor {
 public:
  explicit JsonCursor(std::string_view text) : m_text(text) {}

  bool failed() const { return m_failed; }
  bool consume(char c) {
    skipBlanks();
    if (m_at < m_text.size() && m_text[m_at] == c) return ++m_at, true;
    return false;
  }
  bool expect(char c) { return consume(c) || fail(); }
  bool atEnd() {
    skipBlanks();
    return m_at == m_text.size();
  }

  // A string; escapes other than \" and \\ are kept as written, which is
  // enough for keys and for a description that is only shown.
  bool string(std::string_view &raw, std::string *decoded = nullptr) {
    if (!expect('"')) return false;
    size_t start = m_at;
    for (; m_at < m_text.size() && m_text[m_at] != '"'; ++m_at) {
      if (m_text[m_at] == '\\' && ++m_at == m_text.size()) break;
    }
    if (m_at == m_text.size()) return fail();
    raw = m_text.substr(start, m_at - start);
    ++m_at;
    if (decoded) {
      decoded->clear();
      for (size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] == '\\' && i + 1 < raw.size() && (raw[i + 1] == '"' || raw[i + 1] == '\\')) ++i;
        *decoded += raw[i];
      }
    }
    return true;
  }

  bool integer(long long &value) {
    skipBlanks();
    auto [end, ec] = std::from_chars(m_text.data() + m_at, m_text.data() + m_text.size(), value);
    if (ec != std::errc()) return fail();
    m_at = static_cast<size_t>(end - m_text.data());
    return true;
  }

  // Skips one value of any kind, nested at most `depth` deep.
  bool skipValue(int depth = 8) {
    skipBlanks();
    if (m_at == m_text.size() || depth == 0) return fail();
    char c = m_text[m_at];
    std::string_view ignored;
    if (c == '"') return string(ignored);
    if (c == '{' || c == '[') {
      char close = c == '{' ? '}' : ']';
      ++m_at;
      if (consume(close)) return true;
      do {
        if (c == '{' && (!string(ignored) || !expect(':'))) return false;
        if (!skipValue(depth - 1)) return false;
      } while (consume(','));
      return expect(close);
    }
    // A number, true, false or null: the run of characters that may make one.
    size_t start = m_at;
    while (m_at < m_text.size() && oneOf("+-.0123456789eEtruefalsn", m_text[m_at])) ++m_at;
    return m_at > start || fail();
  }

 private:
  bool fail() {
    m_failed = true;
    return false;
  }
  void skipBlanks() {
    while (m_at < m_text.size() && oneOf(" \t\r\n", m_text[m_at])) ++m_at;
  }

  std::string_view m_text;
  size_t m_at = 0;
  bool m_failed = false;
};

// Calls `member(key)` for each member of the object at the cursor; the
// callback reads the value or returns false to have it skipped.
template <typename Member>
bool members(JsonCursor &json, Member member) {
  if (!json.expect('{')) return false;
  if (json.consume('}')) return true;
  do {
    std::string_view key;
    if (!json.string(key) || !json.expect(':')) return false;
    if (!member(key) && !json.skipValue()) return false;
    if (json.failed()) return false;
  } while (json.consume(','));
  return json.expect('}');
}

// A text from the server as a log line may show it: one line, printable.
std::string printable(std::string_view text) {
  std::string shown(text);
  for (char &c : shown) {
    if (static_cast<unsigned char>(c) < ' ' || static_cast<unsigned char>(c) >= 0x7f) c = '?';
  }
  return shown;
}

PublishAnswer unreadable(std::string_view body) {
  PublishAnswer answer;
  answer.text = "an answer JetStream does not give: '" + printable(body.substr(0, 120)) +
                (body.size() > 120 ? "...'" : "'");
  return answer;
}

}  // namespace

PublishAnswer readPublishAnswer(const char *body, size_t size) {
  std::string_view text(body ? body : "", body ? size : 0);
  JsonCursor json(text);
  PublishAnswer answer;
  bool stream = false, sequence = false, error = false;
  bool read = members(json, [&](std::string_view key) {
    if (key == "stream") {
      std::string_view ignored;
      return stream = json.string(ignored);
    }
    if (key == "seq") {
      long long seq = 0;
      return sequence = json.integer(seq);
    }
    if (key != "error") return false;
    error = true;
    return members(json, [&](std::string_view inner) {
      long long value = 0;
      if (inner == "err_code") {
        if (!json.integer(value)) return false;
        answer.errCode = static_cast<int>(value);
        return true;
      }
      std::string_view raw;
      if (inner == "description") return json.string(raw, &answer.text);
      return false;
    });
  });
  if (!read || !json.atEnd()) return unreadable(text);
  if (error) {
    answer.kind = PublishAnswer::Kind::kRefused;
    answer.text = answer.text.empty() ? "refused" : printable(answer.text.substr(0, 200));
    if (answer.errCode) answer.text += " (JetStream error " + std::to_string(answer.errCode) + ")";
    return answer;
  }
  if (!stream || !sequence) return unreadable(text);
  answer.kind = PublishAnswer::Kind::kStored;
  return answer;
}

bool replyNumber(const char *subject, const std::string &prefix, uint64_t &number) {
  if (!subject || std::strncmp(subject, prefix.data(), prefix.size()) != 0) return false;
  const char *digits = subject + prefix.size();
  size_t n = std::strlen(digits);
  if (n == 0 || n > 20 || digits[0] < '0' || digits[0] > '9') return false;
  auto [end, ec] = std::from_chars(digits, digits + n, number);
  return ec == std::errc() && end == digits + n;
}

}  // namespace jetstream
