/*
 * tour_text: escaping and bounding stored text (tour_text.h).
 */
#include "tour_text.h"

#include <glib.h>

namespace {

constexpr gunichar kInvalid = static_cast<gunichar>(-1);
constexpr gunichar kPartial = static_cast<gunichar>(-2);

/* Characters that move or reorder what a terminal or a table shows. */
bool is_steering(gunichar c) {
  return c < 0x20 || (c >= 0x7f && c < 0xa0) || c == 0x061c || c == 0x200e ||
         c == 0x200f || (c >= 0x202a && c <= 0x202e) ||
         (c >= 0x2066 && c <= 0x2069) || c == 0x2028 || c == 0x2029;
}

void append_hex(std::string *out, unsigned char byte) {
  static constexpr char kDigits[] = "0123456789abcdef";
  out->append("\\x");
  out->push_back(kDigits[byte >> 4]);
  out->push_back(kDigits[byte & 0xf]);
}

/* Escapes the character at `raw[i]` onto `out`; returns how many bytes of
 * `raw` it took. */
size_t escape_one(std::string_view raw, size_t i, bool line_start,
                  std::string *out) {
  const auto byte = static_cast<unsigned char>(raw[i]);
  if (byte >= 0x80) {
    const gunichar c = g_utf8_get_char_validated(
        raw.data() + i, static_cast<gssize>(raw.size() - i));
    if (c == kInvalid || c == kPartial) {
      append_hex(out, byte);
      return 1;
    }
    const size_t length = g_utf8_skip[byte];
    if (is_steering(c))
      for (size_t k = 0; k < length; ++k)
        append_hex(out, static_cast<unsigned char>(raw[i + k]));
    else
      out->append(raw.substr(i, length));
    return length;
  }
  switch (byte) {
  case '\\':
    out->append("\\\\");
    break;
  case '\n':
    out->append("\\n");
    break;
  case '\r':
    out->append("\\r");
    break;
  case '\t':
    out->append("\\t");
    break;
  default:
    if (is_steering(byte) || (byte == '#' && i == 0 && line_start))
      append_hex(out, byte);
    else
      out->push_back(static_cast<char>(byte));
  }
  return 1;
}

} // namespace

std::string tour_text_escape(std::string_view raw, bool line_start) {
  std::string out;
  out.reserve(raw.size());
  for (size_t i = 0; i < raw.size();)
    i += escape_one(raw, i, line_start, &out);
  return out;
}

bool tour_text_unescape(std::string_view text, std::string *raw) {
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
    case '\\':
      raw->push_back('\\');
      break;
    case 'n':
      raw->push_back('\n');
      break;
    case 'r':
      raw->push_back('\r');
      break;
    case 't':
      raw->push_back('\t');
      break;
    case 'x': {
      const int high =
          i + 2 < text.size() ? g_ascii_xdigit_value(text[i + 1]) : -1;
      const int low = high >= 0 ? g_ascii_xdigit_value(text[i + 2]) : -1;
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

std::string tour_text_bounded(std::string_view raw, size_t max_bytes) {
  g_assert(max_bytes >= TOUR_TEXT_CUT_MARK.size() + 1);
  const size_t room = max_bytes - TOUR_TEXT_CUT_MARK.size();
  std::string out;
  size_t kept = 0; // what of `out` stays if the text has to be cut
  for (size_t i = 0; i < raw.size();) {
    i += escape_one(raw, i, false, &out);
    if (out.size() > max_bytes) {
      out.resize(kept);
      out.append(TOUR_TEXT_CUT_MARK);
      return out;
    }
    if (out.size() <= room)
      kept = out.size();
  }
  return out;
}

bool tour_text_is_plain(std::string_view raw) {
  std::string scratch;
  for (size_t i = 0; i < raw.size();) {
    scratch.clear();
    const size_t taken = escape_one(raw, i, false, &scratch);
    if (scratch != raw.substr(i, taken))
      return false;
    i += taken;
  }
  return true;
}
