// Readings and errors published to an MQTT broker (libmosquitto), with the
// gateway's status as its last will.
#ifndef PESMO6D_MQTT_H
#define PESMO6D_MQTT_H

#include <atomic>
#include <string>

#include "Gateway.h"

struct mosquitto;

namespace pesmo6d {

class MqttPublisher {
 public:
  // Registers its listener on the gateway: construct before Gateway::Start.
  explicit MqttPublisher(Gateway& gateway);
  ~MqttPublisher();
  MqttPublisher(const MqttPublisher&) = delete;
  MqttPublisher& operator=(const MqttPublisher&) = delete;

  // Connects in the background and keeps reconnecting with back-off.
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

  Gateway& gw_;
  const MqttConfig& cfg_;
  std::string base_;  // prefix/gateway
  mosquitto* m_ = nullptr;
  std::atomic<bool> connected_{false};
  std::atomic<bool> started_{false};
};

}  // namespace pesmo6d

#endif
