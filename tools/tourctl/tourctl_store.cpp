#include "tourctl.h"

#include "param_store_admin.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <string_view>

namespace tourctl {

namespace {

/* Splits "root.RezazErar.G<n>.<rest>" into n and rest. */
bool split_tour_name(std::string_view name, int &tour_id, std::string_view &rest) {
  constexpr std::string_view prefix = "root.RezazErar.G";
  if (!name.starts_with(prefix))
    return false;
  name.remove_prefix(prefix.size());
  const auto dot = name.find('.');
  if (dot == std::string_view::npos)
    return false;
  const auto id = parse_int(std::string(name.substr(0, dot)), 0, INT32_MAX);
  if (!id)
    return false;
  tour_id = *id;
  rest = name.substr(dot + 1);
  return true;
}

void collect(const char *name, const char *value, void *user_data) {
  auto &tours = *static_cast<std::vector<Tour> *>(user_data);
  int tour_id = -1;
  std::string_view rest;
  if (!split_tour_name(name, tour_id, rest))
    return;
  auto tour = std::find_if(tours.begin(), tours.end(),
                           [&](const Tour &t) { return t.id == tour_id; });
  if (tour == tours.end()) {
    tours.push_back(Tour{.id = tour_id});
    tour = tours.end() - 1;
  }
  constexpr std::string_view points = "Tour.T";
  if (!rest.starts_with(points)) {
    if (rest.find('.') == std::string_view::npos)
      tour->values[std::string(rest)] = value;
    return;
  }
  rest.remove_prefix(points.size());
  const auto dot = rest.find('.');
  if (dot == std::string_view::npos)
    return;
  const auto point_id = parse_int(std::string(rest.substr(0, dot)), 0, INT32_MAX);
  const auto leaf = rest.substr(dot + 1);
  if (!point_id || leaf.find('.') != std::string_view::npos)
    return;
  auto point = std::find_if(tour->points.begin(), tour->points.end(),
                            [&](const Point &p) { return p.id == *point_id; });
  if (point == tour->points.end()) {
    tour->points.push_back(Point{.id = *point_id});
    point = tour->points.end() - 1;
  }
  point->values[std::string(leaf)] = value;
}

std::string tour_name(int tour_id, const char *leaf) {
  return std::string(kTourRoot) + ".G" + std::to_string(tour_id) + "." + leaf;
}

std::string point_name(int tour_id, int point_id, const char *leaf) {
  return std::string(kTourRoot) + ".G" + std::to_string(tour_id) + ".Tour.T" +
         std::to_string(point_id) + "." + leaf;
}

/* One option of a command: its flag, the parameter leaf it writes and the
 * rule its value must follow. */
enum class Rule : uint8_t { Camera, Count, YesNo, Unit, Text };

struct Field {
  const char *option;
  const char *leaf;
  Rule rule;
};

constexpr std::array kTourFields = {
    Field{"name", "Name", Rule::Text},
    Field{"camera", "CamNbr", Rule::Camera},
    Field{"random", "RandomEnabled", Rule::YesNo},
    Field{"pause", "TimeBetweenSequences", Rule::Count},
};

constexpr std::array kPointFields = {
    Field{"preset", "PresetNbr", Rule::Count},
    Field{"position", "Position", Rule::Count},
    Field{"speed", "MoveSpeed", Rule::Count},
    Field{"wait", "WaitTime", Rule::Count},
    Field{"unit", "WaitTimeViewType", Rule::Unit},
};

bool valid(const Field &field, const std::string &value) {
  switch (field.rule) {
  case Rule::Camera:
    if (parse_int(value, 1, kCameraCount))
      return true;
    complain("--%s must be a camera number from 1 to %d, not \"%s\"", field.option,
             kCameraCount, value.c_str());
    return false;
  case Rule::Count:
    if (parse_int(value, 0, INT32_MAX))
      return true;
    complain("--%s must be a whole number of 0 or more, not \"%s\"", field.option,
             value.c_str());
    return false;
  case Rule::YesNo:
    if (value == "yes" || value == "no")
      return true;
    complain("--%s must be \"yes\" or \"no\", not \"%s\"", field.option, value.c_str());
    return false;
  case Rule::Unit:
    if (value == "Minutes" || value == "Seconds")
      return true;
    complain("--%s must be \"Minutes\" or \"Seconds\", not \"%s\"", field.option,
             value.c_str());
    return false;
  case Rule::Text:
    if (!value.empty() && value.find('\n') == std::string::npos)
      return true;
    complain("--%s must be one non-empty line", field.option);
    return false;
  }
  return false;
}

/* Validates every option before anything is written, so a bad value leaves
 * the store as it was. Unknown options were refused by the caller. */
template <size_t N, typename NameOf>
std::optional<std::vector<std::pair<std::string, std::string>>>
writes_for(const std::array<Field, N> &fields, const Options &options, NameOf name_of) {
  std::vector<std::pair<std::string, std::string>> writes;
  for (const Field &field : fields) {
    const auto it = options.find(field.option);
    if (it == options.end())
      continue;
    if (!valid(field, it->second))
      return std::nullopt;
    writes.emplace_back(name_of(field.leaf), it->second);
  }
  return writes;
}

Exit commit(const std::vector<std::pair<std::string, std::string>> &writes) {
  std::vector<param_store_pair> pairs;
  pairs.reserve(writes.size());
  for (const auto &[name, value] : writes)
    pairs.push_back({name.c_str(), value.c_str()});
  if (param_store_admin_set_many(pairs.data(), pairs.size(), nullptr) != 0) {
    complain("cannot write the parameter store");
    return Exit::Failure;
  }
  return Exit::Ok;
}

const Tour *find_tour(const std::vector<Tour> &tours, int tour_id) {
  for (const Tour &tour : tours)
    if (tour.id == tour_id)
      return &tour;
  complain("no tour %d", tour_id);
  return nullptr;
}

const Point *find_point(const Tour &tour, int point_id) {
  for (const Point &point : tour.points)
    if (point.id == point_id)
      return &point;
  complain("tour %d has no point %d", tour.id, point_id);
  return nullptr;
}

std::optional<std::vector<Tour>> load_or_complain() {
  auto tours = store_load();
  if (!tours)
    complain("cannot read the parameter store");
  return tours;
}

/* Options that a new record cannot do without. */
bool has_required(const Options &options, std::initializer_list<const char *> required) {
  for (const char *option : required) {
    if (!options.contains(option)) {
      complain("--%s is required", option);
      return false;
    }
  }
  return true;
}

} // namespace

std::optional<std::vector<Tour>> store_load() {
  std::vector<Tour> tours;
  if (param_store_admin_list(kTourRoot, collect, &tours) < 0)
    return std::nullopt;
  std::sort(tours.begin(), tours.end(),
            [](const Tour &a, const Tour &b) { return a.id < b.id; });
  return tours;
}

std::vector<const Point *> visiting_order(const Tour &tour) {
  /* patrold puts each point at the front of its list, then sorts ordered
   * tours by Position with a stable sort. */
  std::vector<const Point *> order;
  for (auto it = tour.points.rbegin(); it != tour.points.rend(); ++it)
    order.push_back(&*it);
  if (stored_word(tour.values, "RandomEnabled").value_or("") == "yes")
    return order;
  std::stable_sort(order.begin(), order.end(), [](const Point *a, const Point *b) {
    return stored_int(a->values, "Position").value_or(0) <
           stored_int(b->values, "Position").value_or(0);
  });
  return order;
}

std::optional<std::string> stored_word(const std::map<std::string, std::string> &values,
                                       const char *leaf) {
  const auto it = values.find(leaf);
  if (it == values.end())
    return std::nullopt;
  std::array<char, 256> word{};
  if (std::sscanf(it->second.c_str(), "%255s", word.data()) != 1)
    return std::nullopt;
  return std::string(word.data());
}

std::optional<int> stored_int(const std::map<std::string, std::string> &values,
                              const char *leaf) {
  const auto it = values.find(leaf);
  int number = 0;
  if (it == values.end() || std::sscanf(it->second.c_str(), "%d", &number) != 1)
    return std::nullopt;
  return number;
}

Exit store_add_tour(const Options &options) {
  if (!has_required(options, {"camera"}))
    return Exit::Usage;
  const auto tours = load_or_complain();
  if (!tours)
    return Exit::Failure;
  int tour_id = tours->empty() ? 1 : tours->back().id + 1;
  if (const auto it = options.find("id"); it != options.end()) {
    const auto id = parse_int(it->second, 0, INT32_MAX);
    if (!id) {
      complain("--id must be a whole number of 0 or more, not \"%s\"", it->second.c_str());
      return Exit::Failure;
    }
    if (std::any_of(tours->begin(), tours->end(), [&](const Tour &t) { return t.id == *id; })) {
      complain("tour %d already exists", *id);
      return Exit::Failure;
    }
    tour_id = *id;
  }
  auto writes = writes_for(kTourFields, options,
                           [&](const char *leaf) { return tour_name(tour_id, leaf); });
  if (!writes)
    return Exit::Failure;
  /* A new tour is complete from the start: patrold refuses to play a tour
   * whose order or round pause it cannot read. */
  const std::array<std::pair<const char *, const char *>, 4> defaults = {{
      {"Name", nullptr}, {"RandomEnabled", "no"}, {"TimeBetweenSequences", "0"}, {"Running", "no"}}};
  const std::string default_name = "Tour " + std::to_string(tour_id);
  for (const auto &[leaf, value] : defaults) {
    const std::string name = tour_name(tour_id, leaf);
    if (std::none_of(writes->begin(), writes->end(), [&](const auto &w) { return w.first == name; }))
      writes->emplace_back(name, value ? value : default_name.c_str());
  }
  if (commit(*writes) != Exit::Ok)
    return Exit::Failure;
  std::printf("%d\n", tour_id);
  return Exit::Ok;
}

Exit store_add_point(int tour_id, const Options &options) {
  if (!has_required(options, {"preset"}))
    return Exit::Usage;
  const auto tours = load_or_complain();
  if (!tours)
    return Exit::Failure;
  const Tour *tour = find_tour(*tours, tour_id);
  if (!tour)
    return Exit::Failure;
  int point_id = 0;
  int position = 0;
  for (const Point &point : tour->points) {
    point_id = std::max(point_id, point.id + 1);
    position = std::max(position, stored_int(point.values, "Position").value_or(0) + 1);
  }
  auto writes = writes_for(kPointFields, options, [&](const char *leaf) {
    return point_name(tour_id, point_id, leaf);
  });
  if (!writes)
    return Exit::Failure;
  /* Unless told otherwise, a new point comes last, moves at a middling
   * speed and stays ten seconds. */
  const std::string next_position = std::to_string(position);
  const std::array<std::pair<const char *, const char *>, 4> defaults = {{
      {"Position", next_position.c_str()}, {"MoveSpeed", "50"}, {"WaitTime", "10"},
      {"WaitTimeViewType", "Seconds"}}};
  for (const auto &[leaf, value] : defaults) {
    const std::string name = point_name(tour_id, point_id, leaf);
    if (std::none_of(writes->begin(), writes->end(), [&](const auto &w) { return w.first == name; }))
      writes->emplace_back(name, value);
  }
  if (commit(*writes) != Exit::Ok)
    return Exit::Failure;
  std::printf("%d\n", point_id);
  return Exit::Ok;
}

Exit store_edit_tour(int tour_id, const Options &options) {
  const auto tours = load_or_complain();
  if (!tours)
    return Exit::Failure;
  if (!find_tour(*tours, tour_id))
    return Exit::Failure;
  const auto writes = writes_for(kTourFields, options,
                                 [&](const char *leaf) { return tour_name(tour_id, leaf); });
  if (!writes)
    return Exit::Failure;
  return commit(*writes);
}

Exit store_edit_point(int tour_id, int point_id, const Options &options) {
  const auto tours = load_or_complain();
  if (!tours)
    return Exit::Failure;
  const Tour *tour = find_tour(*tours, tour_id);
  if (!tour || !find_point(*tour, point_id))
    return Exit::Failure;
  const auto writes = writes_for(kPointFields, options, [&](const char *leaf) {
    return point_name(tour_id, point_id, leaf);
  });
  if (!writes)
    return Exit::Failure;
  return commit(*writes);
}

Exit store_remove(int tour_id, std::optional<int> point_id) {
  std::string group = std::string(kTourRoot) + ".G" + std::to_string(tour_id);
  if (point_id)
    group += ".Tour.T" + std::to_string(*point_id);
  const int removed = param_store_admin_delete_group(group.c_str());
  if (removed < 0) {
    complain("cannot write the parameter store");
    return Exit::Failure;
  }
  if (removed == 0) {
    if (point_id)
      complain("tour %d has no point %d", tour_id, *point_id);
    else
      complain("no tour %d", tour_id);
    return Exit::Failure;
  }
  return Exit::Ok;
}

} // namespace tourctl
