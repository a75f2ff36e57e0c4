#include "core/llama_server.h"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <exception>
#include <filesystem>
#include <future>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <random>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "core/curl_support.h"
#include "core/handwriting_engine.h"
#include "core/paths.h"
#include "core/text.h"

extern char** environ;

namespace quorvel {

namespace {

using nlohmann::json;
using SteadyClock = std::chrono::steady_clock;
namespace fs = std::filesystem;

constexpr TimePoint kDistantPast = -62135596800LL * 1000000;  // 0001-01-01
constexpr int kFallbackPort = 18080;
constexpr double kHealthTimeout = 3;
constexpr auto kHealthPause = std::chrono::milliseconds(400);
constexpr auto kKillGrace = std::chrono::seconds(2);
constexpr auto kOutputDrain = std::chrono::milliseconds(500);
constexpr std::size_t kLogLimit = 6000;
constexpr std::size_t kLogKeep = 4000;
constexpr std::size_t kTailLength = 400;

const char* const kNotSetUp = "The handwriting reader isn't set up.";
const char* const kLoading = "Loading the handwriting model\u2026";
const char* const kReaderNotRunning = "The reader isn't running.";
const char* const kHandwritingNotRunning = "The handwriting reader isn't running.";
const char* const kUnreadableAnswer = "llama-server sent an answer that couldn't be read.";
const char* const kTooOld =
    "The llama-server on this computer is too old to read scans: it doesn't know the --mmproj "
    "option. ";
// What an older server says of an option it doesn't know, before it exits.
const char* const kUnknownOption = "invalid argument: --";

// ---------------------------------------------------------------------------
// UTF-8 helpers

bool isContinuation(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

std::size_t codePointCount(std::string_view s) {
  std::size_t n = 0;
  for (char c : s)
    if (!isContinuation(c)) ++n;
  return n;
}

// The last `count` code points of valid UTF-8.
std::string_view lastCodePoints(std::string_view s, std::size_t count) {
  std::size_t seen = 0, at = s.size();
  while (at > 0 && seen < count) {
    --at;
    if (!isContinuation(s[at])) ++seen;
  }
  return s.substr(at);
}

// The length of an incomplete UTF-8 sequence at the end of the bytes (0 to 3),
// held back until the next read completes it.
std::size_t incompleteTail(std::string_view s) {
  for (std::size_t back = 1; back <= std::min<std::size_t>(3, s.size()); ++back) {
    unsigned char c = static_cast<unsigned char>(s[s.size() - back]);
    if ((c & 0xC0) == 0x80) continue;
    std::size_t want = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
    return want > back ? back : 0;
  }
  return 0;
}

std::string base64(std::string_view bytes) {
  static const char* const alphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 2 < bytes.size(); i += 3) {
    unsigned v = static_cast<unsigned char>(bytes[i]) << 16 |
                 static_cast<unsigned char>(bytes[i + 1]) << 8 | static_cast<unsigned char>(bytes[i + 2]);
    out += alphabet[v >> 18];
    out += alphabet[(v >> 12) & 63];
    out += alphabet[(v >> 6) & 63];
    out += alphabet[v & 63];
  }
  if (i < bytes.size()) {
    unsigned v = static_cast<unsigned char>(bytes[i]) << 16;
    if (i + 1 < bytes.size()) v |= static_cast<unsigned char>(bytes[i + 1]) << 8;
    out += alphabet[v >> 18];
    out += alphabet[(v >> 12) & 63];
    out += i + 1 < bytes.size() ? alphabet[(v >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

// The whole file; std::system_error naming the file when it cannot be read.
std::string readFileBytes(const std::string& path) {
  auto fail = [&](int error) {
    throw std::system_error(error, std::generic_category(),
                            "Couldn't read " + fs::path(path).filename().string());
  };
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) fail(errno);
  std::string out;
  char buffer[65536];
  while (true) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      int error = errno;
      ::close(fd);
      fail(error);
    }
    if (n == 0) break;
    out.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return out;
}

// ---------------------------------------------------------------------------
// Child processes

// The server's environment: the caller's, less what would change the server
// behind our back (its API key and every LLAMA_ARG_* setting), plus `extra`.
std::vector<std::string> serverEnvironment(const std::vector<std::string>& extra) {
  std::vector<std::string> out;
  for (char** entry = environ; entry && *entry; ++entry) {
    std::string_view variable(*entry);
    std::string_view name = variable.substr(0, variable.find('='));
    if (name == "LLAMA_API_KEY" || name.rfind("LLAMA_ARG_", 0) == 0) continue;
    out.emplace_back(variable);
  }
  out.insert(out.end(), extra.begin(), extra.end());
  return out;
}

// Everything a child needs between fork() and exec(), made beforehand: the
// child of a threaded process may only make async-signal-safe calls.
struct LaunchPlan {
  const char* path;
  char* const* argv;
  char* const* envp;
  const char* workDir;  // null: stay in the current folder
  int input;            // becomes standard input
  int output;           // becomes standard output and standard error
};

// Starts programs that end with this process. PR_SET_PDEATHSIG fires when the
// thread that forked the child ends, not the process, so every child is
// forked by one thread that lives as long as the process: a worker thread
// that ends would otherwise take its servers with it.
class Launcher {
 public:
  static Launcher& shared() {
    static Launcher launcher;
    return launcher;
  }

  // Starts the program on the launcher's thread; throws std::system_error
  // when it cannot be started.
  pid_t launch(const LaunchPlan& plan) {
    std::packaged_task<pid_t()> task([&plan] { return forkAndExec(plan); });
    std::future<pid_t> started = task.get_future();
    {
      std::lock_guard guard(mutex_);
      queue_.push_back(std::move(task));
    }
    changed_.notify_all();
    return started.get();
  }

  ~Launcher() {
    {
      std::lock_guard guard(mutex_);
      quitting_ = true;
    }
    changed_.notify_all();
    thread_.join();
  }

 private:
  Launcher() : thread_([this] { run(); }) {}

  void run() {
    std::unique_lock lock(mutex_);
    while (true) {
      changed_.wait(lock, [this] { return quitting_ || !queue_.empty(); });
      if (queue_.empty()) return;
      std::packaged_task<pid_t()> task = std::move(queue_.front());
      queue_.pop_front();
      lock.unlock();
      task();
      lock.lock();
    }
  }

  static pid_t forkAndExec(const LaunchPlan& plan) {
    int report[2];  // the child writes its errno here when exec fails
    if (::pipe2(report, O_CLOEXEC) != 0) throw std::system_error(errno, std::generic_category());
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid == 0) {
      // Killed when the launching thread, and so this process, ends; if the
      // parent is gone already, it never learns of its death: give up.
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      if (::getppid() != parent) ::_exit(127);
      struct sigaction defaults {};
      defaults.sa_handler = SIG_DFL;
      for (int sig : {SIGPIPE, SIGTERM, SIGINT, SIGHUP, SIGQUIT, SIGCHLD, SIGUSR1, SIGUSR2})
        ::sigaction(sig, &defaults, nullptr);
      sigset_t none;
      sigemptyset(&none);
      ::sigprocmask(SIG_SETMASK, &none, nullptr);
      int error = 0;
      if (::dup2(plan.input, 0) < 0 || ::dup2(plan.output, 1) < 0 || ::dup2(plan.output, 2) < 0 ||
          (plan.workDir && ::chdir(plan.workDir) != 0)) {
        error = errno;
      } else {
        // Nothing of ours beyond the three standard descriptors reaches the
        // server, whether or not the library that opened it asked for close-on-exec.
        if (::syscall(SYS_close_range, 3U, ~0U, 4U /* CLOSE_RANGE_CLOEXEC */) != 0)
          for (int fd = 3; fd < 65536; ++fd) ::fcntl(fd, F_SETFD, FD_CLOEXEC);
        ::execve(plan.path, plan.argv, plan.envp);
        error = errno;
      }
      [[maybe_unused]] ssize_t ignored = ::write(report[1], &error, sizeof error);
      ::_exit(127);
    }
    const int forkError = errno;
    ::close(report[1]);
    if (pid < 0) {
      ::close(report[0]);
      throw std::system_error(forkError, std::generic_category());
    }
    int error = 0;
    ssize_t n;
    do n = ::read(report[0], &error, sizeof error);
    while (n < 0 && errno == EINTR);
    ::close(report[0]);
    if (n == static_cast<ssize_t>(sizeof error)) {
      int status;
      while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {}
      throw std::system_error(error, std::generic_category());
    }
    return pid;  // the pipe closed on exec: the program runs
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  bool quitting_ = false;
  std::deque<std::packaged_task<pid_t()>> queue_;
  std::thread thread_;  // declared last: started once the rest exists
};

// A started program with its stdout and stderr joined into one pipe, read by a
// thread of its own. Every waitpid() and kill() happens under mutex_ and
// only while the child is unreaped, so a signal never reaches a recycled pid.
class ChildProcess {
 public:
  using OutputSink = std::function<void(std::string_view)>;

  // Starts the program with exactly `args` and the environment `env`
  // ("NAME=value" entries), in `workDir` when it is not empty. The child is
  // killed when this process ends, however it ends.
  // Throws std::system_error when the program cannot be started.
  ChildProcess(const std::string& path, const std::vector<std::string>& args,
               const std::vector<std::string>& env, const std::string& workDir, OutputSink sink) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) throw std::system_error(errno, std::generic_category());
    readFd_ = fds[0];
    int writeFd = fds[1];
    wakeFd_ = ::eventfd(0, EFD_CLOEXEC);
    int input = ::open("/dev/null", O_RDONLY | O_CLOEXEC);

    auto pointers = [](const std::vector<std::string>& texts) {
      std::vector<char*> out;
      for (const std::string& t : texts) out.push_back(const_cast<char*>(t.c_str()));
      out.push_back(nullptr);
      return out;
    };
    std::vector<std::string> argvTexts{path};
    argvTexts.insert(argvTexts.end(), args.begin(), args.end());
    std::vector<char*> argv = pointers(argvTexts);
    std::vector<char*> envp = pointers(env);

    int error = 0;
    if (input < 0) {
      error = errno;
    } else {
      try {
        pid_ = Launcher::shared().launch({path.c_str(), argv.data(), envp.data(),
                                          workDir.empty() ? nullptr : workDir.c_str(), input,
                                          writeFd});
      } catch (const std::system_error& e) {
        error = e.code().value();
      }
      ::close(input);
    }
    ::close(writeFd);
    if (error != 0) {
      ::close(readFd_);
      if (wakeFd_ >= 0) ::close(wakeFd_);
      throw std::system_error(error, std::generic_category());
    }
    try {
      reader_ = std::thread([this, sink = std::move(sink)] { readOutput(sink); });
    } catch (...) {
      signal(SIGKILL);
      waitForExit();
      ::close(readFd_);
      if (wakeFd_ >= 0) ::close(wakeFd_);
      throw;
    }
  }

  ~ChildProcess() {
    signal(SIGKILL);
    waitForExit();
    if (wakeFd_ >= 0) {
      std::uint64_t one = 1;
      [[maybe_unused]] ssize_t ignored = ::write(wakeFd_, &one, sizeof one);
    }
    if (reader_.joinable()) {
      if (reader_.get_id() == std::this_thread::get_id())
        reader_.detach();
      else
        reader_.join();
    }
    ::close(readFd_);
    if (wakeFd_ >= 0) ::close(wakeFd_);
  }

  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const { return pid_; }

  bool running() {
    std::lock_guard guard(mutex_);
    return !reapLocked();
  }

  // The exit code, or the signal number for a process ended by a signal.
  int terminationStatus() {
    std::lock_guard guard(mutex_);
    reapLocked();
    return status_;
  }

  void signal(int sig) {
    std::lock_guard guard(mutex_);
    if (!reapLocked()) ::kill(pid_, sig);  // the results of signals are ignored
  }

  // Waits until the pipe has been read to its end (every writer gone), at most `limit`.
  bool waitForOutputEnd(std::chrono::milliseconds limit) {
    std::unique_lock guard(outputMutex_);
    return outputChanged_.wait_for(guard, limit, [this] { return outputEnded_; });
  }

  void waitForExit() {
    auto pause = std::chrono::milliseconds(1);
    while (true) {
      {
        std::lock_guard guard(mutex_);
        if (reapLocked()) return;
      }
      std::this_thread::sleep_for(pause);
      pause = std::min(pause * 2, std::chrono::milliseconds(20));
    }
  }

 private:
  bool reapLocked() {
    if (exited_) return true;
    int status = 0;
    pid_t r = ::waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
      exited_ = true;
      status_ = WIFEXITED(status) ? WEXITSTATUS(status) : WIFSIGNALED(status) ? WTERMSIG(status) : status;
    } else if (r < 0 && errno != EINTR) {
      exited_ = true;  // not ours to wait for any more
      status_ = -1;
    }
    return exited_;
  }

