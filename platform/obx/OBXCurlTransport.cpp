// The libcurl transport: one blocking transfer per request on a background worker.
#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cmath>
#include <memory>
#include <mutex>
#include <new>

#include "obx/OBXNetwork.h"
#include "obx/OBXNetworkTesting.h"
#include "security/OpenSSLGate.h"

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

// What a transfer gathers. libcurl calls the callbacks below from C: they catch everything and
// turn it into a failed transfer (returning a count other than the one given stops it).
struct Transfer {
  CURL* curl = nullptr;
  bool isPost = false;
  std::size_t maxBody = 0;
  platform::Bytes body;
  std::vector<std::pair<std::string, std::string>> headers;
  bool bodyTooLarge = false;
  bool outOfMemory = false;
  long stoppedAtRedirect = 0;  // the status of a redirect that would have dropped a POST's body
  const std::function<void(std::size_t)>* beforeBodyGrowth = nullptr;
};

size_t onBody(char* data, size_t size, size_t count, void* context) noexcept {
  auto* transfer = static_cast<Transfer*>(context);
  const std::size_t length = size * count;
  if (length > transfer->maxBody - transfer->body.size()) {
    transfer->bodyTooLarge = true;
    return 0;
  }
  try {
    platform::Bytes& body = transfer->body;
    if (body.size() + length > body.capacity()) {
      // Growth by doubling, but never past the limit.
      const std::size_t capacity = std::min(transfer->maxBody, std::max(body.size() + length, 2 * body.capacity()));
      if (transfer->beforeBodyGrowth != nullptr && *transfer->beforeBodyGrowth) (*transfer->beforeBodyGrowth)(capacity);
      body.reserve(capacity);
    }
    body.insert(body.end(), data, data + length);
  } catch (...) {
    transfer->outOfMemory = true;
    return 0;
  }
  return length;
}

std::string trim(std::string text) {
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.pop_back();
  std::size_t start = 0;
  while (start < text.size() && std::isspace(static_cast<unsigned char>(text[start]))) ++start;
  return text.substr(start);
}

size_t onHeader(char* data, size_t size, size_t count, void* context) noexcept {
  auto* transfer = static_cast<Transfer*>(context);
  try {
    std::string line(data, size * count);
    if (line.rfind("HTTP/", 0) == 0) {
      transfer->headers.clear();  // a new reply (after a redirect or an interim 1xx) starts
    } else if (auto colon = line.find(':'); colon != std::string::npos) {
      transfer->headers.emplace_back(trim(line.substr(0, colon)), trim(line.substr(colon + 1)));
    } else if (transfer->isPost && trim(line).empty()) {
      // The end of a reply's headers. libcurl would follow these by a GET without the body.
      long status = 0;
      curl_easy_getinfo(transfer->curl, CURLINFO_RESPONSE_CODE, &status);
      if (status == 301 || status == 302 || status == 303) {
        transfer->stoppedAtRedirect = status;
        return 0;
      }
    }
  } catch (...) {
    transfer->outOfMemory = true;
    return 0;
  }
  return size * count;
}

platform::Error outOfMemoryError() {
  return platform::Error(kOBXNetworkErrorDomain, kOBXNetworkErrorCodeTransportFailure,
                         "The transfer failed: out of memory");
}

platform::Error endingError() {
  return platform::Error(kOBXNetworkErrorDomain, kOBXNetworkErrorCodeTransportFailure,
                         "The transfer was stopped: the process is ending");
}

