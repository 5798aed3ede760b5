#include "platform/pf/pf_parse.h"

#include <utility>
#include <vector>

#include "platform/pf/pf_text.h"

namespace pfimpl {

namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

// Indentation is for the reader's eye only; past this depth lines stop
// moving right, so deep objects do not cost quadratic space.
constexpr size_t kMaxIndentLevels = 16;

struct OpenObject {
  Pf *object;
  size_t line;  // where it was opened; 0 for the root
};

class Parser {
 public:
  Parser(Pf &root, ParseError *error) : error_(error) { open_.push_back({&root, 0}); }

  bool run(std::string_view text) {
    if (text.substr(0, kByteOrderMark.size()) == kByteOrderMark) {
      text.remove_prefix(kByteOrderMark.size());
    }
    size_t pos = 0;
    while (pos <= text.size()) {
      size_t end = text.find('\n', pos);
      if (end == std::string_view::npos) end = text.size();
      ++line_;
      if (!readLine(text.substr(pos, end - pos))) return false;
      pos = end + 1;
    }
    if (open_.size() > 1) {
      const OpenObject &last = open_.back();
      line_ = last.line;
      return fail(opener(*last.object) + " is never closed (a '}' is missing)");
    }
    return true;
  }

 private:
  static std::string opener(const Pf &pf) {
    return "'" + std::string(pf.kind == PFARR ? kOpenArr : kOpenList) + "'";
  }

  bool fail(std::string reason) {
    error_->line = line_;
    error_->reason = std::move(reason);
    return false;
  }

  bool readLine(std::string_view raw) {
    if (raw.find('\0') != std::string_view::npos) {
      return fail("holds a NUL byte (is this a text file?)");
    }
    std::string_view text = trimBlanks(raw);
    if (text.empty() || text.front() == '#') return true;
    if (text.front() == '}') return closeLine(text);
    Pf &top = *open_.back().object;
    return top.kind == PFARR ? arrayLine(top, text) : listLine(top, text);
  }

  bool closeLine(std::string_view text) {
    if (text.size() > 1) return fail("text after '}'");
    if (open_.size() == 1) return fail("'}' closes nothing");
    open_.pop_back();
    return true;
  }

  bool arrayLine(Pf &arr, std::string_view text) {
    std::string key;
    size_t used = 0;
    if (startsQuoted(text)) {
      std::string why;
      if (!readQuoted(text, &key, &used, &why)) return fail(why + " (in a key)");
      if (used < text.size() && !isBlank(text[used])) {
        return fail("text right after the closing '\"' of a key");
      }
    } else {
      while (used < text.size() && !isBlank(text[used])) ++used;
      key.assign(text.substr(0, used));
      if (key == kOpenArr || key == kOpenList) return fail("'" + key + "' needs a key before it");
    }
    PfPtr value;
    if (!readValue(trimBlanks(text.substr(used)), &value)) return false;
    Pf *stored = arraySet(arr, key, std::move(value));
    return stored->kind == PFSTRING || push(stored);
  }

  bool listLine(Pf &list, std::string_view text) {
    PfPtr value;
    if (!readValue(text, &value)) return false;
    Pf *stored = value.get();
    list.items.push_back(std::move(value));
    return stored->kind == PFSTRING || push(stored);
  }

  // A value: an opening of a nested object, a quoted text, or plain text.
  bool readValue(std::string_view text, PfPtr *out) {
    if (text == kOpenArr) {
      *out = std::make_unique<Pf>(PFARR);
    } else if (text == kOpenList) {
      *out = std::make_unique<Pf>(PFTBL);
    } else if (startsQuoted(text)) {
      std::string value, why;
      size_t used = 0;
      if (!readQuoted(text, &value, &used, &why)) return fail(why);
      if (used != text.size()) return fail("text after the closing '\"' of a value");
      *out = makeValue(std::move(value));
    } else {
      *out = makeValue(std::string(text));
    }
    return true;
  }

  bool push(Pf *object) {
    if (open_.size() > PF_MAX_DEPTH) {
      return fail("objects nested more than " + std::to_string(PF_MAX_DEPTH) + " deep");
    }
    open_.push_back({object, line_});
    return true;
  }

  std::vector<OpenObject> open_;
  size_t line_ = 0;
  ParseError *error_;
};

void indent(std::string &out, size_t depth) {
  out.append(4 * (depth < kMaxIndentLevels ? depth : kMaxIndentLevels), ' ');
}

}  // namespace

bool parseText(std::string_view text, Pf &root, ParseError *error) {
  Parser parser(root, error);
  return parser.run(text);
}

std::string writeText(const Pf &pf) {
  if (pf.kind == PFSTRING) return pf.value;
  struct Frame {
    const Pf *object;
    size_t next;
  };
  std::string out;
  std::vector<Frame> stack{{&pf, 0}};
  while (!stack.empty()) {
    size_t depth = stack.size() - 1;
    const Pf &parent = *stack.back().object;
    size_t i = stack.back().next++;
    if (i == parent.items.size()) {
      stack.pop_back();
      if (depth > 0) {
        indent(out, depth - 1);
        out += "}\n";
      }
      continue;
    }
    const Pf &child = *parent.items[i];
    indent(out, depth);
    if (parent.kind == PFARR) {
      appendText(out, parent.keys[i], Slot::Key);
      if (child.kind != PFSTRING || !child.value.empty()) out += ' ';
    }
    if (child.kind == PFSTRING) {
      appendText(out, child.value, parent.kind == PFARR ? Slot::ArrayValue : Slot::ListEntry);
    } else {
      out += child.kind == PFARR ? kOpenArr : kOpenList;
      stack.push_back({&child, 0});
    }
    out += '\n';
  }
  return out;
}

}  // namespace pfimpl