  void readOutput(const OutputSink& sink) {
    readUntilEnd(sink);
    {
      std::lock_guard guard(outputMutex_);
      outputEnded_ = true;
    }
    outputChanged_.notify_all();
  }

  void readUntilEnd(const OutputSink& sink) {
    char buffer[16384];
    pollfd fds[2] = {{readFd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
    while (true) {
      int ready = ::poll(fds, wakeFd_ >= 0 ? 2 : 1, -1);
      if (ready < 0 && errno == EINTR) continue;
      if (ready < 0 || (fds[1].revents & POLLIN)) return;
      ssize_t n = ::read(readFd_, buffer, sizeof buffer);
      if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      if (n <= 0) return;
      try {
        sink(std::string_view(buffer, static_cast<std::size_t>(n)));
      } catch (...) {
        // A lost piece of log output is not worth stopping the reader for.
      }
    }
  }

  std::mutex mutex_;  // guards pid_'s waitpid/kill, exited_ and status_
  pid_t pid_ = -1;
  bool exited_ = false;
  int status_ = 0;
  int readFd_ = -1;
  int wakeFd_ = -1;
  std::mutex outputMutex_;
  std::condition_variable outputChanged_;
  bool outputEnded_ = false;
  std::thread reader_;  // declared last: started once the rest exists
};

// Kills stopped servers after their grace period and reaps them. At exit,
// every server still waiting is killed at once.
class Reaper {
 public:
  static Reaper& shared() {
    static Reaper reaper;
    return reaper;
  }

  void killLater(std::shared_ptr<ChildProcess> process, SteadyClock::time_point when) {
    {
      std::lock_guard guard(mutex_);
      pending_.push_back({std::move(process), when});
    }
    changed_.notify_all();
  }

  ~Reaper() {
    {
      std::lock_guard guard(mutex_);
      quitting_ = true;
    }
    changed_.notify_all();
    thread_.join();
  }

 private:
  struct Entry {
    std::shared_ptr<ChildProcess> process;
    SteadyClock::time_point when;
  };

  Reaper() : thread_([this] { run(); }) {}

  static void finish(std::vector<Entry>& due) {
    for (Entry& e : due) {
      e.process->signal(SIGKILL);
      e.process->waitForExit();
    }
    due.clear();  // destroyed without the lock held
  }

  void run() {
    std::unique_lock lock(mutex_);
    while (!quitting_) {
      if (pending_.empty()) {
        changed_.wait(lock);
        continue;
      }
      auto earliest = pending_.front().when;
      for (const Entry& e : pending_) earliest = std::min(earliest, e.when);
      if (SteadyClock::now() < earliest) {
        changed_.wait_until(lock, earliest);
        continue;
      }
      std::vector<Entry> due;
      auto now = SteadyClock::now();
      for (auto it = pending_.begin(); it != pending_.end();) {
        if (it->when <= now) {
          due.push_back(std::move(*it));
          it = pending_.erase(it);
        } else {
          ++it;
        }
      }
      lock.unlock();
      finish(due);
      lock.lock();
    }
    std::vector<Entry> rest = std::move(pending_);
    pending_.clear();
    lock.unlock();
    finish(rest);
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  bool quitting_ = false;
  std::vector<Entry> pending_;
  std::thread thread_;  // declared last: started once the rest exists
};

// Asks the process to terminate, and has it killed if it still runs after the grace period.
void terminate(std::shared_ptr<ChildProcess> process) {
  if (!process) return;
  if (process->running()) process->signal(SIGTERM);
  Reaper::shared().killLater(std::move(process), SteadyClock::now() + kKillGrace);
}

// ---------------------------------------------------------------------------
// HTTP to the server

struct HttpAnswer {
  long status = 0;
  std::string body;
};

struct Transfer {
  std::string body;
  std::exception_ptr error;  // kept here: nothing is thrown through libcurl
};

std::size_t collect(char* data, std::size_t size, std::size_t count, void* user) {
  auto* transfer = static_cast<Transfer*>(user);
  try {
    transfer->body.append(data, size * count);
    return size * count;
  } catch (...) {
    transfer->error = std::current_exception();
    return 0;
  }
}

// One request to the local server, aborted at once when `stop` is requested.
// postBody null: GET. Throws TransportError below HTTP.
// `apiKey` not empty: sent as "Authorization: Bearer <key>".
HttpAnswer httpRequest(const std::string& url, const std::string* postBody, double timeoutSeconds,
                       const std::string& apiKey, std::stop_token stop) {
  using Kind = TransportError::Kind;
  if (stop.stop_requested()) throw TransportError(Kind::cancelled, "The request was cancelled.");
  curl::initOnce();
  curl::Easy easy(curl_easy_init());
  curl::Multi multi(curl_multi_init());
  if (!easy || !multi) throw TransportError(Kind::other, "The request couldn't be made.");
  std::unique_ptr<curl_slist, decltype(&curl_slist_free_all)> headers(nullptr, curl_slist_free_all);

  Transfer transfer;
  CURL* e = easy.get();
  curl_easy_setopt(e, CURLOPT_URL, url.c_str());
  curl_easy_setopt(e, CURLOPT_NOPROXY, "*");
  curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http");
  curl_easy_setopt(e, CURLOPT_TIMEOUT_MS, static_cast<long>(std::ceil(timeoutSeconds * 1000)));
  curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, collect);
  curl_easy_setopt(e, CURLOPT_WRITEDATA, &transfer);
  curl_slist* list = nullptr;
  if (!apiKey.empty()) list = curl_slist_append(list, ("Authorization: Bearer " + apiKey).c_str());
  if (postBody) {
    list = curl_slist_append(list, "Content-Type: application/json");
    if (list) list = curl_slist_append(list, "Expect:");
  }
  headers.reset(list);
  curl_easy_setopt(e, CURLOPT_HTTPHEADER, headers.get());
  if (postBody) {
    curl_easy_setopt(e, CURLOPT_POST, 1L);
    curl_easy_setopt(e, CURLOPT_POSTFIELDS, postBody->data());
    curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(postBody->size()));
  }
  curl_multi_add_handle(multi.get(), e);

  bool cancelled = false;
  {
    // Declared after `multi`, so it is gone before the handle is cleaned up.
    std::stop_callback wake(stop, [m = multi.get()] { curl_multi_wakeup(m); });
    while (true) {
      int running = 0;
      CURLMcode mc = curl_multi_perform(multi.get(), &running);
      if (mc != CURLM_OK) {
        curl_multi_remove_handle(multi.get(), e);
        throw TransportError(Kind::other, curl_multi_strerror(mc));
      }
      if (running == 0) break;
      if (stop.stop_requested()) {
        cancelled = true;
        break;
      }
      curl_multi_poll(multi.get(), nullptr, 0, 1000, nullptr);
    }
  }
  CURLcode result = CURLE_OK;
  int left = 0;
  while (CURLMsg* msg = curl_multi_info_read(multi.get(), &left))
    if (msg->msg == CURLMSG_DONE && msg->easy_handle == e) result = msg->data.result;
  curl_multi_remove_handle(multi.get(), e);
  if (cancelled) throw TransportError(Kind::cancelled, "The request was cancelled.");
  if (transfer.error) std::rethrow_exception(transfer.error);
  if (result != CURLE_OK) throw curl::transportError(result);
  HttpAnswer answer;
  curl_easy_getinfo(e, CURLINFO_RESPONSE_CODE, &answer.status);
  answer.body = std::move(transfer.body);
  return answer;
}

int freePort() {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return kFallbackPort;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = 0;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  int port = kFallbackPort;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
    port = ntohs(address.sin_port);
  ::close(fd);
  return port;
}

// 32 random bytes in hex: a key no other program can guess.
std::string freshApiKey() {
  std::random_device device;
  static const char* const hex = "0123456789abcdef";
  std::string key;
  for (int i = 0; i < 8; ++i) {
    std::uint32_t r = device();
    for (int j = 0; j < 8; ++j, r >>= 4) key += hex[r & 15];
  }
  return key;
}

// The server's answer to a prompt longer than its context:
// {"error": {"type": "exceed_context_size_error", "n_prompt_tokens": n, "n_ctx": m}}.
std::optional<std::pair<std::int64_t, std::int64_t>> contextOverflow(const std::string& body) {
  json parsed = json::parse(body, nullptr, /*allow_exceptions=*/false);
  if (!parsed.is_object()) return std::nullopt;
  const json* error = &parsed;
  if (auto inner = parsed.find("error"); inner != parsed.end() && inner->is_object()) error = &*inner;
  auto type = error->find("type");
  auto prompt = error->find("n_prompt_tokens");
  auto context = error->find("n_ctx");
  if (type == error->end() || *type != "exceed_context_size_error" || prompt == error->end() ||
      !prompt->is_number_integer() || context == error->end() || !context->is_number_integer())
    return std::nullopt;
  return std::pair{prompt->get<std::int64_t>(), context->get<std::int64_t>()};
}

// Rounded half away from zero to tenths.
double tenths(double seconds) { return std::round(seconds * 10) / 10; }

double secondsSince(SteadyClock::time_point start) {
  return std::chrono::duration<double>(SteadyClock::now() - start).count();
}

// A periodic idle check on a thread of its own, until cancelled.
struct IdleTimer {
  std::mutex mutex;
  std::condition_variable changed;
  bool cancelled = false;
  std::thread thread;

