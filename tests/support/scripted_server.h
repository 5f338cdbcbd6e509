// A scripted HTTP peer for tests: listens on 127.0.0.1 on an ephemeral port and runs a
// handler for every accepted connection on a thread of its own. Handlers read requests
// and write exact bytes, so tests can check request headers byte for byte and feed the
// client any response, well-formed or not.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

class ScriptedServer;

class ScriptedConnection {
 public:
  ScriptedConnection(int fd, ScriptedServer* server);
  ~ScriptedConnection();
  // Reads one request: the head up to and including the blank line, plus a body of
  // Content-Length bytes when the head names one. Empty when the peer closed first.
  // The request is recorded in the server's list.
  std::string ReadRequest();
  // Reads whatever arrives until the peer closes or the server stops.
  std::string ReadToClose();
  // False when the peer went away before everything was sent.
  bool Write(const std::string& bytes);
  // Closes the sending side (the peer sees the end of the stream).
  void Close();
  // Waits until the peer closes or the server stops; what arrives is dropped.
  void WaitForPeerClose();
  // Everything read so far.
  const std::string& Received() const { return received_; }
  // Connects to 127.0.0.1:port and carries bytes both ways (what was read beyond the last
  // request first) until either side ends, as a proxy's tunnel does.
  void Relay(uint16_t port);

 private:
  // Appends what is readable to buffer_; false on end of stream or stop.
  bool Fill();
  int fd_;
  ScriptedServer* server_;
  std::string buffer_;
  std::string received_;
};

class ScriptedServer {
 public:
  using Handler = std::function<void(ScriptedConnection&)>;
  // handler runs for every connection (its index is ConnectionCount() - 1 at the start).
  explicit ScriptedServer(Handler handler);
  ~ScriptedServer();
  ScriptedServer(const ScriptedServer&) = delete;
  ScriptedServer& operator=(const ScriptedServer&) = delete;

  uint16_t Port() const { return port_; }
  // "http://127.0.0.1:<port>" + path.
  std::string Url(const std::string& path = "/") const;
  int ConnectionCount() const { return connections_.load(); }
  // Request heads (and bodies) in arrival order, over all connections.
  std::vector<std::string> Requests() const;
  void RecordRequest(const std::string& request);
  // Stops accepting, ends waiting handlers and joins every thread.
  void Stop();

  // A handler that answers each request of a connection with the next response of
  // the list (shared over connections), closing the connection after a response when
  // closeAfter is true or when the list is used up.
  static Handler Responses(std::vector<std::string> responses, bool closeAfter = false);

 private:
  friend class ScriptedConnection;
  void AcceptLoop();

  Handler handler_;
  int listenFd_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> connections_{0};
  std::thread acceptThread_;
  mutable std::mutex mutex_;
  std::vector<std::thread> threads_;
  std::vector<std::string> requests_;
};

// A port on 127.0.0.1 that nothing listens on (bound once, then released).
uint16_t UnusedPort();

}  // namespace testsupport
