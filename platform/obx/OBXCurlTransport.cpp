// The libcurl transport: one blocking transfer per request on a background worker.
#include <curl/curl.h>

#include <cctype>
#include <mutex>

#include "obx/OBXNetwork.h"
#include "security/CryptoLifetime.h"

namespace {

platform::Error transportError(CURLcode code, const char* detail) {
  OBXNetworkErrorCode errorCode;
  switch (code) {
    case CURLE_OPERATION_TIMEDOUT:
      errorCode = kOBXNetworkErrorCodeTimedOut;
      break;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_COULDNT_CONNECT:
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_GOT_NOTHING:
      errorCode = kOBXNetworkErrorCodeCannotConnect;
      break;
    case CURLE_URL_MALFORMAT:
    case CURLE_UNSUPPORTED_PROTOCOL:
      errorCode = kOBXNetworkErrorCodeInvalidURL;
      break;
    default:
      errorCode = kOBXNetworkErrorCodeTransportFailure;
      break;
  }
  std::string description = curl_easy_strerror(code);
  if (detail != nullptr && detail[0] != '\0') description += std::string(": ") + detail;
  return platform::Error(kOBXNetworkErrorDomain, errorCode, description);
}

struct Transfer {
  platform::Bytes body;
  std::vector<std::pair<std::string, std::string>> headers;
};

size_t onBody(char* data, size_t size, size_t count, void* context) {
  auto* transfer = static_cast<Transfer*>(context);
  transfer->body.insert(transfer->body.end(), data, data + size * count);
  return size * count;
}

std::string trim(std::string text) {
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.pop_back();
  std::size_t start = 0;
  while (start < text.size() && std::isspace(static_cast<unsigned char>(text[start]))) ++start;
  return text.substr(start);
}

size_t onHeader(char* data, size_t size, size_t count, void* context) {
  auto* transfer = static_cast<Transfer*>(context);
  std::string line(data, size * count);
  if (line.rfind("HTTP/", 0) == 0) {
    transfer->headers.clear();  // a new reply (after a redirect or an interim 1xx) starts
  } else if (auto colon = line.find(':'); colon != std::string::npos) {
    transfer->headers.emplace_back(trim(line.substr(0, colon)), trim(line.substr(colon + 1)));
  }
  return size * count;
}

class CurlTransport final : public OBXNetworkTransport {
 public:
  CurlTransport() {
    static std::once_flag once;
    std::call_once(once, [] {
      platform::security::keepCryptoThroughExit();
      curl_global_init(CURL_GLOBAL_DEFAULT);
    });
  }

  void perform(const OBXNetworkRequest& request, std::function<void(OBXNetworkResult)> done) override {
    platform::Queue::global(QueuePriorityFor(request))->async(
        [request, done = std::move(done)] { done(run(request)); });
  }

 private:
  static platform::QueuePriority QueuePriorityFor(const OBXNetworkRequest& request) {
    return request.usingBackgroundSession ? platform::QueuePriority::Background : platform::QueuePriority::Default;
  }

  static OBXNetworkResult run(const OBXNetworkRequest& request) {
    OBXNetworkResult result;
    CURL* curl = curl_easy_init();
    if (curl == nullptr) {
      result.error = platform::Error(kOBXNetworkErrorDomain, kOBXNetworkErrorCodeTransportFailure,
                                     "Could not create a transfer");
      return result;
    }
    Transfer transfer;
    char errorText[CURL_ERROR_SIZE] = {0};
    long timeoutMillis = static_cast<long>(request.timeoutInterval * 1000.0);
    if (timeoutMillis < 1) timeoutMillis = 1;

    curl_slist* headers = nullptr;
    for (const auto& [name, value] : request.headers) headers = curl_slist_append(headers, (name + ": " + value).c_str());
    // No implicit form content type and no 100-continue round trip for uploads.
    headers = curl_slist_append(headers, "Expect:");
    if (request.method == "POST") {
      bool hasContentType = false;
      for (const auto& header : request.headers) {
        std::string lower = header.first;
        for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        hasContentType = hasContentType || lower == "content-type";
      }
      if (!hasContentType) headers = curl_slist_append(headers, "Content-Type:");
    }

    curl_easy_setopt(curl, CURLOPT_URL, request.url.c_str());
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(curl, CURLOPT_MAXREDIRS, 10L);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, timeoutMillis);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, timeoutMillis);
    curl_easy_setopt(curl, CURLOPT_ACCEPT_ENCODING, "");
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorText);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, onBody);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &transfer);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, onHeader);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, &transfer);
    if (request.method == "POST") {
      curl_easy_setopt(curl, CURLOPT_POST, 1L);
      curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body.size()));
      curl_easy_setopt(curl, CURLOPT_POSTFIELDS, request.body.empty() ? "" : reinterpret_cast<const char*>(request.body.data()));
    } else {
      curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
    }

    CURLcode code = curl_easy_perform(curl);
    if (code == CURLE_OK) {
      auto response = std::make_shared<OBXHTTPResponse>();
      curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &response->statusCode);
      char* effectiveURL = nullptr;
      curl_easy_getinfo(curl, CURLINFO_EFFECTIVE_URL, &effectiveURL);
      response->url = effectiveURL != nullptr ? effectiveURL : request.url;
      response->headers = std::move(transfer.headers);
      result.response = std::move(response);
      result.data = std::move(transfer.body);
    } else {
      result.error = transportError(code, errorText);
    }
    curl_slist_free_all(headers);
    curl_easy_cleanup(curl);
    return result;
  }
};

}  // namespace

std::shared_ptr<OBXNetworkTransport> OBXCurlNetworkTransport() {
  static auto* transport = new std::shared_ptr<OBXNetworkTransport>(std::make_shared<CurlTransport>());  // never destroyed
  return *transport;
}