  ~IdleTimer() { cancel(); }

  // Joins the thread, or lets it finish by itself when called from it.
  void cancel() {
    {
      std::lock_guard guard(mutex);
      cancelled = true;
    }
    changed.notify_all();
    if (!thread.joinable()) return;
    if (thread.get_id() == std::this_thread::get_id())
      thread.detach();
    else
      thread.join();
  }
};

}  // namespace

// ---------------------------------------------------------------------------

struct LlamaServer::Impl : std::enable_shared_from_this<LlamaServer::Impl> {
  enum class Outcome { ready, failed, cancelled };

  // Lock rules: `lock` guards every field below it up to the start fields; it
  // is never held across a request, a pause, a signal, a wait or a callback.
  // It may be held while a ChildProcess's own lock is taken, never the reverse.
  mutable std::mutex lock;
  std::shared_ptr<ChildProcess> proc;
  std::optional<std::string> baseURL;
  TimePoint lastUse = kDistantPast;
  std::string recentLog;
  std::shared_ptr<IdleTimer> timer;
  int inFlight = 0;
  Timing timing;
  std::optional<std::string> lastError;
  std::optional<double> lastStartSeconds;
  std::string apiKey;  // of the server in `proc`; made fresh at every start
  std::vector<std::string> extraArguments;

