/*
 * tourctl: the command line of patrold. Bus commands go to the running
 * daemon; tour editing goes straight to the parameter store, one
 * transaction per command.
 */
#pragma once

#include <glib.h>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace tourctl {

enum class Exit : int { Ok = 0, Failure = 1, Usage = 2 };

constexpr int kCameraCount = 8;
constexpr const char *kTourRoot = "root.RezazErar";

/* Named options of one command line, "--key value" or "--key=value". */
using Options = std::map<std::string, std::string>;

/* ---- bus (tourctl_bus.cpp) ---- */

/* Calls `method` of `interface` on patrold with `args` (floating or not,
 * consumed). Prints the daemon's own error text on failure. */
Exit bus_call(const char *interface, const char *method, GVariant *args);

/* ---- store (tourctl_store.cpp) ---- */

struct Point {
  int id = -1;
  std::map<std::string, std::string> values; /* leaf name -> stored text */
};

struct Tour {
  int id = -1;
  std::map<std::string, std::string> values;
  std::vector<Point> points; /* store order */
};

/* Every tour under root.RezazErar, by ascending id, from one snapshot.
 * nullopt when the store cannot be read. */
std::optional<std::vector<Tour>> store_load();

/* The points in the order patrold visits them. */
std::vector<const Point *> visiting_order(const Tour &tour);

/* What patrold makes of a stored value: the first word of a text, the
 * leading integer of a number. nullopt when it would fail to parse. */
std::optional<std::string> stored_word(const std::map<std::string, std::string> &values,
                                       const char *leaf);
std::optional<int> stored_int(const std::map<std::string, std::string> &values,
                              const char *leaf);

Exit store_add_tour(const Options &options);
Exit store_add_point(int tour_id, const Options &options);
Exit store_edit_tour(int tour_id, const Options &options);
Exit store_edit_point(int tour_id, int point_id, const Options &options);
Exit store_remove(int tour_id, std::optional<int> point_id);

/* ---- views (tourctl_view.cpp) ---- */

Exit view_list();
Exit view_show(int tour_id);

/* ---- shared parsing ---- */

/* Strict decimal integer within [min, max]. */
std::optional<int> parse_int(const std::string &text, int64_t min, int64_t max);

/* Prints "tourctl: <message>" on stderr. */
[[gnu::format(printf, 1, 2)]] void complain(const char *format, ...);

} // namespace tourctl
