#pragma once
// A scripted HTTP or HTTPS server on 127.0.0.1 for the download tests. Each
// path plays a list of replies, one per request, the last one repeated; every
// request is recorded with its headers. Responses close the connection.
#include <atomic>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace quorvel::testing {

struct Reply {
  enum class Kind {
    file,        // the body, honouring an open range "bytes=N-" (206, or 416 past the end)
    wholeFile,   // the body with 200, whatever the range
    status,      // `status` with a short text body
    closeAfter,  // as file, but the connection closes after `bytes` body bytes
    stall,       // as file, but after `bytes` body bytes nothing more is sent
    redirect,    // 302 to `location`
  };
  Kind kind = Kind::file;
  std::string body;
  int status = 404;
  std::size_t bytes = 0;
  std::string location;
  // Pacing of file and wholeFile bodies: this many bytes per piece, with the pause between.
  std::size_t pieceBytes = 0;
  int pieceDelayMs = 0;

  static Reply of(Kind kind, std::string body = "", std::size_t bytes = 0) {
    Reply r;
    r.kind = kind;
    r.body = std::move(body);
    r.bytes = bytes;
    return r;
  }
  static Reply file(std::string body) { return of(Kind::file, std::move(body)); }
  static Reply wholeFile(std::string body) { return of(Kind::wholeFile, std::move(body)); }
  static Reply withStatus(int status) {
    Reply r = of(Kind::status);
    r.status = status;
    return r;
  }
  static Reply closeAfter(std::string body, std::size_t bytes) {
    return of(Kind::closeAfter, std::move(body), bytes);
  }
  static Reply stall(std::string body, std::size_t bytes) {
    return of(Kind::stall, std::move(body), bytes);
  }
  static Reply redirect(std::string location) {
    Reply r;
    r.kind = Kind::redirect;
    r.location = std::move(location);
    return r;
  }
};

struct RecordedRequest {
  std::string method;
  std::string path;
  std::map<std::string, std::string> headers;  // names lower-cased
  // The header's value, or none.
  std::optional<std::string> header(const std::string& lowerCaseName) const;
};

class HttpTestServer {
 public:
  enum class Scheme { http, https };

  // Listens on a free port of 127.0.0.1. HTTPS makes a self-signed certificate
  // for 127.0.0.1 with the openssl program first.
  explicit HttpTestServer(Scheme scheme = Scheme::http);
  // Ends stalls, closes every connection and joins the server's threads.
  ~HttpTestServer();
  HttpTestServer(const HttpTestServer&) = delete;
  HttpTestServer& operator=(const HttpTestServer&) = delete;

  // Replaces the replies of the path (e.g. "/model.gguf"). Unscripted paths answer 404.
  void script(const std::string& path, std::vector<Reply> replies);
  // "http://127.0.0.1:<port><path>" (or https).
  std::string url(const std::string& path) const;
  // Every request so far, in order of arrival; or those of one path.
  std::vector<RecordedRequest> requests() const;
  std::vector<RecordedRequest> requests(const std::string& path) const;
  // The PEM certificate a client must trust (HTTPS only).
  const std::string& certificateFile() const { return certificate_; }

  struct Tls;

 private:
  void acceptLoop();
  void serve(int fd);
  Reply nextReply(const std::string& path);
  bool waitOrStop(int milliseconds);

  Scheme scheme_;
  std::string folder_;
  std::string certificate_;
  std::unique_ptr<Tls> tls_;
  int listenFd_ = -1;
  int port_ = 0;
  std::atomic<bool> stopping_{false};

  mutable std::mutex mutex_;
  std::condition_variable stopped_;
  std::map<std::string, std::vector<Reply>> scripts_;  // guarded by mutex_
  std::map<std::string, std::size_t> served_;          // guarded by mutex_
  std::vector<RecordedRequest> requests_;              // guarded by mutex_
  std::vector<std::thread> connections_;               // guarded by mutex_
  std::thread acceptor_;
};

}  // namespace quorvel::testing
