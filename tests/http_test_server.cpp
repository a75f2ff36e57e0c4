#include "http_test_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <filesystem>
#include <stdexcept>

#include "core/model_delivery.h"

namespace quorvel::testing {

struct HttpTestServer::Tls {
  SSL_CTX* context = nullptr;
  ~Tls() {
    if (context) SSL_CTX_free(context);
  }
};

namespace {

std::string lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
  return s;
}

std::string trim(const std::string& s) {
  std::size_t b = s.find_first_not_of(" \t");
  std::size_t e = s.find_last_not_of(" \t\r");
  return b == std::string::npos ? "" : s.substr(b, e - b + 1);
}

// One accepted connection, plain or TLS.
class Connection {
 public:
  Connection(int fd, SSL_CTX* context) : fd_(fd) {
    if (context) {
      ssl_ = SSL_new(context);
      SSL_set_fd(ssl_, fd_);
      if (SSL_accept(ssl_) != 1) {
        SSL_free(ssl_);
        ssl_ = nullptr;
        ok_ = false;
      }
    }
  }
  ~Connection() {
    if (ssl_) {
      SSL_shutdown(ssl_);
      SSL_free(ssl_);
    }
    ::close(fd_);
  }
  bool ok() const { return ok_; }
  int fd() const { return fd_; }

  long read(char* buffer, std::size_t size) {
    if (ssl_) return SSL_read(ssl_, buffer, static_cast<int>(size));
    return ::recv(fd_, buffer, size, 0);
  }
  bool send(const std::string& bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
      long n = ssl_ ? SSL_write(ssl_, bytes.data() + sent, static_cast<int>(bytes.size() - sent))
                    : ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) return false;
      sent += static_cast<std::size_t>(n);
    }
    return true;
  }

 private:
  int fd_;
  SSL* ssl_ = nullptr;
  bool ok_ = true;
};

std::string statusText(int status) {
  switch (status) {
    case 200: return "OK";
    case 206: return "Partial Content";
    case 302: return "Found";
    case 404: return "Not Found";
    case 416: return "Range Not Satisfiable";
    default: return "Status";
  }
}

std::string head(int status, std::size_t length, const std::string& extra = "") {
  return "HTTP/1.1 " + std::to_string(status) + " " + statusText(status) +
         "\r\nContent-Length: " + std::to_string(length) + "\r\nConnection: close\r\n" + extra +
         "\r\n";
}

}  // namespace

std::optional<std::string> RecordedRequest::header(const std::string& name) const {
  auto it = headers.find(name);
  if (it == headers.end()) return std::nullopt;
  return it->second;
}

HttpTestServer::HttpTestServer(Scheme scheme) : scheme_(scheme) {
  // A client that hangs up mid-body must not end the test program.
  ::signal(SIGPIPE, SIG_IGN);
  if (scheme_ == Scheme::https) {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "quorvel-tls-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    folder_ = pattern;
    certificate_ = folder_ + "/cert.pem";
    std::string key = folder_ + "/key.pem";
    Shell::run("/usr/bin/openssl",
               {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                "-nodes", "-keyout", key, "-out", certificate_, "-days", "2", "-subj",
                "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1"});
    tls_ = std::make_unique<Tls>();
    tls_->context = SSL_CTX_new(TLS_server_method());
    if (!tls_->context ||
        SSL_CTX_use_certificate_file(tls_->context, certificate_.c_str(), SSL_FILETYPE_PEM) != 1 ||
        SSL_CTX_use_PrivateKey_file(tls_->context, key.c_str(), SSL_FILETYPE_PEM) != 1)
      throw std::runtime_error("TLS set-up failed");
  }

  listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  socklen_t length = sizeof address;
  if (listenFd_ < 0 || ::bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listenFd_, 64) != 0 ||
      ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
    throw std::runtime_error("test server cannot listen");
  port_ = ntohs(address.sin_port);
  acceptor_ = std::thread([this] { acceptLoop(); });
}

HttpTestServer::~HttpTestServer() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  stopped_.notify_all();
  acceptor_.join();
  std::vector<std::thread> connections;
  {
    std::lock_guard lock(mutex_);
    connections.swap(connections_);
  }
  for (std::thread& t : connections) t.join();
  ::close(listenFd_);
  if (!folder_.empty()) {
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
  }
}

void HttpTestServer::script(const std::string& path, std::vector<Reply> replies) {
  std::lock_guard lock(mutex_);
  scripts_[path] = std::move(replies);
  served_[path] = 0;
}

std::string HttpTestServer::url(const std::string& path) const {
  return std::string(scheme_ == Scheme::https ? "https" : "http") + "://127.0.0.1:" +
         std::to_string(port_) + path;
}

std::vector<RecordedRequest> HttpTestServer::requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

