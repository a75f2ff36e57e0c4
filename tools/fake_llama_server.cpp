// A stand-in for llama-server in tests. It takes the same command line, listens
// on --host/--port, answers GET /health and POST /v1/chat/completions, and
// plays the scenario written as JSON into the file given with -m (a real model
// file, or anything that is not a JSON object, plays the default scenario:
// ready at once, every chat answered with "fake reply").
//
// Scenario keys (all optional):
//   "output", "stderr"   texts written to stdout / stderr at start
//   "loadSeconds"        /health answers 503 for this long, then 200
//   "neverReady"         /health always answers 503
//   "exitAfterSeconds"   exit with "exitCode" (default 1) this long after start
//   "ignoreSigterm"      SIGTERM is ignored
//   "detach"             the started process exits at once and a detached copy
//                        (new session, parent pid 1 or a subreaper) serves
//   "onceOnly"           a start after the first one (a line in "fake-launches.txt")
//                        is recorded, then exits at once with status 2: a restart fails
//   "rejectArgument"     an option this server doesn't know, as a server from before
//                        image reading: given it, print "error: invalid argument: <it>"
//                        and exit with status 1 before listening
//   "replies"            chat replies in order, the last one repeated:
//                        {"status": 200, "content": text | "body": raw text | "json": value,
//                         "delaySeconds": n, "crash": true (exit 3 without answering)}
// With LLAMA_API_KEY in its environment, as the real server, every request but
// GET /health needs "Authorization: Bearer <key>" and is refused with 401 without.
// Records, beside the scenario file: "fake-argv.json" ({"argv", "cwd", "pid", "env":
// the LLAMA_* variables of its environment},
// written once listening), "fake-launches.txt" (one pid a line, appended at
// every start) and "fake-request-<n>.json" (each chat body, n from 1).
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "core/paths.h"

namespace {

using nlohmann::json;
using Clock = std::chrono::steady_clock;

json scenario = json::object();
std::string recordDir;
Clock::time_point started;
std::atomic<int> requestCount{0};
std::string apiKey;

double number(const char* key, double fallback) {
  auto it = scenario.find(key);
  return (it != scenario.end() && it->is_number()) ? it->get<double>() : fallback;
}

bool flag(const char* key) {
  auto it = scenario.find(key);
  return it != scenario.end() && it->is_boolean() && it->get<bool>();
}

std::string text(const json& object, const char* key) {
  auto it = object.find(key);
  return (it != object.end() && it->is_string()) ? it->get<std::string>() : std::string();
}

void sleepSeconds(double seconds) {
  if (seconds > 0) std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

void sendAll(int fd, const std::string& bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return;
    sent += static_cast<std::size_t>(n);
  }
}

void respond(int fd, int status, const std::string& body) {
  std::string reason = status == 200 ? "OK" : status == 503 ? "Service Unavailable" : "Error";
  sendAll(fd, "HTTP/1.1 " + std::to_string(status) + " " + reason +
                  "\r\nContent-Type: application/json\r\nContent-Length: " +
                  std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body);
}

json replyFor(int n) {
  auto it = scenario.find("replies");
  if (it == scenario.end() || !it->is_array() || it->empty()) return json{{"content", "fake reply"}};
  std::size_t index = std::min<std::size_t>(static_cast<std::size_t>(n - 1), it->size() - 1);
  return (*it)[index];
}

void answerChat(int fd, const std::string& body) {
  int n = ++requestCount;
  quorvel::writeFileAtomically(recordDir + "/fake-request-" + std::to_string(n) + ".json", body);
  json reply = replyFor(n);
  sleepSeconds(reply.value("delaySeconds", 0.0));
  if (reply.value("crash", false)) {
    std::fflush(nullptr);
    ::_exit(3);
  }
  int status = reply.value("status", 200);
  std::string out;
  if (reply.contains("body")) {
    out = text(reply, "body");
  } else if (reply.contains("json")) {
    out = reply["json"].dump();
  } else {
    out = json{{"choices", json::array({json{{"index", 0},
                                             {"message", {{"role", "assistant"},
                                                          {"content", text(reply, "content")}}}}})}}
              .dump();
  }
  respond(fd, status, out);
}

bool ready() {
  if (flag("neverReady")) return false;
  std::chrono::duration<double> since = Clock::now() - started;
  return since.count() >= number("loadSeconds", 0);
}

void serve(int fd) {
  std::string data;
  char buffer[65536];
  std::size_t headerEnd = std::string::npos;
  while ((headerEnd = data.find("\r\n\r\n")) == std::string::npos) {
    ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) return void(::close(fd));
    data.append(buffer, static_cast<std::size_t>(n));
  }
  std::string head = data.substr(0, headerEnd);
  std::string lower = head;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  std::size_t length = 0;
  if (auto at = lower.find("\r\ncontent-length:"); at != std::string::npos)
    length = std::strtoul(lower.c_str() + at + 17, nullptr, 10);
  if (lower.find("\r\nexpect: 100-continue") != std::string::npos)
    sendAll(fd, "HTTP/1.1 100 Continue\r\n\r\n");
  std::string body = data.substr(headerEnd + 4);
  while (body.size() < length) {
    ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) return void(::close(fd));
    body.append(buffer, static_cast<std::size_t>(n));
  }
  std::string line = head.substr(0, head.find("\r\n"));
  bool authorised = apiKey.empty();
  if (auto at = lower.find("\r\nauthorization:"); !authorised && at != std::string::npos) {
    std::size_t from = head.find_first_not_of(' ', at + 16);
    authorised = from != std::string::npos &&
                 head.substr(from, head.find("\r\n", from) - from) == "Bearer " + apiKey;
  }
  if (line.rfind("GET /health ", 0) != 0 && !authorised) {
    respond(fd, 401, R"({"error":{"message":"Invalid API Key","type":"authentication_error","code":401}})");
  } else if (line.rfind("GET /health ", 0) == 0) {
    if (ready())
      respond(fd, 200, R"({"status":"ok"})");
    else
      respond(fd, 503, R"({"error":{"code":503,"message":"Loading model"}})");
  } else if (line.rfind("POST /v1/chat/completions ", 0) == 0) {
    if (ready())
      answerChat(fd, body);
    else
      respond(fd, 503, R"({"error":{"code":503,"message":"Loading model"}})");
  } else {
    respond(fd, 404, R"({"error":"not found"})");
  }
  ::close(fd);
}

