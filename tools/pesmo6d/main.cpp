// pesmo6d: a scale gateway.  One thread owns the Pesmo6 library and keeps
// every configured scale's latest reading; HTTP clients (the API, the event
// stream, the live page) and an MQTT broker get them from it.
//
//   pesmo6d --config /etc/pesmo6d.toml
//   pesmo6d --config pesmo6d.toml --check
#include <CLI/CLI.hpp>

#include <csignal>
#include <cstdlib>
#include <iostream>
#include <pthread.h>
#include <thread>

#include "../CommandLine.h"
#include "Commands.h"
#include "Config.h"
#include "Gateway.h"
#include "Http.h"
#include "Log.h"
#include "Mqtt.h"
#include "pesmo6.h"

using namespace pesmo6d;

namespace {
constexpr int kUsage = 64;
constexpr int kBadConfig = 78;
}  // namespace

int main(int argc, char** argv) {
  // A converter's command helper (started by the gateway itself).
  if (argc == 3 && std::string(argv[1]) == "--converter-helper") return RunConverterHelper(argv[2]);
  CLI::App app{"pesmo6d: serves the readings of weighing indicators over HTTP (API, Server-Sent Events,\n"
               "a live page) and MQTT, through the Pesmo6 library.  Linux only.\n"
               "Exit status: 0 stopped by SIGINT/SIGTERM (or --check passed), 1 could not listen,\n"
               "64 bad usage, 78 bad configuration.",
               "pesmo6d"};
  std::string file, level;
  bool check = false;
  app.add_option("-c,--config", file, "configuration file (TOML)")->required();
  app.add_flag("--check", check, "read and check the configuration, then exit");
  app.add_option("--log-level", level, "error, warn, info or debug (overrides [gateway] log_level)")
      ->check(CLI::IsMember({"error", "warn", "info", "debug"}));
  app.set_version_flag("--version", [] {
    const char *p, *v, *a, *b, *l;
    FirVer(&p, &v, &a, &b, &l);
    return std::string("pesmo6d (") + l + " " + v + ")";
  });
  if (const int status = pesmo6tools::ParseCommandLine(app, argc, argv, "pesmo6d", kUsage); status >= 0) {
    return status;
  }

  Config config;
  try {
    config = LoadConfig(file);
  } catch (const ConfigError& e) {
    std::cerr << "pesmo6d: " << e.what() << std::endl;
    return kBadConfig;
  }
  Level lv = Level::Info;
  ParseLevel(level.empty() ? config.logLevel : level, lv);
  SetLogLevel(lv);
  if (check) {
    std::cout << "pesmo6d: " << file << ": " << config.scales.size() << " scale" << (config.scales.size() == 1 ? "" : "s")
              << ", configuration is valid" << std::endl;
    return 0;
  }

  // Signals go to one thread that stops the server; the others never see them.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  std::signal(SIGPIPE, SIG_IGN);

  try {
    Gateway gateway(config);
    ConverterCommands commands(config);
    HttpServer http(gateway, commands);
    std::unique_ptr<MqttPublisher> mqtt;
    if (config.mqtt.enabled) mqtt = std::make_unique<MqttPublisher>(gateway);
    const int port = http.Bind();
    if (port < 0) return 1;
    gateway.Start();
    if (mqtt) mqtt->Start();
    Log(Level::Info, "gateway \"" + config.gateway + "\" listening on " + (config.tlsCert.empty() ? "http" : "https") +
                         "://" + config.listenHost + ":" +
                         std::to_string(port) + (config.token.empty() ? "" : " (token required)"));
    std::cout << "pesmo6d listening on " << config.listenHost << ":" << port << std::endl;

    std::thread waiter([&] {
      int sig = 0;
      sigwait(&signals, &sig);
      Log(Level::Info, std::string("stopping on ") + (sig == SIGINT ? "SIGINT" : "SIGTERM"));
      // Queued commands are dropped and running ones ended, the library's
      // requests answered, then the server lets its clients go.
      commands.Stop();
      const bool ended = gateway.Stop(std::chrono::seconds(2));
      http.Stop();
      if (!ended) {
        // A stable read runs to its own limit (up to a minute) and the
        // library cannot be interrupted: everything else is done, so the
        // process ends without that thread (the system closes its ports).
        Log(Level::Warn, "the library thread is still in a stable read: exiting without waiting for it");
        if (mqtt) mqtt->Stop();
        std::_Exit(0);
      }
    });
    http.Serve();
    if (waiter.joinable()) {
      // Served to the end without a signal (the listener failed): wake the waiter.
      pthread_kill(waiter.native_handle(), SIGTERM);
      waiter.join();
    }
    commands.Stop();
    gateway.Stop();
    if (mqtt) mqtt->Stop();
  } catch (const std::exception& e) {
    Log(Level::Error, e.what());
    return 70;
  }
  return 0;
}
