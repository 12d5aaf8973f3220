#include "tour_status_camera.h"

#include "patrold_names.h"

/* The compiled-in interface files; the generated header is C. */
extern "C" {
#include "tour-interfaces.h"
}

struct _TourStatusCamera {
  GDBusInterfaceSkeleton parent_instance;
  const TourStatusValues *values;
};

G_DEFINE_TYPE(TourStatusCamera, tour_status_camera,
              G_TYPE_DBUS_INTERFACE_SKELETON)

namespace {

/* data/com.vorn.PresetTourStatus.Camera.xml, compiled in. */
constexpr const char INTROSPECTION_RESOURCE[] =
    "/com/vorn/patrold/com.vorn.PresetTourStatus.Camera.xml";

GDBusInterfaceInfo *interface_info() {
  /* Parsed once and kept for the life of the process, like a static table. */
  /* The node is what is kept: holding only its interface would leave the
   * node itself unreferenced, which leak checkers rightly report. */
  static GDBusNodeInfo *node = [] {
    g_autoptr(GBytes) xml = g_resource_lookup_data(
        tour_interfaces_get_resource(), INTROSPECTION_RESOURCE,
        G_RESOURCE_LOOKUP_FLAGS_NONE, nullptr);
    g_assert(xml != nullptr);
    GDBusNodeInfo *parsed = g_dbus_node_info_new_for_xml(
        static_cast<const gchar *>(g_bytes_get_data(xml, nullptr)), nullptr);
    g_assert(parsed != nullptr);
    return parsed;
  }();
  return node->interfaces[0];
}

const TourStatusField *field_named(const char *name) {
  for (const TourStatusField &field : TOUR_STATUS_FIELDS)
    if (g_strcmp0(field.name, name) == 0)
      return &field;
  return nullptr;
}

GVariant *get_property(GDBusConnection *, const gchar *, const gchar *,
                       const gchar *, const gchar *property_name,
                       GError **error, gpointer user_data) {
  auto *self = TOUR_STATUS_CAMERA(user_data);
  const TourStatusField *field = field_named(property_name);
  if (field == nullptr) {
    g_set_error(error, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_PROPERTY,
                "No such property: %s", property_name);
    return nullptr;
  }
  return field->value(*self->values);
}

GDBusInterfaceInfo *skeleton_get_info(GDBusInterfaceSkeleton *) {
  return interface_info();
}

GDBusInterfaceVTable *skeleton_get_vtable(GDBusInterfaceSkeleton *) {
  static GDBusInterfaceVTable vtable = {nullptr, get_property, nullptr, {}};
  return &vtable;
}

GVariant *skeleton_get_properties(GDBusInterfaceSkeleton *skeleton) {
  auto *self = TOUR_STATUS_CAMERA(skeleton);
  GVariantBuilder builder;
  g_variant_builder_init(&builder, G_VARIANT_TYPE_VARDICT);
  for (const TourStatusField &field : TOUR_STATUS_FIELDS)
    g_variant_builder_add(&builder, "{sv}", field.name,
                          field.value(*self->values));
  return g_variant_builder_end(&builder);
}

/* Changes go out when the owner says so, not on flush. */
void skeleton_flush(GDBusInterfaceSkeleton *) {}

GVariant *as_int(int32_t value) { return g_variant_new_int32(value); }
GVariant *as_time(uint64_t value) { return g_variant_new_uint64(value); }
GVariant *as_text(const std::string &value) {
  return g_variant_new_string(value.c_str());
}

} // namespace

const std::array<TourStatusField, 13> TOUR_STATUS_FIELDS = {{
    {"Camera", [](const TourStatusValues &v) { return as_int(v.camera); }},
    {"TourId", [](const TourStatusValues &v) { return as_int(v.tour_id); }},
    {"TourName",
     [](const TourStatusValues &v) { return as_text(v.tour_name); }},
    {"State",
     [](const TourStatusValues &v) {
       return g_variant_new_string(v.state.c_str());
     }},
    {"Blocked",
     [](const TourStatusValues &v) {
       return g_variant_new_boolean(v.blocked);
     }},
    {"PointIndex",
     [](const TourStatusValues &v) { return as_int(v.point_index); }},
    {"Preset", [](const TourStatusValues &v) { return as_int(v.preset); }},
    {"StateSince",
     [](const TourStatusValues &v) { return as_time(v.state_since); }},
    {"DwellUntil",
     [](const TourStatusValues &v) { return as_time(v.dwell_until); }},
    {"LastError",
     [](const TourStatusValues &v) { return as_text(v.last_error); }},
    {"LastErrorTime",
     [](const TourStatusValues &v) { return as_time(v.last_error_time); }},
    {"ScheduleNext",
     [](const TourStatusValues &v) { return as_time(v.schedule_next); }},
    {"ScheduleNextAction",
     [](const TourStatusValues &v) { return as_text(v.schedule_action); }},
}};

static void tour_status_camera_class_init(TourStatusCameraClass *klass) {
  auto *skeleton = G_DBUS_INTERFACE_SKELETON_CLASS(klass);
  skeleton->get_info = skeleton_get_info;
  skeleton->get_vtable = skeleton_get_vtable;
  skeleton->get_properties = skeleton_get_properties;
  skeleton->flush = skeleton_flush;
}

static void tour_status_camera_init(TourStatusCamera *self) {
  self->values = nullptr;
}

TourStatusCamera *tour_status_camera_new(const TourStatusValues *values) {
  auto *self = static_cast<TourStatusCamera *>(
      g_object_new(TOUR_STATUS_CAMERA_TYPE, nullptr));
  self->values = values;
  return self;
}

guint tour_status_camera_announce(TourStatusCamera *self,
                                  const TourStatusValues &before) {
  GVariantBuilder changed;
  g_variant_builder_init(&changed, G_VARIANT_TYPE_VARDICT);
  guint count = 0;
  for (const TourStatusField &field : TOUR_STATUS_FIELDS) {
    g_autoptr(GVariant) old_value = g_variant_ref_sink(field.value(before));
    g_autoptr(GVariant) new_value =
        g_variant_ref_sink(field.value(*self->values));
    if (g_variant_equal(old_value, new_value))
      continue;
    g_variant_builder_add(&changed, "{sv}", field.name, new_value);
    count += 1;
  }
  g_autoptr(GVariant) body = g_variant_ref_sink(g_variant_new(
      "(s@a{sv}@as)", PATROLD_STATUS_INTERFACE, g_variant_builder_end(&changed),
      g_variant_new_strv(nullptr, 0)));
  if (count == 0)
    return 0;

  auto *skeleton = G_DBUS_INTERFACE_SKELETON(self);
  const char *path = g_dbus_interface_skeleton_get_object_path(skeleton);
  GList *connections = g_dbus_interface_skeleton_get_connections(skeleton);
  for (GList *l = connections; l != nullptr && path != nullptr; l = l->next)
    g_dbus_connection_emit_signal(G_DBUS_CONNECTION(l->data), nullptr, path,
                                  "org.freedesktop.DBus.Properties",
                                  "PropertiesChanged", body, nullptr);
  g_list_free_full(connections, g_object_unref);
  return count;
}
