#include "platform/linux/CurlHttpClient.h"

#include <curl/curl.h>
#include <sys/stat.h>

#include <strings.h>
#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>

#include "platform/ThreadSerialQueue.h"

namespace pagemate::linux_backend {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kMaxRedirects = 5;

struct EasyCleanup {
    void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
};
using EasyPtr = std::unique_ptr<CURL, EasyCleanup>;

struct SlistFree {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using SlistPtr = std::unique_ptr<curl_slist, SlistFree>;

struct FileClose {
    void operator()(std::FILE* file) const { (void)std::fclose(file); }
};
using FilePtr = std::unique_ptr<std::FILE, FileClose>;

struct UrlCleanup {
    void operator()(CURLU* url) const { curl_url_cleanup(url); }
};
using UrlPtr = std::unique_ptr<CURLU, UrlCleanup>;

struct CurlFree {
    void operator()(char* text) const { curl_free(text); }
};
using CurlString = std::unique_ptr<char, CurlFree>;

NetworkError makeError(NetworkError::Kind kind, std::string detail) {
    return NetworkError{kind, std::move(detail)};
}

NetworkError errorFor(CURLcode code) {
    using Kind = NetworkError::Kind;
    const auto kindOf = [code] {
        switch (code) {
            case CURLE_OPERATION_TIMEDOUT:
                return Kind::timedOut;
            case CURLE_COULDNT_CONNECT:
                return Kind::cannotConnect;
            case CURLE_COULDNT_RESOLVE_HOST:
            case CURLE_COULDNT_RESOLVE_PROXY:
                return Kind::cannotResolveHost;
            case CURLE_URL_MALFORMAT:
            case CURLE_UNSUPPORTED_PROTOCOL:
                return Kind::invalidURL;
            case CURLE_GOT_NOTHING:
            case CURLE_RECV_ERROR:
            case CURLE_SEND_ERROR:
            case CURLE_PARTIAL_FILE:
                return Kind::connectionLost;
            case CURLE_SSL_CONNECT_ERROR:
            case CURLE_PEER_FAILED_VERIFICATION:
            case CURLE_SSL_CERTPROBLEM:
            case CURLE_SSL_CIPHER:
            case CURLE_SSL_CACERT_BADFILE:
                return Kind::secureConnectionFailed;
            case CURLE_TOO_MANY_REDIRECTS:
                return Kind::tooManyRedirects;
            default:
                return Kind::other;
        }
    };
    return makeError(kindOf(), curl_easy_strerror(code));
}

bool isRedirectStatus(long status) {
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

struct Address {
    std::string scheme, host;
};

std::optional<Address> addressOf(const std::string& url) {
    const UrlPtr handle(curl_url());
    if (!handle || curl_url_set(handle.get(), CURLUPART_URL, url.c_str(), 0) != CURLUE_OK) {
        return std::nullopt;
    }
    auto part = [&](CURLUPart which) -> std::optional<std::string> {
        char* raw = nullptr;
        if (curl_url_get(handle.get(), which, &raw, 0) != CURLUE_OK) {
            return std::nullopt;
        }
        const CurlString text(raw);
        std::string value(text.get());
        std::transform(value.begin(), value.end(), value.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        return value;
    };
    auto scheme = part(CURLUPART_SCHEME);
    auto host = part(CURLUPART_HOST);
    if (!scheme || !host) {
        return std::nullopt;
    }
    return Address{*scheme, *host};
}

bool hasHeader(const std::vector<HttpRequest::Header>& headers, const char* name) {
    return std::any_of(headers.begin(), headers.end(), [name](const HttpRequest::Header& header) {
        return ::strcasecmp(header.first.c_str(), name) == 0;
    });
}

}  // namespace

struct CurlHttpClient::MultiHandle {
    CURLM* handle = curl_multi_init();
    MultiHandle() = default;
    MultiHandle(const MultiHandle&) = delete;
    MultiHandle& operator=(const MultiHandle&) = delete;
    ~MultiHandle() { curl_multi_cleanup(handle); }
};

struct CurlHttpClient::Transfer {
    RequestId id = 0;
    HttpRequest request;
    Completion completion;
    Clock::time_point deadline;

    // The current hop; a followed redirect starts a new one.
    std::string url;
    std::string method;
    bool sendsBody = true;
    int redirects = 0;
    EasyPtr easy;
    SlistPtr headers;
    FilePtr file;
    std::string received;
    bool tooLarge = false;
    std::array<char, CURL_ERROR_SIZE> errorText{};

    static size_t onData(char* data, size_t size, size_t count, void* self) {
        auto& transfer = *static_cast<Transfer*>(self);
        const size_t length = size * count;
        if (transfer.received.size() + length > transfer.request.maxResponseBytes) {
            transfer.tooLarge = true;
            return 0;  // ends the transfer with a write error
        }
        transfer.received.append(data, length);
        return length;
    }

    static size_t onReadFile(char* buffer, size_t size, size_t count, void* self) {
        auto& transfer = *static_cast<Transfer*>(self);
        const size_t read = std::fread(buffer, size, count, transfer.file.get());
        if (read == 0 && std::ferror(transfer.file.get()) != 0) {
            return CURL_READFUNC_ABORT;
        }
        return read;
    }

    // Prepares a fresh easy handle for the current hop; an error when it cannot start.
    std::optional<NetworkError> prepare() {
        const auto remaining =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (remaining.count() <= 0) {
            return errorFor(CURLE_OPERATION_TIMEDOUT);
        }
        // Only absolute http and https addresses: curl would otherwise guess a scheme.
        const auto address = addressOf(url);
        if (!address || (address->scheme != "http" && address->scheme != "https")) {
            return errorFor(CURLE_URL_MALFORMAT);
        }
        easy.reset(curl_easy_init());
        headers.reset();
        received.clear();
        tooLarge = false;
        CURL* handle = easy.get();
        curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
        curl_easy_setopt(handle, CURLOPT_PRIVATE, this);
        curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, errorText.data());
        curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 0L);
        curl_easy_setopt(handle, CURLOPT_TIMEOUT_MS, static_cast<long>(remaining.count()));
        curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(remaining.count()));
        // The local service is never reached through a proxy from the environment.
        curl_easy_setopt(handle, CURLOPT_NOPROXY, "localhost,127.0.0.1,::1");
        curl_easy_setopt(handle, CURLOPT_ACCEPT_ENCODING, "");
        curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, &Transfer::onData);
        curl_easy_setopt(handle, CURLOPT_WRITEDATA, this);

