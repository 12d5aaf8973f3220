#include "mqtt_session.h"

#include "mqtt_names.h"
#include "tour_text.h"

#include <mosquitto.h>

#include <algorithm>

namespace {

constexpr double kBackoffFirstS = 1.0;
constexpr double kBackoffMaxS = 60.0;
/* The keepalive check runs just after the deadline, never before it. */
constexpr gint64 kKeepaliveSlackUs = 50 * 1000;

/* The wait before reconnect attempt `failures` + 1: doubling from 1 s up to
 * 60 s, each drawn at random from the upper half of its span, so that many
 * bridges cut off by one broker do not come back in step. */
double backoff_seconds(unsigned failures) {
  const double span =
      std::min(kBackoffMaxS, kBackoffFirstS * (1u << std::min(failures, 6u)));
  return std::max(kBackoffFirstS, g_random_double_range(span / 2, span));
}

} // namespace

struct Session::Source {
  GSource base;
  Session *self;
};

Session::Session(const MqttConfig &config, std::string subscription,
                 SessionEvents events)
    : config_(config), subscription_(std::move(subscription)), events_(events) {
  mosquitto_lib_init();
  mosq_ = mosquitto_new(config_.client_id.c_str(), true, this);
  mosquitto_connect_callback_set(mosq_, on_connect);
  mosquitto_disconnect_callback_set(mosq_, on_disconnect);
  mosquitto_publish_callback_set(mosq_, on_publish);
  mosquitto_message_callback_set(mosq_, on_message);
  const std::string will_topic = config_.base + "/availability";
  mosquitto_will_set(mosq_, will_topic.c_str(), 7, "offline", 1, true);
  if (!config_.username.empty())
    mosquitto_username_pw_set(
        mosq_, config_.username.c_str(),
        config_.password.empty() ? nullptr : config_.password.c_str());
  if (config_.tls()) {
    const int rc = mosquitto_tls_set(
        mosq_, config_.tls_ca_file.c_str(), nullptr,
        config_.tls_cert_file.empty() ? nullptr : config_.tls_cert_file.c_str(),
        config_.tls_key_file.empty() ? nullptr : config_.tls_key_file.c_str(),
        nullptr);
    if (rc != MOSQ_ERR_SUCCESS)
      mqtt_log("TLS set-up failed: %s", mosquitto_strerror(rc));
  }
  static GSourceFuncs funcs = {nullptr, nullptr, dispatch,
                               nullptr, nullptr, nullptr};
  source_ = g_source_new(&funcs, sizeof(Source));
  reinterpret_cast<Source *>(source_)->self = this;
  g_source_set_name(source_, "mqtt broker");
  g_source_attach(source_, nullptr);
  connect();
}

Session::~Session() {
  if (retry_)
    g_source_remove(retry_);
  g_source_destroy(source_);
  g_source_unref(source_);
  mosquitto_destroy(mosq_);
  mosquitto_lib_cleanup();
}

void Session::touch() { last_traffic_ = g_get_monotonic_time(); }

void Session::connect() {
  const int rc = started_
                     ? mosquitto_reconnect_async(mosq_)
                     : mosquitto_connect_async(mosq_, config_.host.c_str(),
                                               config_.port, config_.keepalive);
  started_ = started_ || rc == MOSQ_ERR_SUCCESS;
  touch();
  if (rc != MOSQ_ERR_SUCCESS) {
    lost(rc == MOSQ_ERR_ERRNO ? g_strerror(errno) : mosquitto_strerror(rc));
    return;
  }
  after_io();
}

void Session::lost(const char *why) {
  if (fd_tag_) {
    g_source_remove_unix_fd(source_, fd_tag_);
    fd_tag_ = nullptr;
  }
  fd_ = -1;
  g_source_set_ready_time(source_, -1);
  const bool was_connected = connected_;
  connected_ = false;
  inflight_.clear();
  order_.clear();
  queued_.clear();
  if (stopping_ || retry_)
    return;
  const double delay = backoff_seconds(failures_++);
  mqtt_log("%s %s:%d: %s; trying again in %.1f s",
           was_connected ? "lost the broker at" : "cannot reach the broker at",
           config_.host.c_str(), config_.port,
           tour_text_bounded(why ? why : "", 256).c_str(), delay);
  retry_ =
      g_timeout_add(static_cast<guint>(delay * 1000), reconnect_timer, this);
}

gboolean Session::reconnect_timer(gpointer data) {
  auto *self = static_cast<Session *>(data);
  self->retry_ = 0;
  self->connect();
  return G_SOURCE_REMOVE;
}

/* Puts the socket's state into the source: the conditions to wait for and
 * the next keepalive check. */
void Session::after_io() {
  const int fd = mosquitto_socket(mosq_);
  if (fd < 0) {
    if (fd_ >= 0 || fd_tag_)
      lost(connected_ ? "connection closed" : "connection refused or closed");
    return;
  }
  if (fd != fd_) {
    if (fd_tag_)
      g_source_remove_unix_fd(source_, fd_tag_);
    fd_tag_ = g_source_add_unix_fd(source_, fd, G_IO_IN);
    fd_ = fd;
  }
  const auto want =
      static_cast<GIOCondition>(G_IO_IN | G_IO_HUP | G_IO_ERR |
                                (mosquitto_want_write(mosq_) ? G_IO_OUT : 0));
  g_source_modify_unix_fd(source_, fd_tag_, want);
  g_source_set_ready_time(source_, last_traffic_ +
                                       config_.keepalive * G_USEC_PER_SEC +
                                       kKeepaliveSlackUs);
  if (just_connected_) {
    just_connected_ = false;
    events_.connected(events_.data);
  }
}