// Runs the transfer on a multi handle of its own, which the closing OpenSSL gate can wake: the
// transfer then stops at once (`stopped`), whatever it was waiting for. The handle is released
// before this returns, inside the caller's use of OpenSSL.
CURLcode performUntilDoneOrStopped(CURL* curl, platform::security::OpenSSLUse& use, bool& stopped) {
  std::unique_ptr<CURLM, CURLMcode (*)(CURLM*)> multi(curl_multi_init(), [](CURLM* handle) {
    platform::security::OpenSSLCalls calls;
    return curl_multi_cleanup(handle);
  });
  if (multi == nullptr || curl_multi_add_handle(multi.get(), curl) != CURLM_OK) return CURLE_OUT_OF_MEMORY;
  use.setWaker([handle = multi.get()] { curl_multi_wakeup(handle); });
  CURLcode code = CURLE_OK;
  for (;;) {
    int running = 0;
    CURLMcode step = CURLM_OK;
    {
      platform::security::OpenSSLCalls calls;
      step = curl_multi_perform(multi.get(), &running);
    }
    if (step == CURLM_OK && running == 0) {
      int left = 0;
      CURLMsg* message = curl_multi_info_read(multi.get(), &left);
      code = message != nullptr && message->msg == CURLMSG_DONE ? message->data.result : CURLE_FAILED_INIT;
      break;
    }
    if (step == CURLM_OK && use.stopRequested()) {
      stopped = true;
      // Nor wait for a name lookup still running.
      curl_easy_setopt(curl, CURLOPT_QUICK_EXIT, 1L);
      break;
    }
    if (step == CURLM_OK) step = curl_multi_poll(multi.get(), nullptr, 0, 1000, nullptr);
    if (step != CURLM_OK) {
      code = step == CURLM_OUT_OF_MEMORY ? CURLE_OUT_OF_MEMORY : CURLE_FAILED_INIT;
      break;
    }
  }
  use.setWaker(nullptr);
  platform::security::OpenSSLCalls calls;  // removing the handle may close its connection
  curl_multi_remove_handle(multi.get(), curl);
  return code;
}

// The timeout in milliseconds libcurl takes: at least 1, at most INT_MAX (about 24 days); a
// timeout that is not a number gets the default of 60 seconds.
long timeoutMilliseconds(double seconds) {
  if (std::isnan(seconds)) return 60000;
  const double millis = seconds * 1000.0;
  if (!(millis >= 1.0)) return 1;
  if (millis >= static_cast<double>(INT_MAX)) return INT_MAX;
  return static_cast<long>(millis);
}

class CurlTransport final : public OBXNetworkTransport {
 public:
  explicit CurlTransport(std::function<void(std::size_t)> beforeBodyGrowth = nullptr)
      : beforeBodyGrowth_(std::move(beforeBodyGrowth)) {
    static std::once_flag once;
    std::call_once(once, [] {
      // libcurl sets OpenSSL up.
      platform::security::OpenSSLUse use;
      platform::security::OpenSSLCalls calls;
      if (use.allowed()) curl_global_init(CURL_GLOBAL_DEFAULT);
    });
  }

  void perform(const OBXNetworkRequest& request, std::function<void(OBXNetworkResult)> done) override {
    platform::Queue::global(QueuePriorityFor(request))->async([request, done = std::move(done),
                                                               hook = beforeBodyGrowth_] {
      OBXNetworkResult result;
      try {
        result = run(request, hook);
      } catch (...) {
        // The transfer's own memory is released by now.
        result = OBXNetworkResult();
        result.error = outOfMemoryError();
      }
      done(std::move(result));
    });
  }

 private:
  std::function<void(std::size_t)> beforeBodyGrowth_;

  static platform::QueuePriority QueuePriorityFor(const OBXNetworkRequest& request) {
    return request.usingBackgroundSession ? platform::QueuePriority::Background : platform::QueuePriority::Default;
  }

