// The HTTP API, the Server-Sent Events stream and the live page.
#ifndef PESMO6D_HTTP_H
#define PESMO6D_HTTP_H

#include <memory>
#include <string>

#include "Commands.h"
#include "Gateway.h"

namespace pesmo6d {

class HttpServer {
 public:
  HttpServer(Gateway& gateway, ConverterCommands& commands);
  ~HttpServer();
  // Binds the configured address (port 0: any free port); the port, or -1
  // with the reason logged.
  int Bind();
  // Serves until Stop() (blocks).
  void Serve();
  void Stop();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace pesmo6d

#endif