        curl_slist* list = nullptr;
        for (const auto& [name, value] : request.headers) {
            // A line break in a value (a pasted password, say) would start another
            // header or request: such a request is not sent at all.
            if (name.empty() || name.find_first_of("\r\n\0:; ", 0, 6) != std::string::npos ||
                value.find_first_of("\r\n\0", 0, 3) != std::string::npos) {
                curl_slist_free_all(list);
                return makeError(NetworkError::Kind::invalidRequest, "header: " + name);
            }
            // "Name;" is curl's way of sending a header with an empty value.
            std::string line = name;
            line += value.empty() ? ";" : ": ";
            line += value;
            list = curl_slist_append(list, line.c_str());
        }
        list = curl_slist_append(list, "Expect:");
        const bool post = method == "POST";
        if (post && !hasHeader(request.headers, "Content-Type")) {
            list = curl_slist_append(list, "Content-Type:");  // no form-encoding claim
        }
        headers.reset(list);
        curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headers.get());

        if (method == "GET") {
            curl_easy_setopt(handle, CURLOPT_HTTPGET, 1L);
            return std::nullopt;
        }
        if (method == "HEAD") {
            curl_easy_setopt(handle, CURLOPT_NOBODY, 1L);
            return std::nullopt;
        }
        curl_easy_setopt(handle, CURLOPT_POST, 1L);
        if (!post) {
            curl_easy_setopt(handle, CURLOPT_CUSTOMREQUEST, method.c_str());
        }
        if (const auto* path = std::get_if<std::filesystem::path>(&request.body);
            path != nullptr && sendsBody) {
            file.reset(std::fopen(path->c_str(), "rb"));
            struct stat info {};
            if (!file || ::fstat(::fileno(file.get()), &info) != 0 || !S_ISREG(info.st_mode)) {
                return makeError(NetworkError::Kind::fileUnreadable, path->string());
            }
            curl_easy_setopt(handle, CURLOPT_READFUNCTION, &Transfer::onReadFile);
            curl_easy_setopt(handle, CURLOPT_READDATA, this);
            curl_easy_setopt(handle, CURLOPT_POSTFIELDSIZE_LARGE,
                             static_cast<curl_off_t>(info.st_size));
            return std::nullopt;
        }
        const auto* text = std::get_if<std::string>(&request.body);
        if (text != nullptr && sendsBody) {
            curl_easy_setopt(handle, CURLOPT_POSTFIELDSIZE_LARGE,
                             static_cast<curl_off_t>(text->size()));
            curl_easy_setopt(handle, CURLOPT_POSTFIELDS, text->data());
        } else {
            curl_easy_setopt(handle, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t{0});
            curl_easy_setopt(handle, CURLOPT_POSTFIELDS, "");
        }
        return std::nullopt;
    }
};

bool CurlHttpClient::mayFollowRedirect(const std::string& from, const std::string& to) {
    const auto source = addressOf(from);
    const auto target = addressOf(to);
    if (!source || !target || source->host != target->host) {
        return false;
    }
    if (source->scheme == target->scheme) {
        return source->scheme == "http" || source->scheme == "https";
    }
    return source->scheme == "http" && target->scheme == "https";
}