  static OBXNetworkResult run(const OBXNetworkRequest& request, const std::function<void(std::size_t)>& beforeBodyGrowth) {
    OBXNetworkResult result;
    // Everything the transfer does with OpenSSL (TLS, and closing its connection when the handle
    // is released) happens inside this use.
    platform::security::OpenSSLUse use;
    if (!use.allowed()) {
      result.error = endingError();
      return result;
    }
    // Released on every way out, an exception included.
    std::unique_ptr<CURL, void (*)(CURL*)> handle(curl_easy_init(), [](CURL* transfer) {
      platform::security::OpenSSLCalls calls;  // closing a connection may end its TLS session
      curl_easy_cleanup(transfer);
    });
    std::unique_ptr<curl_slist, void (*)(curl_slist*)> headerList(nullptr, curl_slist_free_all);
    CURL* curl = handle.get();
    if (curl == nullptr) {
      result.error = platform::Error(kOBXNetworkErrorDomain, kOBXNetworkErrorCodeTransportFailure,
                                     "Could not create a transfer");
      return result;
    }
    Transfer transfer;
    transfer.curl = curl;
    transfer.isPost = request.method == "POST";
    transfer.maxBody = request.maxResponseBodySize;
    transfer.beforeBodyGrowth = &beforeBodyGrowth;
    char errorText[CURL_ERROR_SIZE] = {0};
    const long timeoutMillis = timeoutMilliseconds(request.timeoutInterval);

    auto appendHeader = [&headerList](const std::string& line) {
      curl_slist* longer = curl_slist_append(headerList.get(), line.c_str());
      if (longer == nullptr) throw std::bad_alloc();
      headerList.release();
      headerList.reset(longer);
    };
    for (const auto& [name, value] : request.headers) appendHeader(name + ": " + value);
    // No implicit form content type and no 100-continue round trip for uploads.
    appendHeader("Expect:");
    if (transfer.isPost) {
      bool hasContentType = false;
      for (const auto& header : request.headers) {
        std::string lower = header.first;
        for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        hasContentType = hasContentType || lower == "content-type";
      }
      if (!hasContentType) appendHeader("Content-Type:");
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
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headerList.get());
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorText);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, onBody);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &transfer);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, onHeader);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, &transfer);
    if (transfer.isPost) {
      curl_easy_setopt(curl, CURLOPT_POST, 1L);
      curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body.size()));
      curl_easy_setopt(curl, CURLOPT_POSTFIELDS, request.body.empty() ? "" : reinterpret_cast<const char*>(request.body.data()));
    } else {
      curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
    }

    bool stopped = false;
    CURLcode code = performUntilDoneOrStopped(curl, use, stopped);
    // The reply as it came: a redirect that stopped a POST, or the transfer's last reply.
    auto reply = [&](long statusCode) {
      auto response = std::make_shared<OBXHTTPResponse>();
      response->statusCode = statusCode;
      char* effectiveURL = nullptr;
      curl_easy_getinfo(curl, CURLINFO_EFFECTIVE_URL, &effectiveURL);
      response->url = effectiveURL != nullptr ? effectiveURL : request.url;
      response->headers = std::move(transfer.headers);
      return response;
    };
    if (stopped) {
      result.error = endingError();
    } else if (transfer.stoppedAtRedirect != 0) {
      result.response = reply(transfer.stoppedAtRedirect);
    } else if (transfer.bodyTooLarge) {
      result.error = platform::Error(kOBXNetworkErrorDomain, kOBXNetworkErrorCodeResponseTooLarge,
                                     "The reply body is larger than the limit of " +
                                         std::to_string(request.maxResponseBodySize) + " bytes");
    } else if (transfer.outOfMemory) {
      result.error = outOfMemoryError();
    } else if (code == CURLE_OK) {
      long statusCode = 0;
      curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &statusCode);
      result.response = reply(statusCode);
      result.data = std::move(transfer.body);
    } else {
      result.error = transportError(code, errorText);
    }
    return result;
  }
};

}  // namespace

std::shared_ptr<OBXNetworkTransport> OBXCurlNetworkTransport() {
  static auto* transport = new std::shared_ptr<OBXNetworkTransport>(std::make_shared<CurlTransport>());  // never destroyed
  return *transport;
}

std::shared_ptr<OBXNetworkTransport> OBXCurlNetworkTransportForTesting(std::function<void(std::size_t)> beforeBodyGrowth) {
  return std::make_shared<CurlTransport>(std::move(beforeBodyGrowth));
}
