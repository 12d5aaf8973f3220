/* The tour engine on the fake clock and events, the real store and a
 * scripted coordinator on a private bus: loading, stepping, holds, stop and
 * the Running writer. */
#include <algorithm>
#include <climits>
#include <deque>
#include <map>
#include <mutex>
#include <syslog.h>

#include "fake_ptz.h"
#include "patrold_names.h"
#include "preset_tour.h"
#include "private_bus.h"
#include "syslog_capture.h"
#include "temp_store.h"

namespace {

constexpr int kCamera = 2; /* the only camera the coordinator serves */
constexpr int kTour = 4;
using Call = std::pair<std::string, std::string>; /* method, arguments as text */
using Calls = std::vector<Call>;

/* The coordinator on a connection, context and thread of its own (the
 * engine's blocking calls hold the test's thread). Calls are logged as
 * (method, arguments as text); a reply is GVariant text or an error code,
 * from the method's script. */
struct FakeCoordinator {
  explicit FakeCoordinator(const char *address) {
    std::string xml = std::string("<node><interface name='") + COORDINATOR_INTERFACE + "'>";
    for (auto [name, in, out] : {std::tuple{"Queue", "sii", "iii"},
                                 {"GotoPresetNumber", "siii", ""},
                                 {"QueryPosition", "si", "iiiiiiii"},
                                 {"Move", "siiiiiiiiiiiiiiiiiiiiiiiiiiiii", ""}}) {
      xml += std::string("<method name='") + name + "'>";
      for (auto [types, dir] : {std::pair{in, "in"}, {out, "out"}})
        for (const char *t = types; *t != '\0'; ++t)
          xml += std::string("<arg type='") + *t + "' direction='" + dir + "'/>";
      xml += "</method>";
    }
    g_autoptr(GDBusNodeInfo) node =
        g_dbus_node_info_new_for_xml((xml + "</interface></node>").c_str(), nullptr);
    static const GDBusInterfaceVTable vtable = {answer, nullptr, nullptr, {}};
    GMainContext *context = g_main_context_new();
    g_main_context_push_thread_default(context);
    GDBusConnection *bus = g_dbus_connection_new_for_address_sync(
        address,
        GDBusConnectionFlags(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                             G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, nullptr);
    const std::string path = COORDINATOR_PATH_PREFIX + std::to_string(kCamera);
    g_assert(g_dbus_connection_register_object(bus, path.c_str(), node->interfaces[0], &vtable,
                                               this, nullptr, nullptr) != 0);
    g_autoptr(GVariant) owned = g_dbus_connection_call_sync(
        bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "RequestName",
        g_variant_new("(su)", COORDINATOR_BUS_NAME, 4u), nullptr, G_DBUS_CALL_FLAGS_NONE, -1,
        nullptr, nullptr);
    g_assert(owned != nullptr);
    g_main_context_pop_thread_default(context);
    g_thread_new(
        "fake-coordinator",
        [](gpointer loop) -> gpointer {
          g_main_loop_run(static_cast<GMainLoop *>(loop));
          return nullptr;
        },
        g_main_loop_new(context, FALSE));
  }

  void reset() {
    std::lock_guard hold(lock);
    log.clear();
    scripts.clear();
  }
  void script(const std::string &method, const std::string &reply, int error = 0) {
    std::lock_guard hold(lock);
    scripts[method].push_back({reply, error});
  }
  Calls calls(const std::string &method = "") {
    std::lock_guard hold(lock);
    Calls out;
    std::copy_if(log.begin(), log.end(), std::back_inserter(out),
                 [&](const Call &c) { return method.empty() || c.first == method; });
    return out;
  }
  static std::string position(int x) { return "(" + std::to_string(x) + ", 7, 7, 0, 0, 0, 0, 0)"; }

  static void answer(GDBusConnection *, const char *, const char *, const char *,
                     const char *method, GVariant *args, GDBusMethodInvocation *invocation,
                     gpointer data) {
    auto *self = static_cast<FakeCoordinator *>(data);
    g_autofree char *text = g_variant_print(args, FALSE);
    std::lock_guard hold(self->lock);
    self->log.emplace_back(method, text);
    /* Unscripted, Queue answers (1, 0, 0) and the head stands still. */
    const std::string name = method;
    std::pair<std::string, int> reply{name == "Queue"           ? "(1, 0, 0)"
                                      : name == "QueryPosition" ? position(0)
                                                                : "()",
                                      0};
    if (auto &queue = self->scripts[method]; !queue.empty()) {
      reply = queue.front();
      queue.pop_front();
    }
    if (reply.second != 0) /* an unregistered domain: the engine sees the code as sent */
      g_dbus_method_invocation_return_error(invocation,
                                            g_quark_from_static_string("fake-coordinator"),
                                            reply.second, "scripted failure %d", reply.second);
    else
      g_dbus_method_invocation_return_value(invocation, g_variant_new_parsed(reply.first.c_str()));
  }

  std::mutex lock;
  Calls log;
  std::map<std::string, std::deque<std::pair<std::string, int>>> scripts;
};

auto *const bus_env = ::testing::AddGlobalTestEnvironment(new PrivateBusEnvironment);

FakeCoordinator *coordinator() {
  static auto *const fake = new FakeCoordinator(g_getenv("DBUS_SYSTEM_BUS_ADDRESS"));
  return fake;
}

const std::vector<temp_store::Point> kThree = {{21, 1, 1, 5}, {22, 2, 50, 6}, {23, 3, 2, 7}};

std::string go(int preset, int wire_speed) {
  return "('Rezazerar', 0, " + std::to_string(preset) + ", " + std::to_string(wire_speed) + ")";
}

class EngineTest : public TempStoreTest {
protected:
  void SetUp() override {
    TempStoreTest::SetUp();
    fake_ptz::reset();
    syslog_capture::clear();
    coordinator()->reset();
  }
  void TearDown() override {
    preset_tour_flush_running_writes(); /* none may land in the next store */
    TempStoreTest::TearDown();
  }

