// One ranged HTTP GET into a local file, on libcurl.
#include <curl/curl.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <exception>
#include <memory>
#include <mutex>
#include <system_error>
#include <utility>

#include "core/curl_support.h"
#include "core/failure.h"
#include "core/llama_server.h"
#include "core/model_delivery.h"

namespace quorvel {

namespace {

using SteadyClock = std::chrono::steady_clock;

constexpr auto kProgressPeriod = std::chrono::milliseconds(250);
constexpr long kResourceTimeoutSeconds = 86400;
const char* const kUserAgent = "QuorvelInk/1.0 (+https://quorvel.ink)";


// The state of one request, touched only by the thread running fetch().
struct Transfer {
  std::string path;
  std::int64_t have = 0;
  bool restarted = false;
  bool answered = false;  // the response's status has been looked at
  bool refused = false;   // 416: the file was deleted
  int fd = -1;
  std::exception_ptr failure;
  const std::function<void(std::int64_t)>* onProgress = nullptr;
  SteadyClock::time_point lastReport = SteadyClock::time_point::min();
  CURL* easy = nullptr;
  std::chrono::duration<double> idle{60};
  SteadyClock::time_point lastActivity = SteadyClock::now();
  curl_off_t lastBytes = 0;
  bool timedOut = false;

  ~Transfer() { closeFile(); }

  void closeFile() {
    if (fd >= 0) ::close(std::exchange(fd, -1));  // a close error changes nothing now
  }

  void report() {
    if (*onProgress) (*onProgress)(have);
  }

  // Looks at the status once, before the first body byte is kept. False: stop the transfer.
  bool answer() {
    answered = true;
    long status = 0;
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
    if (status != 200 && status != 206 && status != 416) {
      failure = std::make_exception_ptr(
          Failure("The server answered " + std::to_string(status) + "."));
      return false;
    }
    if (status == 416) {
      ::unlink(path.c_str());  // gone or not, the next request starts at 0
      have = 0;
      restarted = true;
      refused = true;
      return false;
    }
    if (status == 200 && have > 0) {
      have = 0;
      restarted = true;
    }
    int flags = O_WRONLY | O_CLOEXEC | (have == 0 ? O_CREAT | O_TRUNC : 0);
    fd = ::open(path.c_str(), flags, 0644);
    if (fd < 0) {
      failure = std::make_exception_ptr(Failure("Couldn't write to the download folder."));
      return false;
    }
    if (have >= 1 && ::lseek(fd, 0, SEEK_END) < 0) {
      failure = std::make_exception_ptr(std::system_error(errno, std::system_category(), path));
      return false;
    }
    return true;
  }

