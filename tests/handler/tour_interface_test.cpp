#include <syslog.h>

#include "handler_fixture.h"

using namespace handler_test;

namespace {

constexpr const char *SERVICE = "com.vorn.PresetTour";
constexpr const char *PATH = "/com/vorn/PresetTour";
constexpr const char *CSYMBOL = "org.freedesktop.DBus.GLib.CSymbol";
constexpr const char *UNMAPPED_OUT_OF_RANGE =
    "org.gtk.GDBus.UnmappedGError.Quark._tour_5fhandler_5ferror_5fquark.Code50";

/* A client on its own connection, talking to the handler in this process
 * over the private bus; every wait pumps the shared main context. */
class BusTest : public HandlerTest {
protected:
  void SetUp() override {
    HandlerTest::SetUp();
    seed_tour(1, "4");
    seed_tour(2, "5");
    start_handler();
    g_autoptr(GError) error = nullptr;
    client_ = g_dbus_connection_new_for_address_sync(
        g_getenv("DBUS_SYSTEM_BUS_ADDRESS"),
        GDBusConnectionFlags(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                             G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, &error);
    ASSERT_NE(client_, nullptr) << error->message;
    bool owned = false;
    guint watch = g_bus_watch_name_on_connection(
        client_, SERVICE, G_BUS_NAME_WATCHER_FLAGS_NONE,
        [](GDBusConnection *, const gchar *, const gchar *, gpointer owned) {
          *static_cast<bool *>(owned) = true;
        },
        nullptr, &owned, nullptr);
    bool appeared = run_main_loop_until([&] { return owned; }, 5000);
    g_bus_unwatch_name(watch);
    ASSERT_TRUE(appeared) << "the handler never owned " << SERVICE;
  }

  void TearDown() override {
    if (client_ != nullptr)
      g_dbus_connection_close_sync(client_, nullptr, nullptr);
    g_clear_object(&client_);
    HandlerTest::TearDown();
  }

  /* The raw reply, so that error names are seen as they go over the wire. */
  GDBusMessage *call(const char *iface, const char *method, GVariant *body) {
    g_autoptr(GDBusMessage) message =
        g_dbus_message_new_method_call(SERVICE, PATH, iface, method);
    if (body != nullptr)
      g_dbus_message_set_body(message, body);
    GDBusMessage *reply = nullptr;
    g_dbus_connection_send_message_with_reply(
        client_, message, G_DBUS_SEND_MESSAGE_FLAGS_NONE, 5000, nullptr,
        nullptr,
        [](GObject *source, GAsyncResult *result, gpointer out) {
          *static_cast<GDBusMessage **>(out) =
              g_dbus_connection_send_message_with_reply_finish(
                  G_DBUS_CONNECTION(source), result, nullptr);
        },
        &reply);
    run_main_loop_until([&] { return reply != nullptr; }, 6000);
    return reply;
  }

  void emit_driver_uninstalled(const char *path, GVariant *body) {
    ASSERT_TRUE(g_dbus_connection_emit_signal(
        client_, nullptr, path, "com.vorn.PTZ.Coordinator", "DriverUninstalled",
        body, nullptr));
    ASSERT_TRUE(g_dbus_connection_flush_sync(client_, nullptr, nullptr));
  }

  GDBusConnection *client_ = nullptr;
};

/* The published interfaces, one line per interface and method, with each
 * element's CSymbol annotation in brackets and the in-arguments after. */
std::vector<std::string> outline(GDBusNodeInfo *node) {
  auto csymbol = [](GDBusAnnotationInfo **annotations) {
    const char *found = g_dbus_annotation_info_lookup(annotations, CSYMBOL);
    return found ? std::string(" [") + found + "]" : std::string();
  };
  std::vector<std::string> lines;
  for (GDBusInterfaceInfo **i = node->interfaces; i && *i; ++i) {
    if (g_str_has_prefix((*i)->name, "org.freedesktop.DBus"))
      continue;
    lines.push_back(std::string((*i)->name) + csymbol((*i)->annotations));
    for (GDBusMethodInfo **m = (*i)->methods; m && *m; ++m) {
      std::string line = std::string("  ") + (*m)->name +
                         csymbol((*m)->annotations) + " (";
      for (GDBusArgInfo **a = (*m)->in_args; a && *a; ++a)
        line += std::string(a == (*m)->in_args ? "" : ", ") + (*a)->name +
                " " + (*a)->signature;
      const bool returns = (*m)->out_args && (*m)->out_args[0];
      lines.push_back(line + (returns ? ") -> values" : ")"));
    }
  }
  return lines;
}

TEST_F(BusTest, IntrospectionAsPublished) {
  g_autoptr(GDBusMessage) reply =
      call("org.freedesktop.DBus.Introspectable", "Introspect", nullptr);
  ASSERT_NE(reply, nullptr);
  ASSERT_EQ(g_dbus_message_get_message_type(reply),
            G_DBUS_MESSAGE_TYPE_METHOD_RETURN);
  const char *xml = nullptr;
  g_variant_get(g_dbus_message_get_body(reply), "(&s)", &xml);
  g_autoptr(GError) error = nullptr;
  g_autoptr(GDBusNodeInfo) node = g_dbus_node_info_new_for_xml(xml, &error);
  ASSERT_NE(node, nullptr) << error->message;
  EXPECT_EQ(outline(node),
            (std::vector<std::string>{
                "com.vorn.PresetTour [preset_tour_handler]",
                "  PlayPresetTour [tour_handler_play_preset_tour] (tour_id i)",
                "  StopPresetTour [tour_handler_stop_preset_tour] (tour_id i)",
                "  PausePresetTour [tour_handler_pause_preset_tour] (tour_id i)",
                "  ResumePresetTour [tour_handler_resume_preset_tour] (tour_id i)",
                "com.vorn.PresetTourConfhub",
                "  SetPresetTourRunning [tour_handler_set_preset_tour_running] "
                "(running s, confhub_id s)",
                "com.vorn.PresetTourController [tour_handler]",
                "  BlockPlayback [tour_handler_block_playback] (camera_id i)",
                "  UnblockPlayback [tour_handler_unblock_playback] (camera_id i)",
            }));
}

struct ReplyCase {
  const char *name;
  const char *iface;
  const char *method;
  const char *body; /* GVariant text, nullptr: no body */
  const char *error_name; /* nullptr: an empty reply */
  const char *error_message; /* nullptr: not checked */
};

class BusReplyTest : public BusTest,
                     public ::testing::WithParamInterface<ReplyCase> {};

TEST_P(BusReplyTest, AnsweredAtOnce) {
  const ReplyCase &c = GetParam();
  GVariant *body = c.body ? g_variant_new_parsed(c.body) : nullptr;
  g_autoptr(GDBusMessage) reply = call(c.iface, c.method, body);
  ASSERT_NE(reply, nullptr);
  if (c.error_name == nullptr) {
    EXPECT_EQ(g_dbus_message_get_message_type(reply),
              G_DBUS_MESSAGE_TYPE_METHOD_RETURN);
    GVariant *reply_body = g_dbus_message_get_body(reply);
    EXPECT_TRUE(reply_body == nullptr || g_variant_n_children(reply_body) == 0);
    return;
  }
  ASSERT_EQ(g_dbus_message_get_message_type(reply), G_DBUS_MESSAGE_TYPE_ERROR);
  EXPECT_STREQ(g_dbus_message_get_error_name(reply), c.error_name);
  if (c.error_message != nullptr) {
    const char *message = nullptr;
    g_variant_get(g_dbus_message_get_body(reply), "(&s)", &message);
    EXPECT_STREQ(message, c.error_message);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Methods, BusReplyTest,
    ::testing::Values(
        ReplyCase{"PlayNegative", "com.vorn.PresetTour", "PlayPresetTour", "(-7,)",
                  nullptr, nullptr},
        ReplyCase{"SetRunning", "com.vorn.PresetTourConfhub", "SetPresetTourRunning",
                  "('maybe', 'G1')", nullptr, nullptr},
        ReplyCase{"BlockOne", "com.vorn.PresetTourController", "BlockPlayback", "(1,)",
                  nullptr, nullptr},
        ReplyCase{"UnblockEight", "com.vorn.PresetTourController", "UnblockPlayback",
                  "(8,)", nullptr, nullptr},
        ReplyCase{"BlockZero", "com.vorn.PresetTourController", "BlockPlayback", "(0,)",
                  UNMAPPED_OUT_OF_RANGE, "Image source id out of range"},
        ReplyCase{"UnblockNine", "com.vorn.PresetTourController", "UnblockPlayback",
                  "(9,)", UNMAPPED_OUT_OF_RANGE, "Image source id out of range"},
        ReplyCase{"UnknownMethod", "com.vorn.PresetTour", "RewindPresetTour", "(3,)",
                  "org.freedesktop.DBus.Error.UnknownMethod", nullptr},
        ReplyCase{"WrongArguments", "com.vorn.PresetTour", "PlayPresetTour", "('3',)",
                  "org.freedesktop.DBus.Error.InvalidArgs", nullptr}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(BusTest, CallsReachTheHandler) {
  g_autoptr(GDBusMessage) reply =
      call("com.vorn.PresetTour", "PlayPresetTour", g_variant_new("(i)", 1));
  ASSERT_NE(reply, nullptr);
  ASSERT_TRUE(run_main_loop_until([&] { return held(4) == 1; }, 5000));
  g_autoptr(GDBusMessage) block = call("com.vorn.PresetTourController",
                                       "BlockPlayback", g_variant_new("(i)", 4));
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(held(4), -1); /* stopped before the reply */
  EXPECT_EQ(handler_->playback_blocked[3], 1);
}

TEST_F(BusTest, DriverUninstalledIsHeardOnlyOnTheFirstCoordinator) {
  /* On another object path the signal is not for us. */
  emit_driver_uninstalled("/com/vorn/PTZ/Coordinator/2", g_variant_new("(i)", 5));
  /* A malformed body arrives as camera 0, which is refused. */
  emit_driver_uninstalled("/com/vorn/PTZ/Coordinator/1", g_variant_new("(s)", "4"));
  emit_driver_uninstalled("/com/vorn/PTZ/Coordinator/1", g_variant_new("(i)", 4));
  ASSERT_TRUE(run_main_loop_until([] { return !group_exists(1); }, 5000));
  EXPECT_TRUE(group_exists(2));
  EXPECT_EQ(syslog_capture::count(LOG_WARNING,
                                  "Ignoring driver uninstall of camera id 0"),
            1);
}

} // namespace
