#include "Mqtt.h"

#include <mosquitto.h>

#include <algorithm>
#include <stdexcept>

#include "Log.h"

namespace pesmo6d {

MqttPublisher::MqttPublisher(Gateway& gateway)
    : gw_(gateway), cfg_(gateway.Settings().mqtt), base_(cfg_.topicPrefix + "/" + gateway.Settings().gateway) {
  mosquitto_lib_init();
  const std::string id = cfg_.clientId.empty() ? "pesmo6d-" + gateway.Settings().gateway : cfg_.clientId;
  m_ = mosquitto_new(id.c_str(), true, this);
  if (!m_) throw std::runtime_error("mqtt: cannot create the client");
  const std::string status = base_ + "/status";
  // The broker tells "offline" for us when the connection drops without a goodbye.
  mosquitto_will_set(m_, status.c_str(), 7, "offline", 1, true);
  if (!cfg_.username.empty())
    mosquitto_username_pw_set(m_, cfg_.username.c_str(), cfg_.password.empty() ? nullptr : cfg_.password.c_str());
  const unsigned lo = static_cast<unsigned>(std::max(1, cfg_.retryMinMs / 1000));
  const unsigned hi = static_cast<unsigned>(std::max<int>(static_cast<int>(lo), cfg_.retryMaxMs / 1000));
  mosquitto_reconnect_delay_set(m_, lo, hi, true);
  mosquitto_connect_callback_set(m_, &MqttPublisher::ConnectEntry);
  mosquitto_disconnect_callback_set(m_, &MqttPublisher::DisconnectEntry);
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

void MqttPublisher::Start() {
  const int rc = mosquitto_connect_async(m_, cfg_.host.c_str(), cfg_.port, cfg_.keepaliveS);
  if (rc != MOSQ_ERR_SUCCESS)
    Log(Level::Warn, "mqtt: " + cfg_.host + ":" + std::to_string(cfg_.port) + ": " + mosquitto_strerror(rc) +
                         "; retrying");
  // The network thread reconnects by itself, with back-off, when the first
  // attempt or a later connection fails.
  if (mosquitto_loop_start(m_) != MOSQ_ERR_SUCCESS) throw std::runtime_error("mqtt: cannot start the network thread");
  started_ = true;
}

void MqttPublisher::Stop() {
  if (!started_.exchange(false)) return;
  if (connected_) {
    const std::string status = base_ + "/status";
    mosquitto_publish(m_, nullptr, status.c_str(), 7, "offline", 1, true);
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
  Log(Level::Info, "mqtt: connected to " + cfg_.host + ":" + std::to_string(cfg_.port));
  Send(base_ + "/status", "online", true);
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
  if (connected_.exchange(false) && rc != 0)
    Log(Level::Warn, std::string("mqtt: connection lost (") + mosquitto_strerror(rc) + "); reconnecting");
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