  bool write(const char* data, std::size_t n) {
    std::size_t written = 0;
    while (written < n) {
      ssize_t w = ::write(fd, data + written, n - written);
      if (w < 0 && errno == EINTR) continue;
      if (w < 0) {
        failure = std::make_exception_ptr(std::system_error(errno, std::system_category(), path));
        return false;
      }
      written += static_cast<std::size_t>(w);
    }
    have += static_cast<std::int64_t>(n);
    SteadyClock::time_point now = SteadyClock::now();
    if (lastReport == SteadyClock::time_point::min() || now - lastReport > kProgressPeriod) {
      lastReport = now;
      report();
    }
    return true;
  }
};

// Never throws: libcurl is C.
std::size_t receive(char* data, std::size_t size, std::size_t count, void* user) {
  auto* t = static_cast<Transfer*>(user);
  std::size_t n = size * count;
  try {
    if (!t->answered && !t->answer()) return 0;
    if (t->fd < 0) return n;
    return t->write(data, n) ? n : 0;
  } catch (...) {
    t->failure = std::current_exception();
    return 0;
  }
}

// Ends the request when no byte has come or gone for `idle`.
int watch(void* user, curl_off_t, curl_off_t received, curl_off_t, curl_off_t sent) {
  auto* t = static_cast<Transfer*>(user);
  SteadyClock::time_point now = SteadyClock::now();
  if (received + sent != t->lastBytes) {
    t->lastBytes = received + sent;
    t->lastActivity = now;
  }
  if (now - t->lastActivity <= t->idle) return 0;
  t->timedOut = true;
  return 1;
}

}  // namespace

ChunkedDownload::Result ChunkedDownload::fetch(const std::string& url, const std::string& to,
                                               std::int64_t resumeAt,
                                               const std::function<void(std::int64_t)>& onProgress,
                                               std::stop_token stop) {
  curl::initOnce();
  {
    curl::Url parsed(curl_url());
    if (!parsed || curl_url_set(parsed.get(), CURLUPART_URL, url.c_str(), 0) != CURLUE_OK)
      throw Failure("Bad download address.");
  }
  if (stop.stop_requested()) throw Cancelled();

  DeliveryNetwork::Settings settings = DeliveryNetwork::settings();
  curl::Easy easy(curl_easy_init());
  curl::Multi multi(curl_multi_init());
  if (!easy || !multi) throw std::bad_alloc();

  Transfer transfer;
  transfer.path = to;
  transfer.have = resumeAt;
  transfer.onProgress = &onProgress;
  transfer.easy = easy.get();

  char errorText[CURL_ERROR_SIZE] = "";
  CURL* c = easy.get();
  curl_easy_setopt(c, CURLOPT_URL, url.c_str());
  curl::setWebDefaults(c, settings.extraCaBundle);
  curl_easy_setopt(c, CURLOPT_USERAGENT, kUserAgent);
  curl_easy_setopt(c, CURLOPT_ERRORBUFFER, errorText);
  transfer.idle = std::chrono::duration<double>(settings.downloadIdleSeconds);
  curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, watch);
  curl_easy_setopt(c, CURLOPT_XFERINFODATA, &transfer);
  curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(c, CURLOPT_TIMEOUT, kResourceTimeoutSeconds);
  std::string range = std::to_string(resumeAt) + "-";
  if (resumeAt > 0) curl_easy_setopt(c, CURLOPT_RANGE, range.c_str());
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, receive);
  curl_easy_setopt(c, CURLOPT_WRITEDATA, &transfer);

  if (curl_multi_add_handle(multi.get(), c) != CURLM_OK) throw std::bad_alloc();
  CURLcode outcome = CURLE_OK;
  bool finished = false;
  {
    // Declared after the handles, so it is gone before they are.
    std::stop_callback wake(stop, [m = multi.get()] { curl_multi_wakeup(m); });
    while (!stop.stop_requested()) {
      int running = 0;
      curl_multi_perform(multi.get(), &running);
      int queued = 0;
      while (CURLMsg* message = curl_multi_info_read(multi.get(), &queued)) {
        if (message->msg == CURLMSG_DONE) {
          outcome = message->data.result;
          finished = true;
        }
      }
      if (finished || running == 0) break;
      curl_multi_poll(multi.get(), nullptr, 0, 500, nullptr);
    }
  }
  curl_multi_remove_handle(multi.get(), c);
  transfer.closeFile();

  if (transfer.failure) std::rethrow_exception(transfer.failure);
  if (transfer.refused) return {0, true};
  if (!finished) throw Cancelled();
  if (outcome != CURLE_OK) {
    if (stop.stop_requested()) throw Cancelled();
    if (transfer.timedOut) outcome = CURLE_OPERATION_TIMEDOUT;
    throw curl::transportError(outcome, errorText);
  }
  // No body at all: the status is only known now.
  if (!transfer.answered) {
    transfer.answer();
    transfer.closeFile();
    if (transfer.failure) std::rethrow_exception(transfer.failure);
    if (transfer.refused) return {0, true};
  }
  transfer.report();
  return {transfer.have, transfer.restarted};
}

}  // namespace quorvel
