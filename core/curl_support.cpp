#include "core/curl_support.h"

#include <cctype>
#include <mutex>

namespace quorvel::curl {

void initOnce() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

TransportError transportError(CURLcode code, const char* detail) {
  using Kind = TransportError::Kind;
  switch (code) {
    case CURLE_OPERATION_TIMEDOUT:
      return {Kind::timedOut, "The request timed out."};
    case CURLE_COULDNT_RESOLVE_HOST:
      return {Kind::cannotConnect, "A server with the specified hostname could not be found."};
    case CURLE_COULDNT_CONNECT:
      return {Kind::cannotConnect, "Could not connect to the server."};
    case CURLE_GOT_NOTHING:
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
    case CURLE_PARTIAL_FILE:
      return {Kind::connectionLost, "The network connection was lost."};
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_CERTPROBLEM:
      return {Kind::other,
              "An SSL error has occurred and a secure connection to the server cannot be made."};
    default: {
      std::string text;
      if (detail && *detail) {
        text = detail;
      } else {
        text = curl_easy_strerror(code);
        if (!text.empty()) text[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(text[0])));
      }
      if (!text.empty() && text.back() != '.') text += '.';
      return {Kind::other, text};
    }
  }
}

void setWebDefaults(CURL* c, const std::optional<std::string>& extraCaBundle) {
  curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(c, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(c, CURLOPT_MAXREDIRS, 10L);
  curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
  if (extraCaBundle) curl_easy_setopt(c, CURLOPT_CAINFO, extraCaBundle->c_str());
}

}  // namespace quorvel::curl