  /* Owned by the caller, who may free it while a goto is still out. */
  static PresetTour *make_engine() {
    return static_cast<PresetTour *>(g_object_new(PRESET_TOUR_TYPE, nullptr));
  }
  /* A fresh engine playing `spec` as tour kTour; records start after. */
  static PresetTour *play(const temp_store::Tour &spec) {
    temp_store::put_tour(kTour, spec);
    PresetTour *engine = make_engine();
    EXPECT_EQ(preset_tour_play_tour(engine, kCamera, kTour), 0);
    preset_tour_flush_running_writes();
    coordinator()->reset();
    syslog_capture::clear();
    return engine;
  }
  /* Plays `spec` up to the dwell at its first point, arrived by event. */
  static PresetTour *play_to_first_dwell(const temp_store::Tour &spec) {
    PresetTour *engine = play(spec);
    step(engine);
    wait_for_gotos(1);
    coordinator()->reset();
    EXPECT_TRUE(fake_ptz::fire_preset(kCamera, 1));
    step(engine);
    EXPECT_EQ(state_of(engine), PRESET_TOUR_STATE_WAITING);
    return engine;
  }
  static int32_t state_of(PresetTour *engine) { return preset_tour_snapshot(engine).state; }
  static void step(PresetTour *engine, int ticks = 1) {
    for (int i = 0; i < ticks; ++i)
      preset_tour_iterate_tour(engine);
  }
  /* Gotos are asynchronous: wait, bounded, for the n-th to arrive. */
  static void wait_for_gotos(size_t n) {
    ASSERT_TRUE(run_main_loop_until(
        [&] { return coordinator()->calls("GotoPresetNumber").size() >= n; }, 5000));
  }
};

TEST_F(EngineTest, LoadOrdersPointsOrLeavesNoTourOnAFailedRead) {
  struct {
    const char *random, *broken; /* broken: a leaf stored as "x" */
    std::vector<int> positions;  /* of presets 10, 11, ... in store order */
    std::vector<int> order;      /* preset numbers as loaded */
    const char *error;
  } const cases[] = {
      {"no", nullptr, {3, 1, 2}, {11, 12, 10}, nullptr},
      {"no", nullptr, {5, 5, -1}, {12, 11, 10}, nullptr},
      {"yes", nullptr, {3, 1, 2}, {12, 11, 10}, nullptr},
      {"Yes", nullptr, {3, 1, 2}, {11, 12, 10}, nullptr},
      {"no", "TimeBetweenSequences", {1}, {}, "Error fetching GUARD_TIME_BETWEEN_SEQUENCES"},
      {nullptr, nullptr, {1}, {}, "Error fetching GUARD_RANDOM_ENABLED"},
      {"no", nullptr, {}, {}, "Error fetching tour relay points"},
      {"no", "Tour.T1.Position", {1, 2, 3}, {}, "Error fetching tour relay point"},
  };
  int tour_id = 0;
  for (const auto &c : cases) {
    SCOPED_TRACE(++tour_id);
    temp_store::Tour spec{.random = c.random, .points = {}};
    for (int p : c.positions)
      spec.points.push_back({10 + int(spec.points.size()), p});
    temp_store::put_tour(tour_id, spec);
    if (c.broken != nullptr)
      temp_store::put(temp_store::tour(tour_id, c.broken), "x");
    syslog_capture::clear();
    g_autoptr(PresetTour) engine = make_engine();
    EXPECT_EQ(preset_tour_prepare_tour(engine, kCamera, tour_id), c.error ? -1 : 0);
    std::vector<int> order;
    for (int i = 0; const PresetPoint *point = preset_tour_peek_point(engine, i); ++i)
      order.push_back(point->preset_nbr);
    EXPECT_EQ(order, c.order);
    EXPECT_EQ(preset_tour_snapshot(engine).tour_id, c.error ? -1 : tour_id);
    EXPECT_EQ(syslog_capture::count(LOG_ERR, c.error ? c.error : ""), c.error ? 1 : 0);
  }
}

/* Arrival by preset event; the dwell is the point's wait time, plus the
 * round pause after the last point of an ordered round only. */
TEST_F(EngineTest, RoundsVisitDwellAndPauseByTheirOrder) {
  struct {
    const char *random;
    std::deque<int> draws; /* random indexes offered, into 23, 22, 21 */
    std::vector<int> dwells;
    std::vector<std::string> gotos;
  } const cases[] = {
      {"no",
       {},
       {5, 6, 7 + 2 * 60, 5},
       {go(21, 65536), go(22, 3276800), go(23, 131072), go(21, 65536)}},
      {"yes",
       {0, 2, 2, 2, 0, 0, 1},
       {5, 7, 6}, /* never the current point */
       {go(21, 65536), go(23, 131072), go(22, 3276800)}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.random);
    g_autoptr(PresetTour) engine = play({.random = c.random, .between = 2, .points = kThree});
    fake_ptz::script_random(c.draws);
    for (int dwell : c.dwells) {
      step(engine);                                   /* the goto */
      ASSERT_TRUE(fake_ptz::fire_preset(kCamera, 2)); /* not an arrival */
      step(engine);
      EXPECT_EQ(state_of(engine), PRESET_TOUR_STATE_MOVING);
      ASSERT_TRUE(fake_ptz::fire_preset(kCamera, 1));
      step(engine);
      fake_ptz::advance(dwell, -1);
      step(engine);
      EXPECT_EQ(state_of(engine), PRESET_TOUR_STATE_WAITING);
      fake_ptz::advance(0, 1);
    }
    wait_for_gotos(c.gotos.size());
    Calls expected;
    for (const std::string &args : c.gotos)
      expected.emplace_back("GotoPresetNumber", args);
    EXPECT_EQ(coordinator()->calls("GotoPresetNumber"), expected);
    ASSERT_EQ(preset_tour_stop_tour(engine), 0);
  }
}

/* A dwell too long for the clock keeps the head at its point as long as the
 * clock can count, a hold included; a negative one ends at the next tick. */
TEST_F(EngineTest, DwellPastTheClockEndsAtTheClockEnd) {
  struct {
    int wait;
    const char *view;
    int between;
    bool stays;
  } const cases[] = {{INT_MAX, "Seconds", 0, true},
                     {40000000, "Minutes", 0, true},
                     {0, "Seconds", 40000000, true},
                     {5, "Seconds", -40000000, false},
                     {-5, "Seconds", 0, false}};
  for (const auto &c : cases) {
    SCOPED_TRACE(testing::Message() << c.wait << " " << c.view << " " << c.between);
    fake_ptz::reset();
    g_autoptr(PresetTour) engine =
        play_to_first_dwell({.between = c.between, .points = {{21, 1, 1, c.wait, c.view}}});
    fake_ptz::advance(1000000);
    ASSERT_EQ(preset_tour_pause_tour(engine), 0);
    fake_ptz::advance(1000000);
    ASSERT_EQ(preset_tour_play_tour(engine, kCamera, kTour), 0);
    step(engine);
    EXPECT_EQ(state_of(engine), c.stays ? PRESET_TOUR_STATE_WAITING : PRESET_TOUR_STATE_MOVING);
    fake_ptz::set_clock({INT_MAX, 999999});
    step(engine);
    EXPECT_EQ(state_of(engine), PRESET_TOUR_STATE_MOVING);
    ASSERT_EQ(preset_tour_stop_tour(engine), 0);
  }
}

/* Without a preset event: ready after 50 still ticks, or 600 ticks of a
 * moving head; the first readiness only re-issues the goto, later ones
 * accept an unchanged position and re-issue on a changed one. A failed
 * read is logged unless its code is 125. */
TEST_F(EngineTest, ArrivalByPositionNeedsReadinessAndAnUnchangedPosition) {
  struct {
    int head_moving, first, then; /* ticks to the first and next readiness */
    int error;                    /* of the first QueryPosition */
    std::vector<int> positions;   /* the replies after it */
    int reissues;
    int restart = 0; /* still ticks before the head moves again and stops */
  } const cases[] = {{0, 50, 1, 0, {}, 1},
                     {1, 600, 600, 125, {}, 1},
                     {0, 50, 1, 124, {2, 3, 3, 3}, 2},
                     {0, 50, 1, 0, {}, 1, 30}};
  for (const auto &c : cases) {
    SCOPED_TRACE(testing::Message() << c.first << " " << c.reissues << " " << c.restart);
    g_autoptr(PresetTour) engine = play({.points = kThree});
    coordinator()->script("QueryPosition", FakeCoordinator::position(1), c.error);
    for (int p : c.positions)
      coordinator()->script("QueryPosition", FakeCoordinator::position(p));
    step(engine);
    ASSERT_TRUE(fake_ptz::fire_moving(kCamera, c.head_moving));
    step(engine, c.restart);
    if (c.restart > 0) {
      ASSERT_TRUE(fake_ptz::fire_moving(kCamera, 1) && fake_ptz::fire_moving(kCamera, 0));
    }
    step(engine, c.first - 1);
    for (int attempt = 1; attempt <= c.reissues; ++attempt)
      step(engine, attempt == 1 ? 1 : c.then);
    step(engine, c.then - 1);
    EXPECT_EQ(state_of(engine), PRESET_TOUR_STATE_MOVING);
    step(engine);
    EXPECT_EQ(state_of(engine), PRESET_TOUR_STATE_WAITING);
    wait_for_gotos(size_t(1 + c.reissues));
    EXPECT_EQ(coordinator()->calls("GotoPresetNumber").size(), size_t(1 + c.reissues));
    EXPECT_EQ(syslog_capture::lines().size(), c.error == 124 ? 1u : 0u);
    EXPECT_EQ(syslog_capture::count(LOG_WARNING, "DBus call QueryPosition failed, error: "
                                                 "GDBus.Error:org.gtk.GDBus.UnmappedGError."
                                                 "Quark._fake_2dcoordinator.Code124: "
                                                 "scripted failure 124"),
              c.error == 124 ? 1 : 0);
    ASSERT_EQ(preset_tour_stop_tour(engine), 0);
  }
}

/* A paused or held tour does not step, yet keeps its place in the queue. */
TEST_F(EngineTest, KeepaliveEveryTenSecondsAlsoWhilePausedOrFrozen) {
  const Call keepalive{"Queue", "('Rezazerar', 0, 0)"};
  using Hold = int (*)(PresetTour *);
  for (auto [hold, held] : {std::pair<Hold, bool>{[](PresetTour *) { return 0; }, false},
                            {preset_tour_pause_tour, true},
                            {preset_tour_freeze_tour, true}}) {
    g_autoptr(PresetTour) engine = play({.points = kThree});
    ASSERT_EQ(hold(engine), 0);
    coordinator()->reset();
    fake_ptz::advance(10); /* the entry answered 1: due 10 s after it */
    step(engine);
    EXPECT_EQ(coordinator()->calls("Queue"), Calls{});
    fake_ptz::advance(0, 1);
    step(engine, 2); /* the second finds the next one 10 s ahead */
    fake_ptz::advance(10, 1);
    step(engine);
    EXPECT_EQ(coordinator()->calls("Queue"), (Calls{keepalive, keepalive}));
    EXPECT_EQ(state_of(engine), held ? PRESET_TOUR_STATE_PREPARED : PRESET_TOUR_STATE_MOVING);
    preset_tour_unfreeze_tour(engine);
    ASSERT_EQ(preset_tour_stop_tour(engine), 0);
  }
}

/* Pause (P), resume by play (R), freeze (F), unfreeze (U) during a dwell,
 * each one second later than the one before: at 1, 2, 3, 4 s. */
TEST_F(EngineTest, DwellLosesNoTimeToAHold) {
  struct {
    const char *ops;
    int shift, leaves; /* seconds the dwell's end moves; Queue 2 calls */
  } const cases[] = {{"PR", 2, 1},   {"FU", 2, 0},   {"PFRU", 9, 1},
                     {"FPUR", 9, 0}, {"PFUR", 9, 1}, {"FPRU", 9, 0}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.ops);
    g_autoptr(PresetTour) engine = play_to_first_dwell({.points = kThree});
    const TimeValue end = {fake_ptz::now().sec + 5 + c.shift, fake_ptz::now().usec};
    coordinator()->reset();
    int delay = 1;
    for (const char *op = c.ops; *op != '\0'; ++op, ++delay) {
      fake_ptz::advance(delay);
      ASSERT_EQ(*op == 'P'   ? preset_tour_pause_tour(engine)
                : *op == 'R' ? preset_tour_play_tour(engine, kCamera, kTour)
                : *op == 'F' ? preset_tour_freeze_tour(engine)
                             : preset_tour_unfreeze_tour(engine),
                0);
    }
    EXPECT_EQ(coordinator()->calls(), Calls(size_t(c.leaves), {"Queue", "('Rezazerar', 0, 2)"}));
    fake_ptz::set_clock({end.sec - 1, end.usec});
    step(engine);
    EXPECT_EQ(state_of(engine), PRESET_TOUR_STATE_WAITING);
    fake_ptz::set_clock(end);
    step(engine);
    EXPECT_EQ(state_of(engine), PRESET_TOUR_STATE_MOVING);
    ASSERT_EQ(preset_tour_stop_tour(engine), 0);
  }
}

/* Play enters the queue, writes Running and switches events on; stop moves
 * the head to a standstill, leaves, writes Running and switches them off. */
TEST_F(EngineTest, PlayAndStopTalkToCoordinatorStoreAndEvents) {
  g_autoptr(PresetTour) engine = make_engine();
  ASSERT_EQ(preset_tour_stop_tour(engine), 0); /* never played: nothing written */
  preset_tour_flush_running_writes();
  EXPECT_EQ(param_store_testing_calls("cli_setCustomParam"), 0);

  temp_store::put_tour(kTour, {.points = kThree});
  ASSERT_EQ(preset_tour_play_tour(engine, kCamera, kTour), 0);
  EXPECT_EQ(coordinator()->calls(), (Calls{{"Queue", "('Rezazerar', 0, 3)"}}));
  EXPECT_EQ(running_of(kTour), "yes");
  step(engine);
  wait_for_gotos(1);
  coordinator()->reset();
  ASSERT_EQ(preset_tour_stop_tour(engine), 0);
  EXPECT_EQ(coordinator()->calls(),
            (Calls{{"Move", "('Rezazerar', 0, 0, 0, 0, 3, 0, 0, 0, 3, 0, 0, 0, 3, "
                            "0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0)"},
                   {"Queue", "('Rezazerar', 0, 2)"}}));
  EXPECT_FALSE(fake_ptz::fire_preset(kCamera, 1));
  EXPECT_FALSE(fake_ptz::fire_moving(kCamera, 1));
  EXPECT_EQ(running_of(kTour), "no");
  step(engine);
  EXPECT_EQ(coordinator()->calls().size(), 2u); /* a stopped engine is still */
}

TEST_F(EngineTest, RunningWriterLastRequestWinsPerTour) {
  temp_store::put(temp_store::tour(1, "Running"), "no");
  temp_store::put(temp_store::tour(2, "Running"), "no");
  for (int end : {0, 1}) {
    /* Requests pile up behind writes that wait for the store. */
    for (int i = 0; i < 200; ++i) {
      ASSERT_EQ(preset_tour_update_running_state(1, (i + end + 1) % 2), 0);
      ASSERT_EQ(preset_tour_update_running_state(2, (i + end) % 2), 0);
    }
    EXPECT_EQ(running_of(1), end ? "yes" : "no");
    EXPECT_EQ(running_of(2), end ? "no" : "yes");
  }
}

/* A write the store refuses is tried again until it lands. */
TEST_F(EngineTest, ARefusedRunningWriteIsRetriedUntilItLands) {
  const std::string running = temp_store::tour(1, "Running");
  temp_store::put(running, "no");
  param_store_testing_fail("cli_setCustomParam", 2);
  ASSERT_EQ(preset_tour_update_running_state(1, 1), 0);
  for (int waits = 0; waits < 3000 && temp_store::stored(running) != "yes"; ++waits)
    g_usleep(10000);
  EXPECT_EQ(temp_store::stored(running), "yes");
}

} // namespace