  // Start serialisation: one start at a time, later callers wait for it.
  std::mutex startLock;
  std::condition_variable_any startChanged;
  bool starting = false;
  Outcome lastOutcome = Outcome::failed;

  Impl() {
    curl::initOnce();
    Reaper::shared();  // made first, so it outlives every controller, static ones too
  }

  ~Impl() {
    if (timer) timer->cancel();
    terminate(std::move(proc));
  }

  bool runningLocked() const { return proc && proc->running() && baseURL; }

  void setLastError(std::optional<std::string> text) {
    std::lock_guard guard(lock);
    lastError = std::move(text);
  }

  void remember(std::string_view text) {
    std::lock_guard guard(lock);
    recentLog.append(text);
    if (recentLog.size() > kLogLimit && codePointCount(recentLog) > kLogLimit)
      recentLog = std::string(lastCodePoints(recentLog, kLogKeep));
  }

  std::string tail() const {
    std::string trimmed;
    {
      std::lock_guard guard(lock);
      trimmed = text::trimmed(recentLog);
    }
    if (codePointCount(trimmed) > kTailLength)
      return "\u2026" + std::string(lastCodePoints(trimmed, kTailLength));
    return trimmed;
  }

  void stop() {
    std::shared_ptr<ChildProcess> taken;
    std::shared_ptr<IdleTimer> oldTimer;
    {
      std::lock_guard guard(lock);
      taken = std::move(proc);
      proc.reset();
      baseURL.reset();
      oldTimer = std::move(timer);
      timer.reset();
    }
    if (oldTimer) oldTimer->cancel();
    terminate(std::move(taken));
  }

