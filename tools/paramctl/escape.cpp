/*
 * The one escaping of paramctl's output and import input. What it must
 * give: a listing imported again yields exactly the stored bytes, one
 * parameter per line, and nothing printed can drive a terminal (no control
 * byte, no C1 control, no stray byte of a broken UTF-8 sequence). Plain
 * printable text, UTF-8 included, passes unchanged.
 */
#include "paramctl.h"

#include <glib.h>

namespace paramctl {
namespace {

void append_hex(std::string *out, unsigned char byte) {
  static constexpr char kDigits[] = "0123456789abcdef";
  out->append("\\x");
  out->push_back(kDigits[byte >> 4]);
  out->push_back(kDigits[byte & 0xf]);
}

} // namespace

std::string escape(std::string_view raw, bool line_start) {
  std::string out;
  out.reserve(raw.size());
  for (size_t i = 0; i < raw.size();) {
    const auto byte = static_cast<unsigned char>(raw[i]);
    if (byte >= 0x80) {
      gunichar ch = g_utf8_get_char_validated(raw.data() + i,
                                              static_cast<gssize>(raw.size() - i));
      if (ch == static_cast<gunichar>(-1) || ch == static_cast<gunichar>(-2)) {
        append_hex(&out, byte);
        ++i;
        continue;
      }
      const size_t length = g_utf8_skip[byte];
      if (ch < 0xa0) // C1 controls: some terminals act on them
        for (size_t k = 0; k < length; ++k)
          append_hex(&out, static_cast<unsigned char>(raw[i + k]));
      else
        out.append(raw.substr(i, length));
      i += length;
      continue;
    }
    switch (byte) {
    case '\\': out.append("\\\\"); break;
    case '\n': out.append("\\n"); break;
    case '\r': out.append("\\r"); break;
    case '\t': out.append("\\t"); break;
    default:
      // A '#' opening a line would make import skip it as a comment.
      if (byte < 0x20 || byte == 0x7f || (byte == '#' && i == 0 && line_start))
        append_hex(&out, byte);
      else
        out.push_back(static_cast<char>(byte));
    }
    ++i;
  }
  return out;
}

bool unescape(std::string_view text, std::string *raw) {
  raw->clear();
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\0')
      return false;
    if (text[i] != '\\') {
      raw->push_back(text[i]);
      continue;
    }
    if (++i == text.size())
      return false;
    switch (text[i]) {
    case '\\': raw->push_back('\\'); break;
    case 'n': raw->push_back('\n'); break;
    case 'r': raw->push_back('\r'); break;
    case 't': raw->push_back('\t'); break;
    case 'x': {
      int high = i + 2 < text.size() ? g_ascii_xdigit_value(text[i + 1]) : -1;
      int low = high >= 0 ? g_ascii_xdigit_value(text[i + 2]) : -1;
      // A value is C text: no NUL, however it is written.
      if (low < 0 || (high == 0 && low == 0))
        return false;
      raw->push_back(static_cast<char>(high << 4 | low));
      i += 2;
      break;
    }
    default:
      return false;
    }
  }
  return true;
}

} // namespace paramctl
