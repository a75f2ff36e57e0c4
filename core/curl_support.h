#pragma once
// What the local-server requests and the downloads share of libcurl.
#include <curl/curl.h>

#include <memory>
#include <optional>
#include <string>

#include "core/llama_server.h"  // TransportError

namespace quorvel::curl {

// libcurl's global set-up, once per process; call before making any handle.
void initOnce();

struct EasyFree {
  void operator()(CURL* c) const { curl_easy_cleanup(c); }
};
struct MultiFree {
  void operator()(CURLM* m) const { curl_multi_cleanup(m); }
};
struct UrlFree {
  void operator()(CURLU* u) const { curl_url_cleanup(u); }
};
using Easy = std::unique_ptr<CURL, EasyFree>;
using Multi = std::unique_ptr<CURLM, MultiFree>;
using Url = std::unique_ptr<CURLU, UrlFree>;

// The failure of a transfer as the sentence the user reads. `detail` (libcurl's error
// buffer) stands for the codes without a sentence of their own; without it, libcurl's
// description of the code, capitalised.
TransportError transportError(CURLcode code, const char* detail = nullptr);

// A transfer from the web: http and https only (redirects too, at most 10), no signals,
// and the extra certificate authorities when given.
void setWebDefaults(CURL* c, const std::optional<std::string>& extraCaBundle);

}  // namespace quorvel::curl
