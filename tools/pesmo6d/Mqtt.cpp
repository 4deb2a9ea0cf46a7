#include "Mqtt.h"

#include <mosquitto.h>

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <stdexcept>

#include "Log.h"

namespace pesmo6d {

MqttPublisher::MqttPublisher(Gateway& gateway)
    : gw_(gateway), cfg_(gateway.Settings().mqtt), base_(cfg_.topicPrefix + "/" + gateway.Settings().gateway) {
  mosquitto_lib_init();
  // The default id names the host and the process: two gateways of the
  // same name (on two hosts, or twice on one) never take each other's
  // connection (a broker drops the older of two clients with one id).
  if (cfg_.clientId.empty()) {
    char host[HOST_NAME_MAX + 1] = "host";
    gethostname(host, sizeof host);
    host[HOST_NAME_MAX] = 0;
    id_ = "pesmo6d-" + gateway.Settings().gateway + "-" + host + "-" + std::to_string(getpid());
  } else {
    id_ = cfg_.clientId;
  }
  m_ = mosquitto_new(id_.c_str(), true, this);
  if (!m_) throw std::runtime_error("mqtt: cannot create the client");
  const std::string status = base_ + "/status";
  // The broker tells "offline" for us when the connection drops without a goodbye.
  mosquitto_will_set(m_, status.c_str(), 7, "offline", 1, true);
  if (!cfg_.username.empty())
    mosquitto_username_pw_set(m_, cfg_.username.c_str(), cfg_.password.empty() ? nullptr : cfg_.password.c_str());
  if (cfg_.tls) {
    // The broker's certificate checked against the given authority, or the system's.
    const int rc = mosquitto_tls_set(m_, cfg_.caFile.empty() ? nullptr : cfg_.caFile.c_str(),
                                     cfg_.caFile.empty() ? "/etc/ssl/certs" : nullptr, nullptr, nullptr, nullptr);
    if (rc != MOSQ_ERR_SUCCESS) throw std::runtime_error(std::string("mqtt: TLS: ") + mosquitto_strerror(rc));
  }
  const unsigned lo = static_cast<unsigned>(std::max(1, cfg_.retryMinMs / 1000));
  const unsigned hi = static_cast<unsigned>(std::max<int>(static_cast<int>(lo), cfg_.retryMaxMs / 1000));
  mosquitto_reconnect_delay_set(m_, lo, hi, true);
  mosquitto_connect_callback_set(m_, &MqttPublisher::ConnectEntry);
  mosquitto_disconnect_callback_set(m_, &MqttPublisher::DisconnectEntry);
  mosquitto_message_callback_set(m_, &MqttPublisher::MessageEntry);
  gw_.AddListener([this](const std::string& kind, size_t scale, const std::string& json) { OnEvent(kind, scale, json); });
}

MqttPublisher::~MqttPublisher() {
  Stop();
  if (m_) mosquitto_destroy(m_);
  mosquitto_lib_cleanup();
}

void MqttPublisher::ConnectEntry(mosquitto*, void* self, int rc) { static_cast<MqttPublisher*>(self)->OnConnect(rc); }
void MqttPublisher::DisconnectEntry(mosquitto*, void* self, int rc) {
  static_cast<MqttPublisher*>(self)->OnDisconnect(rc);
}

// Our own status as the broker keeps it: the will of a connection the
// broker noticed dead only after we came back (a broker that hung) can land
// after our "online"; it is put right at once.
void MqttPublisher::MessageEntry(mosquitto*, void* self, const mosquitto_message* msg) {
  auto* p = static_cast<MqttPublisher*>(self);
  if (!p->connected_ || !msg || msg->payloadlen != 7 || std::memcmp(msg->payload, "offline", 7) != 0) return;
  // Our own goodbye, echoed back while we stop, stands; and an answer to an
  // older will goes out before that goodbye, never after it (Stop).
  std::lock_guard<std::mutex> lock(p->m_mutex_);
  if (p->stopping_) return;
  Log(Level::Info, "mqtt: the broker published our last will after we reconnected: online again");
  p->Send(p->base_ + "/status", "online", true);
}

void MqttPublisher::Start() {
  started_ = true;
  connector_ = std::thread([this] { ConnectLoop(); });
}

// The first connection, tried with back-off until the broker is there; from
// then on the library's network thread reconnects by itself.
void MqttPublisher::ConnectLoop() {
  long long delay = cfg_.retryMinMs;
  bool told = false;
  while (true) {
    const int rc = mosquitto_connect(m_, cfg_.host.c_str(), cfg_.port, cfg_.keepaliveS);
    if (rc == MOSQ_ERR_SUCCESS) break;
    const std::string why = rc == MOSQ_ERR_ERRNO ? std::strerror(errno) : mosquitto_strerror(rc);
    Log(told ? Level::Debug : Level::Warn,
        "mqtt: " + cfg_.host + ":" + std::to_string(cfg_.port) + ": " + why + "; retrying");
    told = true;
    std::unique_lock<std::mutex> lock(m_mutex_);
    if (m_cv_.wait_for(lock, std::chrono::milliseconds(delay), [&] { return stopping_; })) return;
    delay = std::min<long long>(delay * 2, cfg_.retryMaxMs);
  }
  std::lock_guard<std::mutex> lock(m_mutex_);
  if (stopping_) return;
  if (mosquitto_loop_start(m_) != MOSQ_ERR_SUCCESS) {
    Log(Level::Error, "mqtt: cannot start the network thread");
    return;
  }
  looping_ = true;
}

void MqttPublisher::Stop() {
  if (!started_.exchange(false)) return;
  {
    std::lock_guard<std::mutex> lock(m_mutex_);
    stopping_ = true;
  }
  m_cv_.notify_all();
  if (connector_.joinable()) connector_.join();
  if (!looping_) return;
  {
    // Under the lock MessageEntry answers a will in: its "online" is queued
    // before this "offline" or not at all.
    std::lock_guard<std::mutex> lock(m_mutex_);
    if (connected_) {
      const std::string status = base_ + "/status";
      mosquitto_publish(m_, nullptr, status.c_str(), 7, "offline", 1, true);
    }
  }
  mosquitto_disconnect(m_);
  mosquitto_loop_stop(m_, false);
}

void MqttPublisher::OnConnect(int rc) {
  if (rc != 0) {
    Log(Level::Warn, std::string("mqtt: broker refused the connection: ") + mosquitto_connack_string(rc));
    return;
  }
  connected_ = true;
  connectedAt_ = std::chrono::steady_clock::now();
  Log(Level::Info, "mqtt: connected to " + cfg_.host + ":" + std::to_string(cfg_.port) + " as " + id_);
  Send(base_ + "/status", "online", true);
  mosquitto_subscribe(m_, nullptr, (base_ + "/status").c_str(), 1);
  // A broker that restarted may have lost the retained readings: send them
  // again, and the errors still standing, which happened while away.
  const Json all = gw_.ScalesJson();
  for (const auto& s : all["scales"]) {
    const std::string topic = base_ + "/" + s["name"].get<std::string>();
    if (!s["time"].is_null()) Send(topic + "/reading", s.dump(), true);
    if (!s["error"].is_null()) Send(topic + "/error", s.dump(), false);
  }
}

void MqttPublisher::OnDisconnect(int rc) {
  if (!connected_.exchange(false) || rc == 0) return;
  Log(Level::Warn, std::string("mqtt: connection lost (") + mosquitto_strerror(rc) + "); reconnecting");
  // A broker drops a client when another connects with its id: two such
  // clients take turns, each dropped soon after it connected.
  const auto now = std::chrono::steady_clock::now();
  if (now - connectedAt_ < std::chrono::seconds(5)) drops_.push_back(now);
  while (!drops_.empty() && now - drops_.front() > std::chrono::seconds(60)) drops_.pop_front();
  if (drops_.size() >= 3) {
    Log(Level::Warn, "mqtt: the broker dropped the connection " + std::to_string(drops_.size()) +
                         " times within a minute, each soon after it was made: is another client with the same id (" +
                         id_ + ") connected? Give each gateway its own [mqtt] client_id");
    drops_.clear();
  }
}

void MqttPublisher::Send(const std::string& topic, const std::string& payload, bool retain) {
  const int rc = mosquitto_publish(m_, nullptr, topic.c_str(), static_cast<int>(payload.size()), payload.data(),
                                   cfg_.qos, retain);
  if (rc != MOSQ_ERR_SUCCESS && rc != MOSQ_ERR_NO_CONN)
    Log(Level::Debug, "mqtt: " + topic + ": " + mosquitto_strerror(rc));
}

void MqttPublisher::OnEvent(const std::string& kind, size_t scale, const std::string& json) {
  // While the broker is away readings are dropped here (the latest ones go
  // out again on reconnection); nothing waits for the network.
  if (!connected_) return;
  const std::string& name = gw_.Settings().scales[scale].name;
  Send(base_ + "/" + name + "/" + kind, json, kind == "reading");
}

}  // namespace pesmo6d