std::vector<RecordedRequest> HttpTestServer::requests(const std::string& path) const {
  std::vector<RecordedRequest> out;
  for (RecordedRequest& r : requests())
    if (r.path == path) out.push_back(std::move(r));
  return out;
}

void HttpTestServer::acceptLoop() {
  while (!stopping_) {
    pollfd p{listenFd_, POLLIN, 0};
    if (::poll(&p, 1, 50) <= 0) continue;
    int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    std::lock_guard lock(mutex_);
    connections_.emplace_back([this, fd] { serve(fd); });
  }
}

bool HttpTestServer::waitOrStop(int milliseconds) {
  std::unique_lock lock(mutex_);
  return !stopped_.wait_for(lock, std::chrono::milliseconds(milliseconds),
                            [this] { return stopping_.load(); });
}

Reply HttpTestServer::nextReply(const std::string& path) {
  std::lock_guard lock(mutex_);
  auto it = scripts_.find(path);
  if (it == scripts_.end() || it->second.empty()) return Reply::withStatus(404);
  std::size_t& n = served_[path];
  Reply reply = it->second[std::min(n, it->second.size() - 1)];
  ++n;
  return reply;
}

void HttpTestServer::serve(int fd) {
  Connection connection(fd, tls_ ? tls_->context : nullptr);
  if (!connection.ok()) return;

  std::string request;
  char buffer[4096];
  while (request.find("\r\n\r\n") == std::string::npos && request.size() < 65536) {
    pollfd p{fd, POLLIN, 0};
    if (stopping_) return;
    if (::poll(&p, 1, 50) <= 0) continue;
    long n = connection.read(buffer, sizeof buffer);
    if (n <= 0) return;
    request.append(buffer, static_cast<std::size_t>(n));
  }

  RecordedRequest recorded;
  std::size_t lineEnd = request.find("\r\n");
  std::string line = request.substr(0, lineEnd);
  std::size_t s1 = line.find(' ');
  std::size_t s2 = line.find(' ', s1 + 1);
  recorded.method = line.substr(0, s1);
  recorded.path = line.substr(s1 + 1, s2 - s1 - 1);
  std::size_t at = lineEnd + 2;
  while (at < request.size()) {
    std::size_t end = request.find("\r\n", at);
    if (end == std::string::npos || end == at) break;
    std::string header = request.substr(at, end - at);
    std::size_t colon = header.find(':');
    if (colon != std::string::npos)
      recorded.headers[lower(header.substr(0, colon))] = trim(header.substr(colon + 1));
    at = end + 2;
  }
  {
    std::lock_guard lock(mutex_);
    requests_.push_back(recorded);
  }

  Reply reply = nextReply(recorded.path);
  if (reply.kind == Reply::Kind::status) {
    std::string body = "status " + std::to_string(reply.status) + "\n";
    connection.send(head(reply.status, body.size()) + body);
    return;
  }
  if (reply.kind == Reply::Kind::redirect) {
    connection.send(head(302, 0, "Location: " + reply.location + "\r\n"));
    return;
  }

  std::size_t offset = 0;
  std::optional<std::string> range = recorded.header("range");
  bool ranged = range && range->starts_with("bytes=") && reply.kind != Reply::Kind::wholeFile;
  if (ranged) {
    offset = std::stoull(range->substr(6));
    if (offset >= reply.body.size()) {
      connection.send(head(416, 0, "Content-Range: bytes */" + std::to_string(reply.body.size()) +
                                       "\r\n"));
      return;
    }
  }
  std::string body = reply.body.substr(offset);
  std::string extra;
  if (ranged)
    extra = "Content-Range: bytes " + std::to_string(offset) + "-" +
            std::to_string(reply.body.size() - 1) + "/" + std::to_string(reply.body.size()) + "\r\n";
  if (!connection.send(head(ranged ? 206 : 200, body.size(), extra))) return;

  if (reply.kind == Reply::Kind::closeAfter) {
    connection.send(body.substr(0, std::min(reply.bytes, body.size())));
    return;
  }
  if (reply.kind == Reply::Kind::stall) {
    connection.send(body.substr(0, std::min(reply.bytes, body.size())));
    // Hold the connection until the client hangs up or the server stops.
    while (!stopping_) {
      pollfd p{fd, POLLIN | POLLRDHUP, 0};
      if (::poll(&p, 1, 50) > 0) return;
    }
    return;
  }
  std::size_t piece = reply.pieceBytes > 0 ? reply.pieceBytes : body.size();
  for (std::size_t sent = 0; sent < body.size(); sent += piece) {
    if (sent > 0 && reply.pieceDelayMs > 0 && !waitOrStop(reply.pieceDelayMs)) return;
    if (!connection.send(body.substr(sent, piece))) return;
  }
}

}  // namespace quorvel::testing
