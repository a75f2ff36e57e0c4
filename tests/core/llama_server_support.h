#pragma once
// Helpers of the model-server tests, stand-in and real alike: a server held by
// another program (llama-server-holder), for tests that kill that program; a
// request made around LlamaServer; whether a process still runs.
#include <curl/curl.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "core/handwriting_engine.h"
#include "test_support.h"

extern char** environ;

namespace quorvel::testing {

// Alive and not a zombie waiting to be reaped.
inline bool alive(int pid) {
  std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
  if (stat.empty()) return false;
  std::size_t close = stat.rfind(')');
  return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] != 'Z';
}

// The HTTP status of a request made without LlamaServer (0 when none came):
// POST with `body` unless it is empty, with `header` when not empty.
inline long httpStatus(const std::string& url, const std::string& body = {},
                       const std::string& header = {}) {
  CURL* curl = curl_easy_init();
  if (!curl) return 0;
  curl_slist* headers = curl_slist_append(nullptr, "Content-Type: application/json");
  if (!header.empty()) headers = curl_slist_append(headers, header.c_str());
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_NOPROXY, "*");
  curl_easy_setopt(curl, CURLOPT_TIMEOUT, 60L);
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION,
                   +[](char*, std::size_t size, std::size_t count, void*) { return size * count; });
  if (!body.empty()) curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.c_str());
  long status = 0;
  if (curl_easy_perform(curl) == CURLE_OK) curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
  curl_slist_free_all(headers);
  curl_easy_cleanup(curl);
  return status;
}

struct HeldServer {
  pid_t holder = -1;  // the holding program, a child of this process
  int server = 0;     // the server it started; 0 when it didn't
  std::string output; // what the holder wrote (its failure, when it has one)
};

// Starts the holder with the settings' paths and waits up to `seconds` for
// its server to be ready.
inline HeldServer holdServer(const HandwritingSettings& settings,
                             const std::vector<std::string>& extra = {}, int seconds = 120) {
  HeldServer held;
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return held;
  std::vector<std::string> args = {std::string(QUORVEL_TOOLS_DIR) + "/llama-server-holder",
                                   *settings.serverPath, *settings.modelPath, *settings.mmprojPath};
  args.insert(args.end(), extra.begin(), extra.end());
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
  int error = ::posix_spawn(&held.holder, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(fds[1]);
  if (error != 0) {
    ::close(fds[0]);
    held.holder = -1;
    return held;
  }
  pollfd wait{fds[0], POLLIN, 0};
  char buffer[4096];
  while (held.output.find('\n') == std::string::npos && ::poll(&wait, 1, seconds * 1000) > 0) {
    ssize_t n = ::read(fds[0], buffer, sizeof buffer);
    if (n <= 0) break;
    held.output.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fds[0]);
  held.server = std::atoi(held.output.c_str());
  return held;
}

// Kills the holder as kill -9 would and reaps it; true when its server is
// gone within `seconds` too.
inline bool killHolderAndItsServerEnds(const HeldServer& held, double seconds = 10) {
  if (held.holder <= 0 || ::kill(held.holder, SIGKILL) != 0) return false;
  ::waitpid(held.holder, nullptr, 0);
  for (int waited = 0; waited < seconds * 100; ++waited) {
    if (!alive(held.server)) return true;
    ::usleep(10000);
  }
  return !alive(held.server);
}

}  // namespace quorvel::testing