  void stopNow() {
    std::shared_ptr<ChildProcess> taken;
    std::shared_ptr<IdleTimer> oldTimer;
    {
      std::lock_guard guard(lock);
      taken = std::move(proc);
      proc.reset();
      baseURL.reset();
      oldTimer = std::move(timer);
      timer.reset();
    }
    if (oldTimer) oldTimer->cancel();
    if (taken) {
      taken->signal(SIGKILL);
      taken->waitForExit();
    }
  }

  // Under `lock`.
  void startIdleTimerLocked() {
    if (timer) return;
    auto t = std::make_shared<IdleTimer>();
    auto period = std::chrono::duration<double>(timing.idleCheckPeriod);
    std::weak_ptr<Impl> weak = weak_from_this();
    // The thread owns the timer object until it ends.
    t->thread = std::thread([t, weak, period] {
      std::unique_lock guard(t->mutex);
      while (!t->cancelled) {
        if (t->changed.wait_for(guard, period, [t] { return t->cancelled; })) return;
        guard.unlock();
        if (auto self = weak.lock()) self->idleCheck(t.get());
        else return;
        guard.lock();
      }
    });
    timer = std::move(t);
  }

  // The check and the stop happen in one hold of `lock`, so a request that
  // begins meanwhile either keeps the server (inFlight) or finds it stopped.
  void idleCheck(IdleTimer* firing) {
    std::shared_ptr<ChildProcess> taken;
    std::shared_ptr<IdleTimer> self;
    {
      std::lock_guard guard(lock);
      if (timer.get() != firing) return;
      double idle = static_cast<double>(nowMicros() - lastUse) / 1e6;
      if (!(idle > timing.idleShutdown) || inFlight != 0) return;
      taken = std::move(proc);
      proc.reset();
      baseURL.reset();
      self = std::move(timer);
      timer.reset();
    }
    self->cancel();
    terminate(std::move(taken));
  }

  bool ensureStarted(const HandwritingSettings& settings, const StatusCallback& status,
                     std::stop_token stop) {
    std::unique_lock serial(startLock);
    bool waited = false;
    while (starting) {
      waited = true;
      if (!startChanged.wait(serial, stop, [this] { return !starting; })) return false;
    }
    // The start waited for failed: its reason is in lastError already.
    if (waited && lastOutcome == Outcome::failed) return false;
    starting = true;
    serial.unlock();

    Outcome outcome = Outcome::failed;
    try {
      outcome = start(settings, status, stop);
    } catch (const std::exception& e) {
      this->stop();
      setLastError(std::string("Couldn't start the handwriting reader: ") + e.what());
    } catch (...) {
      this->stop();
      setLastError("Couldn't start the handwriting reader.");
    }

    serial.lock();
    starting = false;
    lastOutcome = outcome;
    serial.unlock();
    startChanged.notify_all();
    return outcome == Outcome::ready;
  }

  void report(const StatusCallback& status, const std::string& text) {
    if (!status) return;
    try {
      status(text);
    } catch (...) {
      // The caller's display failing does not stop the start.
    }
  }

