// Readings and errors published to an MQTT broker (libmosquitto), with the
// gateway's status as its last will.
#ifndef PESMO6D_MQTT_H
#define PESMO6D_MQTT_H

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include "Gateway.h"

struct mosquitto;
struct mosquitto_message;

namespace pesmo6d {

class MqttPublisher {
 public:
  // Registers its listener on the gateway: construct before Gateway::Start.
  explicit MqttPublisher(Gateway& gateway);
  ~MqttPublisher();
  MqttPublisher(const MqttPublisher&) = delete;
  MqttPublisher& operator=(const MqttPublisher&) = delete;

  // Connects in the background and keeps reconnecting with back-off, also
  // when the broker is not there at the start.
  void Start();
  // Publishes "offline" and disconnects.
  void Stop();

 private:
  void OnEvent(const std::string& kind, size_t scale, const std::string& json);
  void OnConnect(int rc);
  void OnDisconnect(int rc);
  void Send(const std::string& topic, const std::string& payload, bool retain);
  static void ConnectEntry(mosquitto*, void* self, int rc);
  static void DisconnectEntry(mosquitto*, void* self, int rc);
  void ConnectLoop();
  static void MessageEntry(mosquitto*, void* self, const mosquitto_message* msg);

  Gateway& gw_;
  const MqttConfig& cfg_;
  std::string base_;  // prefix/gateway
  mosquitto* m_ = nullptr;
  std::string id_;
  std::atomic<bool> connected_{false};
  std::atomic<bool> started_{false};
  std::atomic<bool> looping_{false};  // the library's network thread runs (after a first connection)
  std::thread connector_;
  std::mutex m_mutex_;
  std::condition_variable m_cv_;
  bool stopping_ = false;
  std::chrono::steady_clock::time_point connectedAt_{};
  std::deque<std::chrono::steady_clock::time_point> drops_;  // connections lost soon after they were made
};

}  // namespace pesmo6d

#endif
