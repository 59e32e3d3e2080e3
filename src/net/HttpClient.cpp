#include "net/HttpClient.h"

#include <curl/curl.h>

#include <chrono>
#include <memory>
#include <mutex>

namespace vx {

namespace {

constexpr char HexDigits[] = "0123456789ABCDEF";

bool IsFormSafe(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '*' ||
         c == '-' || c == '.' || c == '_';
}

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// libcurl's process-wide set-up, once, before the first handle.
void InitLibrary() {
  static std::once_flag once;
  std::call_once(once, [] {
    if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK)
      throw EHttpClient("libcurl cannot be initialised");
  });
}

struct TEasyFree {
  void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
};
struct TListFree {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

// What one request learns while it runs.
struct TTransfer {
  size_t Cap = 0;
  uint64_t BodyBytes = 0;
  bool Capped = false;         // the answer was longer than Cap
  int64_t ConnectedAtMs = -1;  // the connection stood, the request went out
};

size_t TakeBody(char*, size_t size, size_t count, void* user) {
  auto& transfer = *static_cast<TTransfer*>(user);
  const size_t bytes = size * count;
  if (transfer.BodyBytes + bytes >= transfer.Cap) {
    transfer.Capped = true;
    return 0;  // ends the transfer; the status is known already
  }
  transfer.BodyBytes += bytes;
  return bytes;
}

// Called once the connection (TLS included) stands and before the request
// is sent: the read time-out counts from here.
int Connected(void* user, char*, char*, int, int) {
  static_cast<TTransfer*>(user)->ConnectedAtMs = NowMs();
  return CURL_PREREQFUNC_OK;
}

template <typename T>
void SetOption(CURL* easy, CURLoption option, T value) {
  if (curl_easy_setopt(easy, option, value) != CURLE_OK)
    throw EHttpClient("libcurl refused an option");
}

}  // namespace

std::string FormUrlEncode(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    if (IsFormSafe(c)) {
      out += c;
    } else if (c == ' ') {
      out += '+';
    } else {
      const auto b = static_cast<unsigned char>(c);
      out += '%';
      out += HexDigits[b >> 4];
      out += HexDigits[b & 0x0F];
    }
  }
  return out;
}

std::string EncodeForm(const THttpFormFields& fields) {
  std::string out;
  for (const auto& [name, value] : fields) {
    if (!out.empty()) out += '&';
    out += FormUrlEncode(name);
    out += '=';
    out += FormUrlEncode(value);
  }
  return out;
}

THttpClient::THttpClient() {
  InitLibrary();
  Multi = curl_multi_init();
  if (Multi == nullptr) throw EHttpClient("libcurl cannot make a transfer handle");
  UserAgent =
      std::string("Vorlantix-Server libcurl/") + curl_version_info(CURLVERSION_NOW)->version;
}

THttpClient::~THttpClient() {
  curl_multi_cleanup(static_cast<CURLM*>(Multi));
}

void THttpClient::Cancel() {
  CancelFlag = true;
  curl_multi_wakeup(static_cast<CURLM*>(Multi));
}

THttpResponse THttpClient::PostForm(const std::string& url, const THttpFormFields& fields) {
  return Post(url, FormContentType, EncodeForm(fields));
}

