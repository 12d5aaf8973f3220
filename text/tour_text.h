/*
 * tour_text: the one boundary for text that came from the parameter store
 * (or any other party patrold does not trust) on its way to a person or a
 * program: the bus, a terminal, JSON, MQTT.
 *
 * Store values are bytes, not text: an older configuration tool writes
 * Latin-1, an operator may store controls or a bidi override that turns a
 * table around, and a value can be megabytes long. GLib aborts on a string
 * property that is not UTF-8, a bus message has a size limit, and a
 * terminal acts on C0 and C1 controls. So nothing else converts store text:
 * whoever shows or sends a stored text passes it through here first.
 *
 * The escaping is paramctl's, so that what a person sees can be typed back:
 * backslash as \\, \n, \r, \t, and \xHH for every other control byte (C0,
 * DEL), every byte of a C1 control, of a bidi control (U+061C, U+200E,
 * U+200F, U+202A..U+202E, U+2066..U+2069), of a line or paragraph
 * separator (U+2028, U+2029), and every byte outside valid UTF-8. Any other
 * UTF-8 passes unchanged. The result is always valid UTF-8 and holds no
 * NUL, so it fits a GVariant string, a C string and a JSON string.
 *
 * Threads: pure functions, safe on any thread.
 */
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

/* The longest tour name patrold shows or sends, in bytes of escaped text. */
inline constexpr size_t TOUR_TEXT_NAME_MAX = 256;
/* The longest other stored text shown (an error text, a value in a
 * message): enough for any value patrold reads, small on the bus. */
inline constexpr size_t TOUR_TEXT_VALUE_MAX = 1024;
/* What ends a text that was cut: one character, three bytes, inside the
 * bound. */
inline constexpr std::string_view TOUR_TEXT_CUT_MARK = "\u2026";

/* `raw` escaped as above. With `line_start`, a '#' opening the text is
 * escaped too, so that paramctl's import does not read the line as a
 * comment. */
std::string tour_text_escape(std::string_view raw, bool line_start = false);

/* Undoes tour_text_escape. false, with `raw` unspecified, on an unknown
 * escape, a trailing backslash or a NUL, raw or escaped: a stored value is
 * C text. */
bool tour_text_unescape(std::string_view text, std::string *raw);

/* `raw` escaped and bounded: at most `max_bytes` bytes (at least 4), cut
 * between two escaped characters and then ending with TOUR_TEXT_CUT_MARK.
 * Only as much of `raw` is read as the bound needs, so a 40 MB value costs
 * no more than a short one. */
std::string tour_text_bounded(std::string_view raw,
                              size_t max_bytes = TOUR_TEXT_NAME_MAX);

/* True when `raw` passes tour_text_escape unchanged (and so may be shown or
 * sent as it is). */
bool tour_text_is_plain(std::string_view raw);
