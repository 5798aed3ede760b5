// Pieces of the parameter-file text form shared by the reader and the writer:
// what a blank is, and the quoted form &"..." that carries any key or value.
//
// Quoted form: '&', '"', the text with these escapes, '"':
//   \\  backslash     \"  double quote     \n  newline
//   \t  tab           \r  carriage return  \xHH  any other byte (not 00)
// The writer escapes every control character (below 0x20, and 0x7f); other
// bytes, including those of UTF-8 texts, are written as they are.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace pfimpl {

// Blanks separate a key from its value and are trimmed from both ends of a
// line: space, tab, carriage return, vertical tab, form feed.
inline bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

std::string_view trimBlanks(std::string_view text);

// The opening and closing texts of nested objects.
inline constexpr std::string_view kOpenArr = "&Arr{";
inline constexpr std::string_view kOpenList = "&List{";

// Where a text may stand, which decides what must be quoted.
enum class Slot { Key, ArrayValue, ListEntry };

// True when `text` cannot be written plainly in that slot and read back.
bool needsQuoting(std::string_view text, Slot slot);

// Appends `text` to `out`, plainly where it can be, quoted where it must.
void appendText(std::string &out, std::string_view text, Slot slot);

// True when `text` starts a quoted text.
inline bool startsQuoted(std::string_view text) {
  return text.size() >= 2 && text[0] == '&' && text[1] == '"';
}

// Reads the quoted text that starts `text`. On success sets *out to the text
// it stands for and *used to the number of characters it took (up to and
// with the closing quote). On failure returns false with *why set.
bool readQuoted(std::string_view text, std::string *out, size_t *used, std::string *why);

}  // namespace pfimpl
