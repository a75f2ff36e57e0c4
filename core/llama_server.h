#pragma once
// The controller of the local model server: a llama-server child process on
// 127.0.0.1, started on demand, checked for readiness, stopped when idle, and
// the chat and image requests sent to it.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <stop_token>
#include <string>
#include <vector>

#include "core/failure.h"
#include "core/models.h"

namespace quorvel {

struct HandwritingSettings;

// A request that failed below HTTP: no connection, a time-out, a dropped
// connection, or the caller's cancellation. what() is a sentence for the user.
class TransportError : public std::runtime_error {
 public:
  enum class Kind { cancelled, timedOut, cannotConnect, connectionLost, other };
  TransportError(Kind kind, const std::string& message) : std::runtime_error(message), kind_(kind) {}
  Kind kind() const { return kind_; }
  bool cancelled() const { return kind_ == Kind::cancelled; }

 private:
  Kind kind_;
};

// One controller per process (the handwriting engine owns it). Every operation
// may be called from any thread. Blocking calls take a stop token: a stop
// request ends a start or aborts a request in flight at once.
// The owner joins the threads that call it before destroying it; destruction
// calls stop().
// A prompt longer than the model can take in with room for its reply; what()
// is a sentence for the user. The counts tell a caller how far to shorten it.
class PromptTooLong : public Failure {
 public:
  PromptTooLong(std::int64_t promptTokens, std::int64_t limitTokens);
  std::int64_t promptTokens() const { return promptTokens_; }  // the prompt as counted
  std::int64_t limitTokens() const { return limitTokens_; }    // the most that fits
  // The characters a prompt like `sent`, the one found too long, may hold to
  // fit, at the rate it was counted and with a tenth to spare (a part of it
  // may cost more tokens than the whole on average).
  double allowedChars(const std::string& sent) const;
 private:
  std::int64_t promptTokens_;
  std::int64_t limitTokens_;
};

class LlamaServer {
 public:
  // The context the server is started with ("-c"): prompt and reply of one
  // request together, in tokens.
  static constexpr std::int64_t contextTokens = 4096;

  // How a person gets a llama-server that Quorvel Ink can use, one sentence.
  static const std::string& installHint();

  // Receives status texts; may be called from any thread.
  using StatusCallback = std::function<void(const std::string&)>;

  // Periods and limits in seconds. Nothing in the application changes them;
  // tests shorten them.
  struct Timing {
    double idleShutdown = 180;       // idle time after which the server is stopped
    double startTimeout = 240;       // time allowed to become ready
    double idleCheckPeriod = 30;     // period of the idle check
    double minRequestTimeout = 60;   // a request's time-out is never shorter
    double maxRequestTimeout = 3600; // nor longer
  };

  LlamaServer();
  ~LlamaServer();
  LlamaServer(const LlamaServer&) = delete;
  LlamaServer& operator=(const LlamaServer&) = delete;

  // Every start runs the server with a fresh random API key, which every
  // request sends (only /health answers without it), and without the
  // caller's LLAMA_API_KEY and LLAMA_ARG_* variables. The server is killed
  // when this process ends, however it ends.
  // Blocks until the server answers GET /health with 200. True when it is
  // ready (at once when it already runs: only the time of last use is
  // refreshed). False when it cannot be started, with the reason in
  // lastError(), or when `stop` was requested (lastError() unchanged).
  // Concurrent calls are serialised: a call arriving during a start waits for
  // it and takes its result (a start that was cancelled is made again).
  bool ensureStarted(const HandwritingSettings& settings, const StatusCallback& status = {},
                     std::stop_token stop = {});

  // The process is alive and has answered its health check.
  bool isRunning() const;

  // Forgets the process, its address and the idle timer; asks the process to
  // terminate and kills it 2 seconds later if it still runs. Returns at once.
  void stop();
  // Forgets the process like stop(), kills it at once and waits for its exit.
  void stopNow();

  // Kills model servers left over from an earlier run: processes whose
  // executable or argv[0] is `serverPath`, when that path lies in the data
  // folder's runtime folder. This process and its own children are never
  // touched. Returns how many were killed; failures give a smaller count.
  static int killOrphans(const std::optional<std::string>& serverPath);

  // The reason of the last failed start; cleared by a successful one.
  std::optional<std::string> lastError() const;
  // Seconds the last successful start took, to one decimal.
  std::optional<double> lastStartSeconds() const;

  // A text chat: an optional system text (left out when empty) and the user
  // text; returns the reply (empty when the answer holds no text). Throws
  // Failure "The reader isn't running." when the server is not ready,
  // PromptTooLong when the server finds the prompt longer than its context,
  // Failure for another HTTP status than 200 or an unreadable answer,
  // TransportError for connection failures, time-outs and cancellation, and
  // nlohmann::json::parse_error for a body that is not JSON.
  std::string chat(const std::optional<std::string>& system, const std::string& user,
                   std::int64_t maxTokens, double temperature, double timeout,
                   std::stop_token stop = {});
  // Reads one JPEG image file with a prompt; as chat(), but "The handwriting
  // reader isn't running." when not ready, and std::system_error when the
  // file cannot be read.
  std::string readImage(const std::string& path, const std::string& prompt,
                        std::int64_t maxTokens, double timeout, std::stop_token stop = {});

  Timing timing() const;
  void setTiming(const Timing& timing);
  // The time-out a request with this caller time-out gets: at least
  // minRequestTimeout, at most maxRequestTimeout.
  double requestTimeout(double callerTimeout) const;

  // The number of tokens the running model makes of `text`, chat template
  // not included; none when the server cannot count (not running, an older
  // server, a failed request). Throws TransportError on cancellation only.
  std::optional<std::int64_t> countTokens(const std::string& text, std::stop_token stop = {});

  // Arguments put after the command line at the next start; only tests set
  // them (one thread for a tiny model on a loaded machine).
  void setExtraArguments(const std::vector<std::string>& arguments);

  // State, for the status line and for tests.
  std::optional<int> processId() const;     // the server's pid while one is started
  int inFlight() const;                      // requests currently sent
  TimePoint lastUse() const;                 // last start confirmation or request end
  std::string recentLog() const;             // the server's latest output, bounded
  std::optional<std::string> baseURL() const;  // "http://127.0.0.1:<port>" once ready

  struct Impl;

 private:
  std::shared_ptr<Impl> impl_;  // shared weakly with the output reader and the idle timer
};

}  // namespace quorvel