  Outcome start(const HandwritingSettings& settings, const StatusCallback& status,
                std::stop_token stop) {
    {
      std::lock_guard guard(lock);
      if (runningLocked()) {
        lastUse = nowMicros();
        return Outcome::ready;
      }
    }
    this->stop();  // clears a dead or half-started process

    if (!settings.isComplete() || !settings.serverPath || !settings.modelPath ||
        !settings.mmprojPath) {
      setLastError(kNotSetUp);
      return Outcome::failed;
    }

    const int port = freePort();
    const std::string& serverPath = *settings.serverPath;
    std::vector<std::string> args = {"-m",     *settings.modelPath, "--mmproj",
                                     *settings.mmprojPath,           "-ngl",
                                     std::to_string(settings.gpuLayers),
                                     "--host", "127.0.0.1",         "--port",
                                     std::to_string(port),           "-c",
                                     std::to_string(contextTokens), "-np", "1"};
    if (settings.gpuLayers < 1) args.push_back("--no-mmproj-offload");
    const std::string workDir = fs::path(serverPath).parent_path().string();
    // Given to the server in its environment, which only this user can read,
    // rather than on its command line, which every local user can.
    const std::string key = freshApiKey();
    const std::vector<std::string> env = serverEnvironment({"LLAMA_API_KEY=" + key});

    Timing limits;
    {
      std::lock_guard guard(lock);
      recentLog.clear();
      limits = timing;
      args.insert(args.end(), extraArguments.begin(), extraArguments.end());
    }

    // The reader thread holds the controller weakly and completes UTF-8
    // sequences split between two reads.
    std::weak_ptr<Impl> weak = weak_from_this();
    auto sink = [weak, carry = std::string()](std::string_view bytes) mutable {
      std::string chunk = std::move(carry);
      chunk.append(bytes);
      std::size_t held = incompleteTail(chunk);
      carry = chunk.substr(chunk.size() - held);
      chunk.resize(chunk.size() - held);
      if (auto self = weak.lock()) self->remember(replacingInvalidUtf8(chunk));
    };

    const auto startTime = SteadyClock::now();
    std::shared_ptr<ChildProcess> child;
    try {
      child = std::make_shared<ChildProcess>(serverPath, args, env, workDir, std::move(sink));
    } catch (const std::system_error& e) {
      std::string description = e.code().message();
      setLastError("Couldn't start the handwriting reader: " + description + ".");
      return Outcome::failed;
    }
    {
      std::lock_guard guard(lock);
      proc = child;
      apiKey = key;
    }
    report(status, kLoading);
    const std::string base = "http://127.0.0.1:" + std::to_string(port);

    std::mutex pauseMutex;
    std::condition_variable_any pause;
    while (true) {
      double elapsed = secondsSince(startTime);
      if (!(elapsed < limits.startTimeout)) {
        setLastError("The handwriting reader didn't become ready in " +
                     std::to_string(static_cast<long long>(limits.startTimeout)) + " seconds. " +
                     tail());
        this->stop();
        return Outcome::failed;
      }
      if (stop.stop_requested()) {
        this->stop();
        return Outcome::cancelled;
      }
      if (!child->running()) {
        // Its last words are often the reason: read them before quoting them.
        child->waitForOutputEnd(kOutputDrain);
        // A server from before image reading refuses its options and exits.
        if (recentLogHas(std::string(kUnknownOption) + "mmproj") ||
            recentLogHas(std::string(kUnknownOption) + "no-mmproj-offload"))
          setLastError(kTooOld + installHint());
        else
          setLastError("The handwriting reader stopped while loading (code " +
                       std::to_string(child->terminationStatus()) + "). " + tail());
        this->stop();
        return Outcome::failed;
      }
      long answer = 0;
      try {
        answer = httpRequest(base + "/health", nullptr, kHealthTimeout, key, stop).status;
      } catch (const TransportError&) {
        answer = 0;  // not up yet, or cancelled: the checks above decide
      }
      if (answer == 200) {
        std::lock_guard guard(lock);
        // A stop() during loading took the process: it is not ours to publish.
        if (proc == child) {
          baseURL = base;
          lastStartSeconds = tenths(secondsSince(startTime));
          lastError.reset();
          lastUse = nowMicros();
          startIdleTimerLocked();
          return Outcome::ready;
        }
      }
      std::unique_lock guard(pauseMutex);
      pause.wait_for(guard, stop, kHealthPause, [] { return false; });
    }
  }

  bool recentLogHas(const std::string& text) const {
    std::lock_guard guard(lock);
    return recentLog.find(text) != std::string::npos;
  }

  std::string post(const json& body, const std::string& base, const std::string& key,
                   double timeout, std::stop_token stop) {
    // Invalid UTF-8 in a text is replaced rather than failing the request.
    const std::string data = body.dump(-1, ' ', false, json::error_handler_t::replace);
    double limit = requestTimeout(timeout);
    HttpAnswer answer = httpRequest(base + "/v1/chat/completions", &data, limit, key, stop);
    if (answer.status == 400) {
      if (auto overflow = contextOverflow(answer.body)) {
        // The reply needs its room in the context too.
        const std::int64_t reply = body.value("max_tokens", std::int64_t{0});
        throw PromptTooLong(overflow->first, std::max<std::int64_t>(0, overflow->second - reply));
      }
    }
    if (answer.status != 200) {
      throw Failure("llama-server HTTP " + std::to_string(answer.status) + ": " +
                    replacingInvalidUtf8(std::string_view(answer.body).substr(0, 300)));
    }
    json parsed = json::parse(answer.body);  // a parse error passes through
    if (!parsed.is_object()) throw Failure(kUnreadableAnswer);
    auto choices = parsed.find("choices");
    if (choices == parsed.end() || !choices->is_array() || choices->empty())
      throw Failure(kUnreadableAnswer);
    for (const json& choice : *choices)
      if (!choice.is_object()) throw Failure(kUnreadableAnswer);
    auto message = choices->front().find("message");
    if (message == choices->front().end() || !message->is_object()) throw Failure(kUnreadableAnswer);
    auto content = message->find("content");
    if (content == message->end() || !content->is_string()) return "";
    return content->get<std::string>();
  }

