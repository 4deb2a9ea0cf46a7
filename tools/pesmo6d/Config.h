// pesmo6d's configuration: one TOML file, read and checked completely before
// anything starts.
#ifndef PESMO6D_CONFIG_H
#define PESMO6D_CONFIG_H

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace pesmo6d {

struct ScaleConfig {
  std::string name;
  std::string family;
  bool live = true;  // "live": updated continuously; "on-demand": only when asked
  // One target: a port number, a device path, or a converter and its line.
  uint32_t port = 0;
  std::string device;
  std::string converter;
  char line = 0;  // 'A'..'D'
  std::string unit;  // empty: the family's own, else "kg"
  int silenceMs = 3000;  // an update that receives nothing for this long is ended
  int stableCount = 10;  // LePesoConsecutivo defaults for /stable
  int stableLimitS = 10;
  std::string Target() const;
};

struct MqttConfig {
  bool enabled = false;
  std::string host = "127.0.0.1";
  int port = 1883;
  std::string clientId;  // empty: pesmo6d-<gateway>
  std::string username, password;
  bool tls = false;
  std::string caFile;  // empty: the system's authorities
  int keepaliveS = 30;
  int qos = 0;
  int retryMinMs = 500, retryMaxMs = 30000;
  std::string topicPrefix = "pesmo6";
};

struct Config {
  std::string file;
  std::string gateway = "pesmo6d";
  std::string logLevel = "info";
  int retryMinMs = 500, retryMaxMs = 30000;
  int commandTimeoutMs = 5000;  // a converter command's whole time, queue included
  // HTTP
  std::string listenHost = "127.0.0.1";
  int listenPort = 8080;
  std::string token;          // reading
  std::string operatorToken;  // converter outputs and buffer clears (and reading)
  std::vector<std::string> origins;
  int maxConnections = 256;  // open HTTP connections at most (fewer if open files are short)
  int maxConnectionsPerAddress = 64;
  int requestTimeoutMs = 10000;  // a whole request, from its first byte to its last, and idle time
  int maxSseClients = 32;
  int keepaliveMs = 15000;
  size_t maxBodyBytes = 4096;
  std::string tlsCert, tlsKey;  // PEM texts: HTTPS when both are given
  MqttConfig mqtt;
  std::vector<ScaleConfig> scales;

  bool Loopback() const;
};

// A configuration refused: the message names the file, line and key.
struct ConfigError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Reads and checks FILE; throws ConfigError.
Config LoadConfig(const std::string& file);

}  // namespace pesmo6d

#endif