CurlHttpClient::CurlHttpClient() {
    static std::once_flag initialised;
    std::call_once(initialised, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    multi_ = std::make_unique<MultiHandle>();
    worker_ = std::thread([this] { runWorker(); });
}

CurlHttpClient::~CurlHttpClient() {
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake();
    worker_.join();
}

void CurlHttpClient::wake() {
    curl_multi_wakeup(multi_->handle);
}

HttpClient::RequestId CurlHttpClient::send(HttpRequest request, Completion completion) {
    auto transfer = std::make_unique<Transfer>();
    transfer->deadline = Clock::now() + request.timeout;
    transfer->url = request.url;
    transfer->method = request.method;
    transfer->request = std::move(request);
    transfer->completion = std::move(completion);
    RequestId id = 0;
    {
        const std::lock_guard lock(mutex_);
        id = nextId_++;
        transfer->id = id;
        queued_.push_back(std::move(transfer));
    }
    wake();
    return id;
}

void CurlHttpClient::cancel(RequestId id) {
    const std::lock_guard delivering(delivering_);
    {
        const std::lock_guard lock(mutex_);
        cancelled_.insert(id);
    }
    wake();
}

void CurlHttpClient::takeNewWork(std::vector<std::unique_ptr<Transfer>>& started) {
    const std::lock_guard lock(mutex_);
    started = std::move(queued_);
    queued_.clear();
    for (const RequestId id : cancelled_) {
        if (auto found = active_.find(id); found != active_.end()) {
            curl_multi_remove_handle(multi_->handle, found->second->easy.get());
            active_.erase(found);
        }
        std::erase_if(started, [id](const auto& transfer) { return transfer->id == id; });
    }
    cancelled_.clear();
}

void CurlHttpClient::runWorker() {
    nameCurrentThread("pagemate-http");
    for (;;) {
        std::vector<std::unique_ptr<Transfer>> started;
        {
            const std::lock_guard lock(mutex_);
            if (stopping_) {
                break;
            }
        }
        takeNewWork(started);
        for (auto& transfer : started) {
            if (auto error = transfer->prepare()) {
                deliver(*transfer, HttpResponse{std::nullopt, std::nullopt, std::move(error)});
                continue;
            }
            curl_multi_add_handle(multi_->handle, transfer->easy.get());
            const RequestId id = transfer->id;
            active_.emplace(id, std::move(transfer));
        }
        int running = 0;
        curl_multi_perform(multi_->handle, &running);
        int queuedMessages = 0;
        while (CURLMsg* message = curl_multi_info_read(multi_->handle, &queuedMessages)) {
            if (message->msg != CURLMSG_DONE) {
                continue;
            }
            Transfer* transfer = nullptr;
            curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, &transfer);
            finish(*transfer, message->data.result);
        }
        curl_multi_poll(multi_->handle, nullptr, 0, 1000, nullptr);
    }
    for (auto& [id, transfer] : active_) {
        curl_multi_remove_handle(multi_->handle, transfer->easy.get());
    }
    active_.clear();
}

void CurlHttpClient::finish(Transfer& transfer, int curlCode) {
    const auto code = static_cast<CURLcode>(curlCode);
    curl_multi_remove_handle(multi_->handle, transfer.easy.get());
    long status = 0;
    curl_easy_getinfo(transfer.easy.get(), CURLINFO_RESPONSE_CODE, &status);

    HttpResponse response;
    if (status > 0) {
        response.status = static_cast<int>(status);
    }
    if (code == CURLE_OK && isRedirectStatus(status)) {
        const char* location = nullptr;
        curl_easy_getinfo(transfer.easy.get(), CURLINFO_REDIRECT_URL, &location);
        if (location != nullptr && mayFollowRedirect(transfer.url, location)) {
            if (transfer.redirects >= kMaxRedirects) {
                response.error = errorFor(CURLE_TOO_MANY_REDIRECTS);
                deliver(transfer, std::move(response));
                return;
            }
            ++transfer.redirects;
            transfer.url = location;
            if (status == 303 || ((status == 301 || status == 302) && transfer.method == "POST")) {
                transfer.method = "GET";
                transfer.sendsBody = false;
            }
            if (auto error = transfer.prepare()) {
                deliver(transfer, HttpResponse{std::nullopt, std::nullopt, std::move(error)});
                return;
            }
            curl_multi_add_handle(multi_->handle, transfer.easy.get());
            return;
        }
    }
    if (code == CURLE_OK) {
        response.body = std::move(transfer.received);
    } else if (transfer.tooLarge) {
        response.error =
            makeError(NetworkError::Kind::responseTooLarge,
                      "more than " + std::to_string(transfer.request.maxResponseBytes) + " bytes");
    } else if (code == CURLE_ABORTED_BY_CALLBACK || code == CURLE_READ_ERROR) {
        response.error = makeError(NetworkError::Kind::fileUnreadable, transfer.errorText.data());
    } else {
        response.error = errorFor(code);
        if (transfer.errorText[0] != '\0') {
            response.error->detail = transfer.errorText.data();  // more precise than the code
        }
    }
    deliver(transfer, std::move(response));
}

void CurlHttpClient::deliver(Transfer& transfer, HttpResponse response) {
    const RequestId id = transfer.id;
    Completion completion = std::move(transfer.completion);
    active_.erase(id);  // may destroy `transfer`
    const std::lock_guard delivering(delivering_);
    {
        const std::lock_guard lock(mutex_);
        if (stopping_ || cancelled_.contains(id)) {
            return;
        }
    }
    if (completion) {
        completion(std::move(response));
    }
}

}  // namespace pagemate::linux_backend
