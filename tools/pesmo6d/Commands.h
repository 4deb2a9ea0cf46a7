// Converter commands (digital inputs and outputs, buffer clears) away from
// the library thread.
//
// The library runs a converter command on its caller's thread and blocks it
// for the whole exchange: up to its connect time-out plus 10 s, or 20 s for a
// reply that dribbles.  Run on the library thread that reads the live
// scales, one mute converter would stop every reading for as long.  The
// library takes no lock and allows one thread per process, so each converter
// gets a helper process of its own: this same program started with
// --converter-helper ADDRESS, which loads the library and runs the converter's
// commands one at a time.  The gateway's thread for that converter queues
// the commands, hands them over one by one and waits for the answer.
//
// A command never goes out after its client was answered: each has a
// deadline; one still queued at its deadline (or at the stop) is dropped
// unsent, and one running at its deadline ends with its helper killed and
// reaped before the client is answered, so nothing of it can follow.  The
// helper tells when the command's bytes were written, so the answer says
// whether it reached the converter.
#ifndef PESMO6D_COMMANDS_H
#define PESMO6D_COMMANDS_H

#include <memory>
#include <string>
#include <vector>

#include "Gateway.h"

namespace pesmo6d {

class ConverterCommands {
 public:
  explicit ConverterCommands(const Config& config);
  ~ConverterCommands();
  ConverterCommands(const ConverterCommands&) = delete;
  ConverterCommands& operator=(const ConverterCommands&) = delete;

  // Drops what is queued and ends the running commands unanswered by the
  // converter (their clients get 503); nothing is sent after it returns.
  void Stop();

  // The command's outcome: the converter's answer, or 504 when its deadline
  // passed (the body's "sent" tells whether it went out), or 503.  Always
  // answered within the deadline and the time to end a helper.
  std::future<Outcome> Run(const DioRequest& request);

  // Per converter: commands queued, the one running and for how long.
  Json Status() const;

 private:
  struct Lane;
  std::vector<std::unique_ptr<Lane>> lanes_;
  int stopFd_ = -1;  // readable once Stop() was called
};

// The helper's main: runs the commands read from stdin for converter
// ADDRESS, one per line, and writes what happened to stdout.
int RunConverterHelper(const char* address);

}  // namespace pesmo6d

#endif
