/*
 * tour_confhub, groups: listing numbered child groups (guard tours, tour
 * points) and deleting a guard tour. The listing counts in one pass and
 * fills in a second; the store may change in between, so the second pass
 * trusts only what it sees and never writes past the counted entries.
 */
#include "tour_confhub.h"

#include <string_view>
#include <utility>

#include <glib.h>

#include "param_store.h"
#include "tour_confhub_internal.h"

namespace {

constexpr int GROUP_NAME_SIZE = 256;

/* Owns an enumeration context. The library wants back whatever the open
 * returned, also from a failed open and also NULL, so the release is not
 * skipped for NULL as a unique_ptr would. */
class GroupContext {
public:
  GroupContext(const char *group, cli_Options *options, int32_t *error)
      : context_(cli_getChildGroupsInGroup(group, options, error)) {}
  ~GroupContext() { cli_cleanupGroupContext(context_); }
  GroupContext(const GroupContext &) = delete;
  GroupContext &operator=(const GroupContext &) = delete;

  bool is_open() const { return context_ != nullptr; }
  /* Moves to the next child; true when one is current and nothing failed. */
  bool step(cli_Options *options, int32_t *error) {
    cli_getChildGroupInGroup(context_, options, error);
    return *error == 0 && !context_->end;
  }
  const char *name() const { return context_->name; }

private:
  cli_GroupContext *context_;
};

/* First pass. Any error ends the count; it stays in the error word, which
 * makes the second pass fail. */
int count_children(const char *group, cli_Options *options, int32_t *error) {
  GroupContext context(group, options, error);
  if (*error != 0 || !context.is_open())
    return 0;
  int count = 0;
  while (context.step(options, error))
    ++count;
  return count;
}

/* Second pass: exactly `count` children, each named `prefix` and a number. */
int fill_ids(const char *group, std::string_view prefix, int count,
             int32_t *ids, cli_Options *options, int32_t *error) {
  GroupContext context(group, options, error);
  if (*error != 0 || !context.is_open())
    return -1;
  for (int i = 0; i < count; ++i) {
    if (!context.step(options, error))
      return -1;
    const char *name = context.name();
    if (tour_confhub_scan_number(name, prefix, &ids[i]) != 0)
      return -1;
  }
  return 0;
}

} // namespace

int tour_confhub_get_tours(const char *group, const char *filter,
                           int32_t **id_list) {
  g_assert(id_list != NULL);
  g_assert(filter != NULL);
  g_assert(group != NULL);

  int32_t error = 0;
  cli_Options options;
  cli_resetOptions(&options);
  cli_sync(&options, &error);

  const int count = count_children(group, &options, &error);
  g_autofree int32_t *ids = g_new(int32_t, count);
  if (count == 0) {
    *id_list = static_cast<int32_t *>(g_steal_pointer(&ids));
    return 0;
  }
  /* The filter's one conversion ends it; what comes before is literal. */
  std::string_view prefix(filter);
  if (prefix.ends_with("%d"))
    prefix.remove_suffix(2);
  if (fill_ids(group, prefix, count, ids, &options, &error) != 0) {
    *id_list = nullptr;
    return -1;
  }
  *id_list = static_cast<int32_t *>(g_steal_pointer(&ids));
  return count;
}

int tour_confhub_get_guard_tour_ids(int32_t **id_list) {
  return tour_confhub_get_tours("root.RezazErar", "G%d", id_list);
}

int tour_confhub_get_preset_ids(int tour_id, int32_t **id_list) {
  char group[GROUP_NAME_SIZE];
  if (tour_confhub_format_name(group, sizeof group, "root.RezazErar.G%d.Tour",
                               tour_id) != 0) {
    *id_list = nullptr;
    return -1;
  }
  return tour_confhub_get_tours(group, "T%d", id_list);
}

int tour_confhub_delete_group(int id) {
  g_assert(id >= 0);

  char group[GROUP_NAME_SIZE];
  if (tour_confhub_format_name(group, sizeof group, "root.RezazErar.G%d", id) !=
      0)
    return -1;

  int32_t error = 0;
  cli_Options options;
  cli_resetOptions(&options);
  cli_sync(&options, &error);
  cli_deleteGroup(group, &options, &error);
  return error != 0 ? -1 : 0;
}