  double requestTimeout(double callerTimeout) const {
    Timing t;
    {
      std::lock_guard guard(lock);
      t = timing;
    }
    double wanted = std::isnan(callerTimeout) ? t.minRequestTimeout : callerTimeout;
    return std::min(std::max(wanted, t.minRequestTimeout), t.maxRequestTimeout);
  }

  // Ends a request counted in `inFlight`: uncounts it and marks the use.
  struct Counted {
    Impl* impl;
    ~Counted() {
      {
        std::lock_guard guard(impl->lock);
        --impl->inFlight;
      }
      std::lock_guard guard(impl->lock);
      impl->lastUse = nowMicros();
    }
  };

  std::optional<std::int64_t> countTokens(const std::string& text, std::stop_token stop) {
    std::string base, key;
    {
      std::lock_guard guard(lock);
      if (!runningLocked()) return std::nullopt;
      ++inFlight;
      base = *baseURL;
      key = apiKey;
    }
    Counted counted{this};
    const std::string data = json{{"content", text}, {"add_special", true}}.dump(
        -1, ' ', false, json::error_handler_t::replace);
    try {
      HttpAnswer answer = httpRequest(base + "/tokenize", &data, requestTimeout(0), key, stop);
      if (answer.status != 200) return std::nullopt;
      json parsed = json::parse(answer.body, nullptr, /*allow_exceptions=*/false);
      if (!parsed.is_object() || !parsed.contains("tokens") || !parsed["tokens"].is_array())
        return std::nullopt;
      return static_cast<std::int64_t>(parsed["tokens"].size());
    } catch (const TransportError& e) {
      if (e.cancelled()) throw;
      return std::nullopt;
    }
  }

  // The common frame of chat and image reading: counts the request in flight
  // and marks the use on every way out.
  template <typename MakeBody>
  std::string send(const char* notRunning, double timeout, std::stop_token stop, MakeBody makeBody) {
    std::optional<std::string> base;
    std::string key;
    bool running = false;
    {
      std::lock_guard guard(lock);
      ++inFlight;
      base = baseURL;
      key = apiKey;
      running = runningLocked();
    }
    Counted counted{this};
    if (!base || !running) throw Failure(notRunning);
    {
      std::lock_guard guard(lock);
      lastUse = nowMicros();
    }
    return post(makeBody(), *base, key, timeout, stop);
  }
};

// ---------------------------------------------------------------------------

PromptTooLong::PromptTooLong(std::int64_t promptTokens, std::int64_t limitTokens)
    : Failure("This is more text than the reader can take in at once."),
      promptTokens_(promptTokens),
      limitTokens_(limitTokens) {}

double PromptTooLong::allowedChars(const std::string& sent) const {
  if (promptTokens_ <= 0) return 0;
  return static_cast<double>(limitTokens_) * static_cast<double>(text::graphemeCount(sent)) /
         static_cast<double>(promptTokens_) * 0.9;
}

const std::string& LlamaServer::installHint() {
  static const std::string text =
      "To get one, run scripts/install-reader.sh from Quorvel Ink's source folder, or install "
      "llama.cpp from your distribution, so that llama-server is on PATH.";
  return text;
}

LlamaServer::LlamaServer() : impl_(std::make_shared<Impl>()) {}

LlamaServer::~LlamaServer() { impl_->stop(); }

bool LlamaServer::ensureStarted(const HandwritingSettings& settings, const StatusCallback& status,
                                std::stop_token stop) {
  return impl_->ensureStarted(settings, status, stop);
}

bool LlamaServer::isRunning() const {
  std::lock_guard guard(impl_->lock);
  return impl_->runningLocked();
}

void LlamaServer::stop() { impl_->stop(); }

void LlamaServer::stopNow() { impl_->stopNow(); }

std::optional<std::string> LlamaServer::lastError() const {
  std::lock_guard guard(impl_->lock);
  return impl_->lastError;
}

std::optional<double> LlamaServer::lastStartSeconds() const {
  std::lock_guard guard(impl_->lock);
  return impl_->lastStartSeconds;
}

std::string LlamaServer::chat(const std::optional<std::string>& system, const std::string& user,
                              std::int64_t maxTokens, double temperature, double timeout,
                              std::stop_token stop) {
  return impl_->send(kReaderNotRunning, timeout, stop, [&] {
    json messages = json::array();
    if (system && !system->empty()) messages.push_back({{"role", "system"}, {"content", *system}});
    messages.push_back({{"role", "user"}, {"content", user}});
    return json{{"model", "quorvel"},      {"messages", messages},  {"temperature", temperature},
                {"max_tokens", maxTokens}, {"repeat_penalty", 1.1}, {"stream", false}};
  });
}

std::string LlamaServer::readImage(const std::string& path, const std::string& prompt,
                                   std::int64_t maxTokens, double timeout, std::stop_token stop) {
  return impl_->send(kHandwritingNotRunning, timeout, stop, [&] {
    json parts = json::array();
    parts.push_back({{"type", "image_url"},
                     {"image_url", {{"url", "data:image/jpeg;base64," + base64(readFileBytes(path))}}}});
    parts.push_back({{"type", "text"}, {"text", prompt}});
    json message = {{"role", "user"}, {"content", parts}};
    return json{{"model", "quorvel"},      {"messages", json::array({message})},
                {"temperature", 0},        {"max_tokens", maxTokens},
                {"repeat_penalty", 1.2},   {"stream", false}};
  });
}

LlamaServer::Timing LlamaServer::timing() const {
  std::lock_guard guard(impl_->lock);
  return impl_->timing;
}

void LlamaServer::setTiming(const Timing& timing) {
  std::lock_guard guard(impl_->lock);
  impl_->timing = timing;
}

double LlamaServer::requestTimeout(double callerTimeout) const {
  return impl_->requestTimeout(callerTimeout);
}

std::optional<std::int64_t> LlamaServer::countTokens(const std::string& text,
                                                     std::stop_token stop) {
  return impl_->countTokens(text, stop);
}

void LlamaServer::setExtraArguments(const std::vector<std::string>& arguments) {
  std::lock_guard guard(impl_->lock);
  impl_->extraArguments = arguments;
}

std::optional<int> LlamaServer::processId() const {
  std::lock_guard guard(impl_->lock);
  if (!impl_->proc) return std::nullopt;
  return static_cast<int>(impl_->proc->pid());
}

int LlamaServer::inFlight() const {
  std::lock_guard guard(impl_->lock);
  return impl_->inFlight;
}

TimePoint LlamaServer::lastUse() const {
  std::lock_guard guard(impl_->lock);
  return impl_->lastUse;
}

std::string LlamaServer::recentLog() const {
  std::lock_guard guard(impl_->lock);
  return impl_->recentLog;
}

std::optional<std::string> LlamaServer::baseURL() const {
  std::lock_guard guard(impl_->lock);
  return impl_->baseURL;
}

// ---------------------------------------------------------------------------
// Left-over servers

namespace {

// Through syscall(): glibc 2.36's <sys/pidfd.h> lacks extern "C" for C++.
int openPidfd(pid_t pid) { return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)); }

