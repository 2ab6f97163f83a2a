// tirvan-web's server: an HTTP or HTTPS server on libevent's evhttp that answers from a
// folder and from a list of routes, each of which can be scripted to misbehave (an error
// status, a redirect, a delay, a stall, a wrong body, a dropped connection) so that the
// tray program's downloads can be tested against every way a web server fails.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/md5.h"

namespace web {

// One scripted answer. A request matches a route when its path is the route's path and,
// when the route names a query, its query is exactly that query; routes with a query are
// tried first.
struct Route {
  std::string path;                  // "/tirvan/update-pc.html"
  std::optional<std::string> query;  // "L=en"; none: any query
  std::optional<std::string> file;   // body read from this file below the root at each request
  std::string body;                  // the body when no file is named
  int status = 200;
  std::string type;      // Content-Type; "" guesses it from the file name
  std::string location;  // a Location header; with status 200 the status becomes 302
  int delayMs = 0;       // answer this much later
  long stallAfter = -1;  // >= 0: send the head and this many body bytes, then nothing more
  bool endless = false;  // send the body over and over, without a length and without end
  int trickleMs = 0;     // > 0: send the body one byte every this many ms
  int fail = 0;          // the first this many requests get failStatus and a short page
  int failStatus = 500;
  int corrupt = 0;       // the first this many answers carry a body with its last byte changed
  bool drop = false;     // close the connection without any answer
  bool expand = false;   // replace {base}, {md5:NAME} and {size:NAME} in the body
};

// The manifest: one route a line, "PATH[?QUERY] option...", options "file=NAME",
// "status=N", "type=MIME", "location=URL", "delay=MS", "stall=BYTES", "fail=N",
// "fail-status=N", "corrupt=N", "drop", "expand", "endless", "trickle=MS" and, last on
// its line, "body=TEXT" (the
// rest of the line). Blank lines and lines starting with "#" are skipped.
bool ParseManifest(const std::string& text, std::vector<Route>* routes, std::string* error);

struct WebOptions {
  std::string listenHost = "127.0.0.1";
  uint16_t listenPort = 0;  // 0: the system picks
  std::string root;         // the folder served, and where route files are read; "" = none
  std::vector<Route> routes;
  std::string certFile;  // both set: HTTPS
  std::string keyFile;
  std::function<void(const std::string&)> log;  // one line per request; may be empty
};

class WebServer {
 public:
  explicit WebServer(WebOptions options);
  ~WebServer();
  WebServer(const WebServer&) = delete;
  WebServer& operator=(const WebServer&) = delete;

  // Binds and starts the server's thread; false with a reason when it cannot.
  bool Start(std::string* error);
  std::string ListenAddress() const;  // "127.0.0.1:PORT"
  uint16_t Port() const;
  std::string BaseUrl() const;  // "http://127.0.0.1:PORT" or "https://..."
  void Stop();
  void Wait();

  struct Impl;

 private:
  std::unique_ptr<Impl> m_impl;
};

// The MD5 digest of a file as 32 lower-case hexadecimal digits; none when it cannot be read.
using ::FileMd5Hex;

}  // namespace web