int fail(const std::string& message) {
  std::cerr << "fake-llama-server: " << message << std::endl;
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  started = Clock::now();
  std::vector<std::string> args(argv, argv + argc);
  std::string model, host = "127.0.0.1";
  int port = 8080;
  for (std::size_t i = 1; i < args.size(); ++i) {
    const std::string& a = args[i];
    bool valued = a == "-m" || a == "--mmproj" || a == "-ngl" || a == "--host" || a == "--port" ||
                  a == "-c" || a == "-np";
    if (a == "--no-mmproj-offload") continue;
    if (!valued) return fail("unknown argument " + a);
    if (i + 1 >= args.size()) return fail("missing value for " + a);
    const std::string& v = args[++i];
    if (a == "-m") model = v;
    if (a == "--host") host = v;
    if (a == "--port") port = std::atoi(v.c_str());
  }
  if (model.empty()) return fail("no model");
  recordDir = std::filesystem::path(model).parent_path().string();
  std::string raw;
  if (quorvel::readWholeFile(model, raw)) {
    json parsed = json::parse(raw, nullptr, /*allow_exceptions=*/false);
    if (parsed.is_object()) scenario = parsed;
  }

  std::string earlierLaunches;
  bool refuse = flag("onceOnly") &&
                quorvel::readWholeFile(recordDir + "/fake-launches.txt", earlierLaunches) &&
                !earlierLaunches.empty();
  if (flag("detach")) {
    pid_t child = ::fork();
    if (child < 0) return fail("fork failed");
    if (child > 0) ::_exit(0);
    ::setsid();
  }
  {
    std::string line = std::to_string(::getpid()) + "\n";
    int fd = ::open((recordDir + "/fake-launches.txt").c_str(),
                    O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd >= 0) {
      [[maybe_unused]] ssize_t n = ::write(fd, line.data(), line.size());
      ::close(fd);
    }
  }
  if (refuse) return fail("refusing a second start");
  if (std::string rejected = text(scenario, "rejectArgument"); !rejected.empty())
    for (const std::string& a : args)
      if (a == rejected) {
        std::cerr << "error: invalid argument: " << a << std::endl;
        return 1;
      }
  if (const char* key = std::getenv("LLAMA_API_KEY")) apiKey = key;
  if (flag("ignoreSigterm")) ::signal(SIGTERM, SIG_IGN);
  ::signal(SIGPIPE, SIG_IGN);

  std::cout << text(scenario, "output") << std::flush;
  std::cerr << text(scenario, "stderr") << std::flush;

  int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int yes = 1;
  ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  if (::inet_pton(AF_INET, host.c_str(), &address.sin_addr) != 1) return fail("bad host " + host);
  if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener, 16) != 0)
    return fail("couldn't bind " + host + ":" + std::to_string(port));

  std::error_code ignored;
  json env = json::object();
  for (char** entry = environ; *entry; ++entry) {
    std::string variable(*entry);
    if (variable.rfind("LLAMA_", 0) == 0)
      env[variable.substr(0, variable.find('='))] = variable.substr(variable.find('=') + 1);
  }
  json record = {{"argv", args},
                 {"cwd", std::filesystem::current_path(ignored).string()},
                 {"pid", static_cast<int>(::getpid())},
                 {"env", env}};
  quorvel::writeFileAtomically(recordDir + "/fake-argv.json", record.dump());

  if (scenario.contains("exitAfterSeconds")) {
    std::thread([] {
      sleepSeconds(number("exitAfterSeconds", 0));
      std::fflush(nullptr);
      ::_exit(static_cast<int>(number("exitCode", 1)));
    }).detach();
  }

  while (true) {
    int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    std::thread(serve, fd).detach();
  }
}