gboolean Session::dispatch(GSource *source, GSourceFunc, gpointer) {
  Session *self = reinterpret_cast<Source *>(source)->self;
  const GIOCondition ready =
      self->fd_tag_ ? g_source_query_unix_fd(self->source_, self->fd_tag_)
                    : GIOCondition(0);
  if (ready & (G_IO_IN | G_IO_HUP | G_IO_ERR)) {
    mosquitto_loop_read(self->mosq_, 1);
    self->touch();
  }
  if ((ready & G_IO_OUT) && mosquitto_socket(self->mosq_) >= 0) {
    mosquitto_loop_write(self->mosq_, 1);
    self->touch();
  }
  const gint64 due = g_source_get_ready_time(self->source_);
  if (due >= 0 && g_get_monotonic_time() >= due &&
      mosquitto_socket(self->mosq_) >= 0) {
    mosquitto_loop_misc(self->mosq_);
    self->touch();
  }
  self->after_io();
  self->send_queued();
  return G_SOURCE_CONTINUE;
}

void Session::on_connect(struct mosquitto *mosq, void *data, int rc) {
  auto *self = static_cast<Session *>(data);
  if (rc != 0) {
    /* libmosquitto closes the socket; the back-off follows. */
    mqtt_log("the broker refused the connection: %s",
             mosquitto_connack_string(rc));
    return;
  }
  mqtt_log("connected to the broker at %s:%d", self->config_.host.c_str(),
           self->config_.port);
  self->failures_ = 0;
  self->connected_ = true;
  self->just_connected_ = true;
  mosquitto_subscribe(mosq, nullptr, self->subscription_.c_str(), 1);
}

void Session::on_disconnect(struct mosquitto *, void *data, int) {
  static_cast<Session *>(data)->connected_ = false;
}

void Session::on_publish(struct mosquitto *, void *data, int mid) {
  static_cast<Session *>(data)->inflight_.erase(mid);
}

void Session::on_message(struct mosquitto *, void *data,
                         const struct mosquitto_message *m) {
  auto *self = static_cast<Session *>(data);
  const bool oversized = m->payloadlen > MQTT_MAX_PAYLOAD;
  const std::string_view payload(static_cast<const char *>(m->payload),
                                 oversized || !m->payload ? 0 : m->payloadlen);
  self->events_.message(self->events_.data, m->topic, payload, oversized,
                        m->retain);
}

void Session::publish(const std::string &topic, std::string payload,
                      bool retain) {
  if (!connected_ || stopping_)
    return;
  auto found = queued_.find(topic);
  if (found != queued_.end()) {
    found->second = {std::move(payload), retain};
  } else {
    if (queued_.size() >= MQTT_MAX_QUEUED) {
      queued_.erase(order_.front());
      order_.pop_front();
    }
    queued_.emplace(topic, Pending{std::move(payload), retain});
    order_.push_back(topic);
  }
  send_queued();
}

void Session::send_queued() {
  bool sent = false;
  while (connected_ && inflight_.size() < MQTT_MAX_INFLIGHT &&
         !order_.empty()) {
    const std::string topic = std::move(order_.front());
    order_.pop_front();
    const auto node = queued_.extract(topic);
    const Pending &message = node.mapped();
    int mid = 0;
    const int rc = mosquitto_publish(mosq_, &mid, topic.c_str(),
                                     static_cast<int>(message.payload.size()),
                                     message.payload.data(), 1, message.retain);
    if (rc != MOSQ_ERR_SUCCESS) {
      mqtt_log("cannot publish on %s: %s", tour_text_bounded(topic).c_str(),
               mosquitto_strerror(rc));
      continue;
    }
    inflight_.insert(mid);
    sent = true;
  }
  if (sent) {
    touch();
    after_io();
  }
}

void Session::stop(const std::string &topic, const std::string &payload,
                   int timeout_ms) {
  stopping_ = true;
  if (retry_) {
    g_source_remove(retry_);
    retry_ = 0;
  }
  if (connected_) {
    order_.clear();
    queued_.clear();
    int mid = 0;
    if (mosquitto_publish(mosq_, &mid, topic.c_str(),
                          static_cast<int>(payload.size()), payload.data(), 1,
                          true) == MOSQ_ERR_SUCCESS) {
      inflight_.insert(mid);
      after_io();
      bool expired = false;
      const guint timer = g_timeout_add(
          timeout_ms,
          [](gpointer flag) {
            *static_cast<bool *>(flag) = true;
            return G_SOURCE_REMOVE;
          },
          &expired);
      while (connected_ && inflight_.count(mid) && !expired)
        g_main_context_iteration(nullptr, TRUE);
      if (!expired)
        g_source_remove(timer);
    }
  }
  mosquitto_disconnect(mosq_);
  if (mosquitto_socket(mosq_) >= 0)
    mosquitto_loop_write(mosq_, 1);
  connected_ = false;
}
