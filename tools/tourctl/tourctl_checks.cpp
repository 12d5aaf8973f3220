/*
 * Checks before a request reaches patrold. The daemon answers every request
 * at once and carries it out later, logging to syslog what it will not do;
 * tourctl tells the operator instead, from the store and the live status,
 * and sends nothing then.
 */
#include "tourctl.h"

#include <cstring>

namespace tourctl {

namespace {

constexpr unsigned kStopWaitSeconds = 15;

/* nullopt when the request may go; else the exit status after saying why
 * it would do nothing. `verb` is the request's word: "play", "pause", ... */
std::optional<Exit> refusal(std::string_view verb, int32_t id, const Tour *tour,
                            const Status &status) {
  const CameraStatus *holder = status.holding(id);
  const auto camera = camera_of(tour);
  if (!tour && !holder) {
    complain("no tour %d: nothing to %.*s", id, static_cast<int>(verb.size()),
             verb.data());
    return Exit::Failure;
  }
  if (verb == "play") {
    if (holder && holder->state == "paused") {
      complain("tour %d is paused on camera %d: resume it instead", id,
               holder->camera);
      return Exit::Failure;
    }
    if (holder) {
      complain("tour %d is already playing on camera %d", id, holder->camera);
      return Exit::Ok;
    }
    if (const auto why = unplayable_reason(*tour)) {
      complain("tour %d cannot play: %s", id, why->c_str());
      return Exit::Failure;
    }
    if (const TourPlanPoint *wrapped = wrapped_speed(*tour)) {
      complain("tour %d cannot play as stored: the MoveSpeed %d of point T%d "
               "reaches the "
               "coordinator as %d",
               id, wrapped->point.move_speed, wrapped->point_id,
               tour_confhub_wire_speed(wrapped->point.move_speed) / 65536);
      return Exit::Failure;
    }
    if (status.ok && status.cameras[*camera - 1].blocked) {
      complain(
          "camera %d is blocked: tour %d will not play (tourctl unblock %d)",
          *camera, id, *camera);
      return Exit::Failure;
    }
    if (status.ok && status.cameras[*camera - 1].tour_id >= 0)
      complain(
          "tour %d is loaded on camera %d: patrold stops it to play tour %d",
          status.cameras[*camera - 1].tour_id, *camera, id);
    return std::nullopt;
  }
  /* pause, resume and stop act on the engine of the tour's current camera;
   * stop alone falls back to any camera when CamNbr is unreadable. */
  if (!camera && verb != "stop") {
    complain("tour %d has no usable camera number: patrold cannot %.*s it", id,
             static_cast<int>(verb.size()), verb.data());
    return Exit::Failure;
  }
  if (!status.ok)
    return std::nullopt;
  if (!holder) {
    complain("tour %d is not playing: nothing to %.*s", id,
             static_cast<int>(verb.size()), verb.data());
    return Exit::Failure;
  }
  if (camera && holder->camera != *camera) {
    complain("tour %d is playing on camera %d but is set to camera %d, so "
             "patrold cannot "
             "%.*s it: set it back with tourctl edit %d --camera %d",
             id, holder->camera, *camera, static_cast<int>(verb.size()),
             verb.data(), id, holder->camera);
    return Exit::Failure;
  }
  if (holder->state == "held" && verb != "stop") {
    complain("tour %d is held: another control client has camera %d's head, "
             "and patrold goes "
             "on only when the coordinator hands it back. To take the head "
             "back now: "
             "tourctl stop %d, then tourctl play %d",
             id, holder->camera, id, id);
    return Exit::Failure;
  }
  if (verb == "pause" && holder->state == "paused") {
    complain("tour %d is already paused", id);
    return Exit::Ok;
  }
  if (verb == "resume" && holder->state != "paused") {
    complain("tour %d is not paused: nothing to resume", id);
    return Exit::Failure;
  }
  return std::nullopt;
}

/* Without the live status, the tour's Running going to "no" tells that the
 * stop has been carried out; the store has no signal, so it is read again
 * every tenth of a second. */
bool wait_running_no(int32_t tour_id, unsigned timeout_s) {
  const gint64 deadline =
      g_get_monotonic_time() + gint64{timeout_s} * G_USEC_PER_SEC;
  for (;;) {
    const auto tours = store_load();
    if (!tours)
      return false;
    const Tour *tour = tours->find(tour_id);
    if (!tour || stored_word(tour->values, "Running").value_or("") != "yes")
      return true;
    if (g_get_monotonic_time() >= deadline)
      return false;
    g_usleep(G_USEC_PER_SEC / 10);
  }
}

} // namespace

Exit request_tour(Request request, int32_t tour_id, bool as_running) {
  static constexpr std::array<const char *, 4> kVerbs = {"play", "stop",
                                                         "pause", "resume"};
  static constexpr std::array<const char *, 4> kMethods = {
      "PlayPresetTour", "StopPresetTour", "PausePresetTour",
      "ResumePresetTour"};
  const auto index = static_cast<size_t>(request);
  g_autoptr(GDBusConnection) bus = daemon_bus();
  if (!bus)
    return Exit::Failure;
  const auto tours = store_load();
  if (!tours)
    return Exit::Failure;
  const Status status = status_read(bus);
  if (const auto refused =
          refusal(kVerbs[index], tour_id, tours->find(tour_id), status))
    return *refused;
  if (!status.ok)
    complain(
        "cannot read patrold's live status (%s): sending the request unchecked",
        status.why.c_str());
  if (!as_running)
    return bus_call(bus, PATROLD_TOUR_INTERFACE, kMethods[index],
                    g_variant_new("(i)", tour_id));
  const std::string group = "G" + std::to_string(tour_id);
  return bus_call(bus, PATROLD_CONFHUB_INTERFACE, "SetPresetTourRunning",
                  g_variant_new("(ss)", request == Request::Play ? "yes" : "no",
                                group.c_str()));
}

Exit settle_loaded_tour(const Tour &tour, std::optional<int> new_camera,
                        bool stop_first) {
  g_autoptr(GDBusConnection) bus = bus_open();
  if (!bus || !daemon_on_bus(bus))
    return Exit::Ok; /* no daemon: nothing is loaded */
  const Status status = status_read(bus);
  std::optional<int32_t> loaded_on;
  if (status.ok) {
    if (const CameraStatus *holder = status.holding(tour.id))
      loaded_on = holder->camera;
  } else if (stored_word(tour.values, "Running").value_or("") == "yes") {
    complain(
        "cannot read patrold's live status (%s): going by tour %d's Running",
        status.why.c_str(), tour.id);
    loaded_on = camera_of(&tour).value_or(0);
  }
  if (!loaded_on || (new_camera && *new_camera == *loaded_on))
    return Exit::Ok;
  const std::string where = *loaded_on > 0
                                ? "on camera " + std::to_string(*loaded_on)
                                : "on its camera";
  if (!stop_first) {
    complain("tour %d is playing %s: stop it first, or add --stop", tour.id,
             where.c_str());
    return Exit::Failure;
  }
  if (const auto refused = refusal("stop", tour.id, &tour, status))
    return *refused;
  if (bus_call(bus, PATROLD_TOUR_INTERFACE, "StopPresetTour",
               g_variant_new("(i)", tour.id)) != Exit::Ok)
    return Exit::Failure;
  if (status.ok ? wait_until_unloaded(bus, tour.id, kStopWaitSeconds)
                : wait_running_no(tour.id, kStopWaitSeconds))
    return Exit::Ok;
  complain("tour %d is still playing %s %u s after the stop; nothing changed",
           tour.id, where.c_str(), kStopWaitSeconds);
  return Exit::Failure;
}

Exit request_block(bool block, int32_t camera) {
  g_autoptr(GDBusConnection) bus = daemon_bus();
  if (!bus)
    return Exit::Failure;
  const Status status = status_read(bus);
  if (status.ok && status.cameras[camera - 1].blocked == block) {
    complain("camera %d is %s blocked: nothing changed", camera,
             block ? "already" : "not");
    return Exit::Ok;
  }
  return bus_call(bus, PATROLD_CONTROLLER_INTERFACE,
                  block ? "BlockPlayback" : "UnblockPlayback",
                  g_variant_new("(i)", camera));
}

void note_loaded_edit(const Tour &tour, const char *what) {
  /* Quietly: without a bus or a daemon, nothing is loaded. */
  g_autoptr(GDBusConnection) bus =
      g_bus_get_sync(G_BUS_TYPE_SYSTEM, nullptr, nullptr);
  if (!bus || !daemon_on_bus(bus))
    return;
  const Status status = status_read(bus);
  if (const CameraStatus *holder = status.holding(tour.id))
    complain(
        "tour %d is loaded on camera %d: the %s reaches it at its next play",
        tour.id, holder->camera, what);
}

} // namespace tourctl
