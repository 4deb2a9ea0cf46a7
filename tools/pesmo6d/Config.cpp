#include "Config.h"

#include <arpa/inet.h>
#include <climits>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <set>
#include <toml++/toml.h>

#include "Families.h"

namespace pesmo6d {

namespace {

// One table of the file: typed reads of its keys, each failure naming the
// key and its line, and every key that nobody read refused at the end.
class Section {
 public:
  Section(const std::string& file, const toml::table& t, std::string path)
      : file_(file), t_(t), path_(std::move(path)) {}

  [[noreturn]] void Fail(const toml::source_region& where, const std::string& key, const std::string& what) const {
    std::string msg = file_;
    if (where.begin.line > 0) msg += ":" + std::to_string(where.begin.line);
    msg += ": " + Key(key) + ": " + what;
    throw ConfigError(msg);
  }
  [[noreturn]] void Fail(const std::string& key, const std::string& what) const {
    const toml::node* n = t_.get(key);
    Fail(n ? n->source() : t_.source(), key, what);
  }
  std::string Key(const std::string& key) const { return path_.empty() ? key : path_ + "." + key; }

  const toml::node* Get(const std::string& key) {
    seen_.insert(key);
    return t_.get(key);
  }
  bool Has(const std::string& key) const { return t_.contains(key); }

  void String(const std::string& key, std::string& out, bool required = false) {
    const toml::node* n = Get(key);
    if (!n) {
      if (required) Fail(t_.source(), key, "missing (a text is needed)");
      return;
    }
    if (!n->is_string()) Fail(key, "must be a text");
    out = n->as_string()->get();
  }
  void Int(const std::string& key, int& out, long long lo, long long hi) {
    const toml::node* n = Get(key);
    if (!n) return;
    if (!n->is_integer()) Fail(key, "must be an integer");
    const long long v = n->as_integer()->get();
    if (v < lo || v > hi) Fail(key, "must be between " + std::to_string(lo) + " and " + std::to_string(hi));
    out = static_cast<int>(v);
  }
  void Bool(const std::string& key, bool& out) {
    const toml::node* n = Get(key);
    if (!n) return;
    if (!n->is_boolean()) Fail(key, "must be true or false");
    out = n->as_boolean()->get();
  }
  void Strings(const std::string& key, std::vector<std::string>& out) {
    const toml::node* n = Get(key);
    if (!n) return;
    if (!n->is_array()) Fail(key, "must be a list of texts");
    for (const auto& e : *n->as_array()) {
      if (!e.is_string()) Fail(e.source(), key, "must be a list of texts");
      out.push_back(e.as_string()->get());
    }
  }
  // Every key read or refused: one not known is a mistake worth telling.
  void Done() const {
    for (const auto& [k, v] : t_) {
      const std::string key(k.str());
      if (!seen_.count(key)) Fail(k.source(), key, "unknown key");
    }
  }
  const toml::table& Table() const { return t_; }