int signalPidfd(int pidfd, int sig) {
  return static_cast<int>(::syscall(SYS_pidfd_send_signal, pidfd, sig, nullptr, 0));
}

std::optional<pid_t> parentOf(int procDir) {
  int fd = ::openat(procDir, "stat", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  char buffer[1024];
  ssize_t n = ::read(fd, buffer, sizeof buffer - 1);
  ::close(fd);
  if (n <= 0) return std::nullopt;
  std::string_view stat(buffer, static_cast<std::size_t>(n));
  // "pid (name) state ppid ...": the name may hold spaces and parentheses.
  std::size_t close = stat.rfind(')');
  if (close == std::string_view::npos || close + 4 >= stat.size()) return std::nullopt;
  std::string rest(stat.substr(close + 4));  // past ") S "
  return static_cast<pid_t>(std::strtol(rest.c_str(), nullptr, 10));
}

std::string executableOf(int procDir) {
  char buffer[4096];
  ssize_t n = ::readlinkat(procDir, "exe", buffer, sizeof buffer);
  return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
}

std::string firstArgumentOf(int procDir) {
  int fd = ::openat(procDir, "cmdline", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return {};
  char buffer[4096];
  ssize_t n = ::read(fd, buffer, sizeof buffer);
  ::close(fd);
  if (n <= 0) return {};
  return std::string(buffer, strnlen(buffer, static_cast<std::size_t>(n)));
}

}  // namespace

int LlamaServer::killOrphans(const std::optional<std::string>& serverPath) {
  if (!serverPath || serverPath->empty()) return 0;
  std::string root = fs::path(QuorvelPaths::dataRoot() + "/runtime").lexically_normal().string();
  while (root.size() > 1 && root.back() == '/') root.pop_back();
  root += "/";
  if (fs::path(*serverPath).lexically_normal().string().rfind(root, 0) != 0) return 0;

  std::error_code ignored;
  const std::string resolved = fs::weakly_canonical(*serverPath, ignored).string();
  const pid_t self = ::getpid();
  auto matches = [&](const std::string& exe, const std::string& argv0) {
    if (argv0 == *serverPath) return true;
    for (const std::string& candidate : {*serverPath, resolved})
      if (!candidate.empty() && (exe == candidate || exe == candidate + " (deleted)")) return true;
    return false;
  };

  DIR* proc = ::opendir("/proc");
  if (!proc) return 0;
  int count = 0;
  while (dirent* entry = ::readdir(proc)) {
    char* end = nullptr;
    long value = std::strtol(entry->d_name, &end, 10);
    if (*entry->d_name == '\0' || *end != '\0' || value <= 0 || value > INT32_MAX) continue;
    const pid_t pid = static_cast<pid_t>(value);
    if (pid == self) continue;
    // Hold the process by a pidfd while it is checked, so the signal goes to
    // the process that was checked even if its pid is recycled meanwhile.
    int pidfd = openPidfd(pid);
    if (pidfd < 0 && errno != ENOSYS) continue;
    int dir = ::openat(::dirfd(proc), entry->d_name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    bool leftOver = false;
    if (dir >= 0) {
      auto parent = parentOf(dir);
      // Our own children are servers we started: never left-overs.
      leftOver = parent && *parent != self && matches(executableOf(dir), firstArgumentOf(dir));
      ::close(dir);
    }
    if (leftOver) {
      int sent = pidfd >= 0 ? signalPidfd(pidfd, SIGKILL) : ::kill(pid, SIGKILL);
      if (sent == 0) ++count;
    }
    if (pidfd >= 0) ::close(pidfd);
  }
  ::closedir(proc);
  return count;
}

}  // namespace quorvel