THttpResponse THttpClient::Post(const std::string& url, std::string_view contentType,
                                std::string_view body) {
  if (CancelFlag) throw EHttpClient("request cancelled");
  std::unique_ptr<CURL, TEasyFree> easy(curl_easy_init());
  if (!easy) throw EHttpClient("libcurl cannot make a request handle");
  CURL* e = easy.get();
  char error[CURL_ERROR_SIZE] = {};
  TTransfer transfer;
  transfer.Cap = MaxResponseBytes;

  std::unique_ptr<curl_slist, TListFree> headers;
  for (const std::string& line :
       {"Content-Type: " + std::string(contentType), std::string("Expect:")}) {
    curl_slist* grown = curl_slist_append(headers.get(), line.c_str());
    if (grown == nullptr) throw EHttpClient("out of memory");
    headers.release();
    headers.reset(grown);
  }

  SetOption(e, CURLOPT_ERRORBUFFER, error);
  SetOption(e, CURLOPT_URL, url.c_str());
  SetOption(e, CURLOPT_PROTOCOLS_STR, "http,https");
  SetOption(e, CURLOPT_FOLLOWLOCATION, 0L);
  SetOption(e, CURLOPT_NOSIGNAL, 1L);
  SetOption(e, CURLOPT_POST, 1L);
  SetOption(e, CURLOPT_POSTFIELDS, body.data());
  SetOption(e, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(body.size()));
  SetOption(e, CURLOPT_HTTPHEADER, headers.get());
  SetOption(e, CURLOPT_USERAGENT, UserAgent.c_str());
  SetOption(e, CURLOPT_CONNECTTIMEOUT_MS, long(ConnectTimeoutMs));
  // A backstop; the read time-out proper is watched below.
  SetOption(e, CURLOPT_TIMEOUT_MS, long(ConnectTimeoutMs) + long(ReadTimeoutMs));
  SetOption(e, CURLOPT_WRITEFUNCTION, TakeBody);
  SetOption(e, CURLOPT_WRITEDATA, &transfer);
  SetOption(e, CURLOPT_PREREQFUNCTION, Connected);
  SetOption(e, CURLOPT_PREREQDATA, &transfer);
  const std::string bind = "host!" + BoundIp;
  if (!BoundIp.empty()) SetOption(e, CURLOPT_INTERFACE, bind.c_str());
  if (!CaFile.empty()) SetOption(e, CURLOPT_CAINFO, CaFile.c_str());
  std::string proxy;
  if (Proxy.Enabled) {
    const bool ipv6 = Proxy.Host.find(':') != std::string::npos;
    proxy =
        "http://" + (ipv6 ? "[" + Proxy.Host + "]" : Proxy.Host) + ":" + std::to_string(Proxy.Port);
    SetOption(e, CURLOPT_PROXY, proxy.c_str());
    if (!Proxy.User.empty()) {
      SetOption(e, CURLOPT_PROXYUSERNAME, Proxy.User.c_str());
      SetOption(e, CURLOPT_PROXYPASSWORD, Proxy.Password.c_str());
    }
  }

  // Run on our multi handle, so that Cancel can wake the wait at once.
  auto* multi = static_cast<CURLM*>(Multi);
  if (curl_multi_add_handle(multi, e) != CURLM_OK) throw EHttpClient("libcurl refused a request");
  struct TDetach {
    CURLM* Multi;
    CURL* Easy;
    ~TDetach() { curl_multi_remove_handle(Multi, Easy); }
  } detach{multi, e};

  for (;;) {
    if (CancelFlag) throw EHttpClient("request cancelled");
    int running = 0;
    if (curl_multi_perform(multi, &running) != CURLM_OK) throw EHttpClient("libcurl failed");
    if (running == 0) break;
    int waitMs = 1000;
    if (transfer.ConnectedAtMs >= 0) {
      const int64_t left = transfer.ConnectedAtMs + ReadTimeoutMs - NowMs();
      if (left <= 0) throw EHttpClient("time-out reading the answer");
      if (left < waitMs) waitMs = int(left);
    }
    if (curl_multi_poll(multi, nullptr, 0, waitMs, nullptr) != CURLM_OK)
      throw EHttpClient("libcurl failed");
  }

  CURLcode result = CURLE_OK;
  int left = 0;
  while (CURLMsg* message = curl_multi_info_read(multi, &left)) {
    if (message->msg == CURLMSG_DONE && message->easy_handle == e) result = message->data.result;
  }
  if (result != CURLE_OK && !(result == CURLE_WRITE_ERROR && transfer.Capped)) {
    throw EHttpClient(error[0] != '\0' ? error : curl_easy_strerror(result));
  }
  long status = 0;
  curl_easy_getinfo(e, CURLINFO_RESPONSE_CODE, &status);
  if (status >= 400) throw EHttpClient("HTTP status " + std::to_string(status));
  return {int(status), transfer.BodyBytes};
}

}  // namespace vx