 private:
  const std::string& file_;
  const toml::table& t_;
  std::string path_;
  std::set<std::string> seen_;
};

// KEY_file: a secret read from a file rather than written in the
// configuration (which a service with a dynamic user must let everyone
// read).  A bare name is a credential the service manager passes
// (LoadCredential=NAME:PATH, found in $CREDENTIALS_DIRECTORY); else a path.
void Secret(Section& s, const std::string& key, std::string& out) {
  const std::string fileKey = key + "_file";
  std::string name;
  s.String(fileKey, name);
  if (!s.Has(fileKey)) return;
  if (s.Has(key)) s.Fail(fileKey, "give " + key + " or " + fileKey + ", not both");
  std::string path = name;
  if (name.find('/') == std::string::npos) {
    const char* dir = std::getenv("CREDENTIALS_DIRECTORY");
    if (!dir || !*dir) s.Fail(fileKey, "\"" + name + "\" is a credential name, but no credentials were passed (LoadCredential=)");
    path = std::string(dir) + "/" + name;
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) s.Fail(fileKey, "cannot read " + path + ": " + std::strerror(errno));
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  if (text.empty()) s.Fail(fileKey, path + " is empty");
  out = text;
}

bool ValidName(const std::string& s) {
  if (s.empty() || s.size() > 64) return false;
  return std::all_of(s.begin(), s.end(), [](unsigned char c) {
    return std::isalnum(c) || c == '-' || c == '_' || c == '.';
  });
}

bool IsLoopback(const std::string& host) {
  in_addr a{};
  if (inet_pton(AF_INET, host.c_str(), &a) == 1) return (ntohl(a.s_addr) >> 24) == 127;
  return host == "localhost" || host == "::1";
}

void ReadListen(Section& s, Config& c) {
  std::string listen;
  s.String("listen", listen);
  if (listen.empty()) return;
  const size_t colon = listen.rfind(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 == listen.size())
    s.Fail("listen", "must be ADDRESS:PORT, such as \"127.0.0.1:8080\"");
  std::string host = listen.substr(0, colon);
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  const std::string port = listen.substr(colon + 1);
  if (port.find_first_not_of("0123456789") != std::string::npos || port.size() > 5 || std::stoi(port) > 65535)
    s.Fail("listen", "port must be a number from 0 to 65535");
  in_addr a4{};
  in6_addr a6{};
  if (host != "localhost" && inet_pton(AF_INET, host.c_str(), &a4) != 1 && inet_pton(AF_INET6, host.c_str(), &a6) != 1)
    s.Fail("listen", "address must be a numeric IPv4 or IPv6 address or localhost");
  c.listenHost = host == "localhost" ? "127.0.0.1" : host;
  c.listenPort = std::stoi(port);
}

ScaleConfig ReadScale(Section& s, const Config& c) {
  ScaleConfig sc;
  s.String("name", sc.name, true);
  if (!ValidName(sc.name))
    s.Fail("name", "must be 1 to 64 letters, digits, '-', '_' or '.' (it names URLs and MQTT topics)");
  s.String("family", sc.family, true);
  if (!pesmo6tools::FindFamily(sc.family)) {
    std::string names;
    for (const auto& n : pesmo6tools::FamilyNames()) names += (names.empty() ? "" : ", ") + n;
    s.Fail("family", "unknown family \"" + sc.family + "\" (one of " + names + ")");
  }
  std::string mode = "live";
  s.String("mode", mode);
  if (mode != "live" && mode != "on-demand") s.Fail("mode", "must be \"live\" or \"on-demand\"");
  sc.live = mode == "live";

  int port = 0;
  s.Int("port", port, 1, 65535);
  sc.port = static_cast<uint32_t>(port);
  s.String("device", sc.device);
  s.String("converter", sc.converter);
  std::string line;
  s.String("line", line);
  const int targets = (port != 0) + s.Has("device") + s.Has("converter");
  if (targets == 0) s.Fail(s.Table().source(), "port", "a target is needed: port, device, or converter with line");
  if (targets > 1) s.Fail(s.Has("converter") ? "converter" : "device", "give one target only: port, device or converter");
  if (s.Has("device") && (sc.device.empty() || sc.device[0] != '/'))
    s.Fail("device", "must be an absolute path such as \"/dev/ttyUSB0\"");
  if (s.Has("converter")) {
    // The library connects to a numeric IPv4 address, on its own ports
    // (8880 to 8884): a name, a port or a malformed address never connects.
    in_addr a{};
    if (inet_pton(AF_INET, sc.converter.c_str(), &a) != 1)
      s.Fail("converter", "\"" + sc.converter + "\" is no IPv4 address such as \"192.168.0.50\" (no name, no port)");
    if (a.s_addr == htonl(INADDR_ANY) || a.s_addr == htonl(INADDR_BROADCAST))
      s.Fail("converter", "\"" + sc.converter + "\" is no converter's address");
    if (line.size() != 1 || std::string("ABCDabcd").find(line[0]) == std::string::npos)
      s.Fail(s.Has("line") ? "line" : "converter", "a converter scale needs line = \"A\", \"B\", \"C\" or \"D\"");
    sc.line = static_cast<char>(std::toupper(static_cast<unsigned char>(line[0])));
  } else if (s.Has("line")) {
    s.Fail("line", "goes with converter");
  }
  s.String("unit", sc.unit);
  if (s.Has("unit") && (sc.unit.empty() || sc.unit.size() > 8)) s.Fail("unit", "must be a text of 1 to 8 characters");
  s.Int("silence_ms", sc.silenceMs, 200, 60000);
  s.Int("stable_count", sc.stableCount, 1, 100);
  s.Int("stable_limit_s", sc.stableLimitS, 1, 60);
  (void)c;
  s.Done();
  return sc;
}

// What a scale occupies, the same however it is spelled: a converter's
// line by its address's value, a device by the device itself (two paths to
// one device, port N and /dev/ttyS(N-1)), else by its path.
std::string Where(const ScaleConfig& sc) {
  if (!sc.converter.empty()) {
    in_addr a{};
    inet_pton(AF_INET, sc.converter.c_str(), &a);
    return "line " + std::to_string(ntohl(a.s_addr)) + " " + std::string(1, sc.line);
  }
  const std::string path = !sc.device.empty() ? sc.device : "/dev/ttyS" + std::to_string(sc.port - 1);
  struct stat st {};
  if (stat(path.c_str(), &st) == 0 && S_ISCHR(st.st_mode)) return "device " + std::to_string(st.st_rdev);
  char real[PATH_MAX];
  if (realpath(path.c_str(), real)) return std::string("path ") + real;
  return "path " + path;
}

}  // namespace

std::string ScaleConfig::Target() const {
  if (!converter.empty()) return converter + " line " + std::string(1, line);
  if (!device.empty()) return device;
  return "port " + std::to_string(port);
}

bool Config::Loopback() const { return IsLoopback(listenHost); }

Config LoadConfig(const std::string& file) {
  toml::table root;
  try {
    root = toml::parse_file(file);
  } catch (const toml::parse_error& e) {
    std::string msg = file;
    if (e.source().begin.line > 0) msg += ":" + std::to_string(e.source().begin.line);
    throw ConfigError(msg + ": " + std::string(e.description()));
  }
  Config c;
  c.file = file;
  Section top(file, root, "");

  auto table = [&](const std::string& key) -> const toml::table* {
    const toml::node* n = top.Get(key);
    if (!n) return nullptr;
    if (!n->is_table()) top.Fail(key, "must be a table ([" + key + "])");
    return n->as_table();
  };

  if (const toml::table* t = table("gateway")) {
    Section s(file, *t, "gateway");
    s.String("name", c.gateway);
    if (!ValidName(c.gateway)) s.Fail("name", "must be 1 to 64 letters, digits, '-', '_' or '.' (it names MQTT topics)");
    s.String("log_level", c.logLevel);
    if (c.logLevel != "error" && c.logLevel != "warn" && c.logLevel != "info" && c.logLevel != "debug")
      s.Fail("log_level", "must be \"error\", \"warn\", \"info\" or \"debug\"");
    s.Int("retry_min_ms", c.retryMinMs, 50, 600000);
    s.Int("retry_max_ms", c.retryMaxMs, 50, 3600000);
    if (c.retryMaxMs < c.retryMinMs) s.Fail("retry_max_ms", "must not be below retry_min_ms");
    s.Int("command_timeout_ms", c.commandTimeoutMs, 100, 60000);
    s.Done();
  }

  if (const toml::table* t = table("http")) {
    Section s(file, *t, "http");
    ReadListen(s, c);
    auto token = [&](const std::string& key, std::string& out) {
      if (!s.Has(key + "_file")) s.String(key, out);
      if (!s.Has(key) && !s.Has(key + "_file")) return;
      if (out.size() < 8 || out.size() > 256 || out.find_first_of(" \t\r\n") != std::string::npos)
        s.Fail(key, "must be 8 to 256 characters without blanks");
      // Beyond loopback a token is all that stands between the network and
      // the scales (and, for the operator, the gates).
      if (!c.Loopback() && out.size() < 16) s.Fail(key, "must have 16 characters at least on an address beyond loopback");
      if (!c.Loopback() && out == "change-this-token")
        s.Fail(key, "is the example's: choose your own on an address beyond loopback");
    };
    Secret(s, "token", c.token);
    Secret(s, "operator_token", c.operatorToken);
    token("token", c.token);
    token("operator_token", c.operatorToken);
    if (!c.token.empty() && c.token == c.operatorToken) s.Fail("operator_token", "must differ from token");
    // HTTPS: a certificate (chain) and its key, PEM; the key may be a
    // credential, as a token.
    std::string certPath;
    s.String("tls_cert", certPath);
    if (s.Has("tls_cert")) {
      std::ifstream in(certPath, std::ios::binary);
      if (!in) s.Fail("tls_cert", "cannot read " + certPath + ": " + std::strerror(errno));
      c.tlsCert.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
      if (c.tlsCert.find("-----BEGIN CERTIFICATE-----") == std::string::npos)
        s.Fail("tls_cert", certPath + " holds no PEM certificate");
    }
    Secret(s, "tls_key", c.tlsKey);
    if (s.Has("tls_key_file") && c.tlsKey.find("PRIVATE KEY-----") == std::string::npos)
      s.Fail("tls_key_file", "holds no PEM private key");
    if (s.Has("tls_cert") != s.Has("tls_key_file"))
      s.Fail(s.Has("tls_cert") ? "tls_cert" : "tls_key_file", "HTTPS needs both tls_cert and tls_key_file");
    s.Strings("allowed_origins", c.origins);
    for (const auto& o : c.origins) {
      if (o.rfind("http://", 0) != 0 && o.rfind("https://", 0) != 0)
        s.Fail("allowed_origins", "\"" + o + "\" is no origin (scheme://host[:port])");
    }
    int threads = 0;
    s.Int("threads", threads, 4, 1024);  // of an earlier HTTP engine: read and ignored
    s.Int("max_connections", c.maxConnections, 8, 100000);
    s.Int("max_connections_per_address", c.maxConnectionsPerAddress, 1, 100000);
    s.Int("request_timeout_ms", c.requestTimeoutMs, 1000, 600000);
    s.Int("max_sse_clients", c.maxSseClients, 0, 1000);
    s.Int("sse_keepalive_ms", c.keepaliveMs, 100, 600000);
    int body = static_cast<int>(c.maxBodyBytes);
    s.Int("max_body_bytes", body, 64, 1 << 20);
    c.maxBodyBytes = static_cast<size_t>(body);
    if (c.maxSseClients > c.maxConnections)
      s.Fail("max_sse_clients", "must not be above max_connections");
    if (!c.Loopback() && c.token.empty())
      s.Fail("listen", "a non-loopback address needs a token (every request must then carry it)");
    s.Done();
  }

  if (const toml::table* t = table("mqtt")) {
    Section s(file, *t, "mqtt");
    MqttConfig& m = c.mqtt;
    m.enabled = true;
    s.Bool("enabled", m.enabled);
    s.String("host", m.host);
    if (m.host.empty()) s.Fail("host", "must not be empty");
    s.Int("port", m.port, 1, 65535);
    s.String("client_id", m.clientId);
    s.String("username", m.username);
    Secret(s, "password", m.password);
    if (!s.Has("password_file")) s.String("password", m.password);
    if ((s.Has("password") || s.Has("password_file")) && !s.Has("username"))
      s.Fail(s.Has("password") ? "password" : "password_file", "goes with username");
    s.Bool("tls", m.tls);
    s.String("ca_file", m.caFile);
    if (s.Has("ca_file")) {
      if (!m.tls) s.Fail("ca_file", "goes with tls = true");
      std::ifstream in(m.caFile);
      if (!in) s.Fail("ca_file", "cannot read " + m.caFile + ": " + std::strerror(errno));
    }
    s.Int("keepalive_s", m.keepaliveS, 5, 3600);
    s.Int("qos", m.qos, 0, 2);
    s.Int("retry_min_ms", m.retryMinMs, 50, 600000);
    s.Int("retry_max_ms", m.retryMaxMs, 50, 3600000);
    if (m.retryMaxMs < m.retryMinMs) s.Fail("retry_max_ms", "must not be below retry_min_ms");
    s.String("topic_prefix", m.topicPrefix);
    if (m.topicPrefix.empty() || m.topicPrefix.find_first_of("+#") != std::string::npos)
      s.Fail("topic_prefix", "must be a non-empty topic without '+' or '#'");
    s.Done();
  }

  const toml::node* scales = top.Get("scale");
  if (!scales) throw ConfigError(file + ": scale: no scale configured (add [[scale]] tables)");
  if (!scales->is_array_of_tables()) top.Fail("scale", "must be a list of tables ([[scale]])");
  std::set<std::string> names;
  size_t i = 0;
  for (const auto& node : *scales->as_array()) {
    Section s(file, *node.as_table(), "scale[" + std::to_string(i++) + "]");
    ScaleConfig sc = ReadScale(s, c);
    if (!names.insert(sc.name).second) s.Fail("name", "\"" + sc.name + "\" is the name of an earlier scale");
    const std::string where = Where(sc);
    for (size_t k = 0; k < c.scales.size(); ++k) {
      if (Where(c.scales[k]) == where)
        s.Fail(sc.converter.empty() ? (sc.device.empty() ? "port" : "device") : "line",
               "scale \"" + c.scales[k].name + "\" already uses " +
                   (c.scales[k].Target() == sc.Target() ? sc.Target() : "the same " + std::string(sc.converter.empty() ? "device" : "line") + " (" + c.scales[k].Target() + ")"));
    }
    c.scales.push_back(std::move(sc));
  }
  if (c.scales.size() > 1000) throw ConfigError(file + ": scale: at most 1000 scales");
  top.Done();
  return c;
}

}  // namespace pesmo6d
