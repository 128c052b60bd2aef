#include "veltaai/core/http.h"

#include "veltaai/core/cancellation.h"
#include "veltaai/core/log.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>

namespace veltaai::http {
namespace {

// Aborts a transfer whose run was cancelled or ran out of time; curl calls it often while
// waiting, so a stopped run frees its model call within a fraction of a second.
int stop_if_cancelled(void* token, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    return static_cast<const Cancellation*>(token)->stopped() ? 1 : 0;
}

void init_curl_once() {
    // curl_global_init is not safe to race with other threads' first use; do it once here.
    static const CURLcode code = curl_global_init(CURL_GLOBAL_DEFAULT);
    if (code != CURLE_OK)
        throw HttpError(std::string("cannot initialise libcurl: ") + curl_easy_strerror(code));
}

std::string lower(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return std::tolower(c); });
    return out;
}

std::string trim(std::string_view text) {
    const auto begin = text.find_first_not_of(" \t\r\n");
    if (begin == std::string_view::npos) return {};
    const auto end = text.find_last_not_of(" \t\r\n");
    return std::string(text.substr(begin, end - begin + 1));
}

// The address as the log shows it: no user information, no query.
std::string loggable(const std::string& url) {
    std::string out = url;
    const auto scheme_end = out.find("://");
    if (scheme_end != std::string::npos) {
        const auto host_start = scheme_end + 3;
        const auto at = out.find('@', host_start);
        const auto slash = out.find('/', host_start);
        if (at != std::string::npos && (slash == std::string::npos || at < slash))
            out.erase(host_start, at + 1 - host_start);
    }
    const auto query = out.find('?');
    if (query != std::string::npos) out.erase(query);
    return out;
}

struct SlistDeleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using Slist = std::unique_ptr<curl_slist, SlistDeleter>;

struct CurlDeleter {
    void operator()(CURL* curl) const { curl_easy_cleanup(curl); }
};

void append_header(Slist& list, const std::string& line) {
    curl_slist* extended = curl_slist_append(list.get(), line.c_str());
    if (!extended) throw HttpError("cannot build the request headers");
    // curl_slist_append returns the same head after the first node; own it once.
    list.release();
    list.reset(extended);
}

size_t write_body(char* data, size_t size, size_t count, void* target) {
    static_cast<std::string*>(target)->append(data, size * count);
    return size * count;
}

size_t write_header(char* data, size_t size, size_t count, void* target) {
    auto* response = static_cast<Response*>(target);
    const std::string_view line(data, size * count);
    if (line.rfind("HTTP/", 0) == 0) {
        // A new status line: an interim answer or a redirect came before; keep only the last.
        response->headers.clear();
        response->reason.clear();
        const auto first_space = line.find(' ');
        if (first_space != std::string_view::npos) {
            const auto second_space = line.find(' ', first_space + 1);
            if (second_space != std::string_view::npos)
                response->reason = trim(line.substr(second_space + 1));
        }
        return line.size();
    }
    const auto colon = line.find(':');
    if (colon != std::string_view::npos) {
        response->headers.emplace_back(lower(trim(line.substr(0, colon))), trim(line.substr(colon + 1)));
    }
    return line.size();
}

}  // namespace

struct Client::Handle {
    std::unique_ptr<CURL, CurlDeleter> curl;
};

std::string Response::header(std::string_view name) const {
    const std::string wanted = lower(name);
    for (const auto& [key, value] : headers) {
        if (key == wanted) return value;
    }
    return {};
}

Value Response::json() const {
    try {
        return Value::parse(body);
    } catch (const nlohmann::json::parse_error& error) {
        throw ValueError(std::string("the answer is not JSON: ") + error.what());
    }
}

Client::Client() {
    init_curl_once();
}

Client::~Client() = default;

std::unique_ptr<Client::Handle> Client::take_handle() {
    {
        std::lock_guard lock(mutex_);
        if (!idle_.empty()) {
            auto handle = std::move(idle_.back());
            idle_.pop_back();
            return handle;
        }
    }
    auto handle = std::make_unique<Handle>();
    handle->curl.reset(curl_easy_init());
    if (!handle->curl) throw HttpError("cannot create a libcurl handle");
    return handle;
}

void Client::return_handle(std::unique_ptr<Handle> handle) {
    // A handle keeps its open connections; a few idle ones are enough for the threads of one run.
    constexpr std::size_t max_idle = 8;
    std::lock_guard lock(mutex_);
    if (idle_.size() < max_idle) idle_.push_back(std::move(handle));
}

Response Client::send(const Request& request) {
    auto handle = take_handle();
    CURL* curl = handle->curl.get();
    curl_easy_reset(curl);

    Response response;
    char error_text[CURL_ERROR_SIZE] = {0};
    Slist header_list;
    for (const auto& [name, value] : request.headers) append_header(header_list, name + ": " + value);
    // Never wait for "100 Continue" before sending a body.
    append_header(header_list, "Expect:");

    curl_easy_setopt(curl, CURLOPT_URL, request.url.c_str());
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, error_text);
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(curl, CURLOPT_MAXREDIRS, 10L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
    // No Accept-Encoding: replies are small, and a compressing server (cpp-httplib picks brotli)
    // spends more time than the transfer saves.
    curl_easy_setopt(curl, CURLOPT_TCP_NODELAY, 1L);
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, header_list.get());
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, write_body);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &response.body);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, write_header);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, &response);
    if (request.timeout.count() > 0)
        curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, static_cast<long>(request.timeout.count()));

    if (request.method == "GET") {
        curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
    } else if (request.method == "POST") {
        curl_easy_setopt(curl, CURLOPT_POST, 1L);
        curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body.size()));
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, request.body.c_str());
    } else {
        curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, request.method.c_str());
        if (!request.body.empty()) {
            curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body.size()));
            curl_easy_setopt(curl, CURLOPT_POSTFIELDS, request.body.c_str());
        }
    }

    const std::shared_ptr<const Cancellation> token = Cancellation::current();
    if (token) {
        token->check();
        curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, stop_if_cancelled);
        curl_easy_setopt(curl, CURLOPT_XFERINFODATA, token.get());
        curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    }

    const auto started = std::chrono::steady_clock::now();
    const CURLcode code = curl_easy_perform(curl);
    response.elapsed =
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - started);

    // The handle must not keep pointers into this frame once it goes back to the pool.
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, nullptr);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, nullptr);

    auto logger = log::get("http");
    if (code != CURLE_OK) {
        const std::string detail =
            error_text[0] ? std::string(error_text) : std::string(curl_easy_strerror(code));
        logger->debug("{} {} failed after {} ms: {}", request.method, loggable(request.url),
                      response.elapsed.count() / 1000, detail);
        return_handle(std::move(handle));
        if (code == CURLE_ABORTED_BY_CALLBACK && token) token->check();
        if (code == CURLE_OPERATION_TIMEDOUT) throw TimeoutError("request timed out: " + detail);
        throw HttpError("request failed: " + detail);
    }
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &response.status);
    char* effective_url = nullptr;
    curl_easy_getinfo(curl, CURLINFO_EFFECTIVE_URL, &effective_url);
    response.url = effective_url ? effective_url : request.url;
    if (response.reason.empty()) response.reason = reason_phrase(response.status);
    logger->debug("{} {} {} ({} us)", request.method, loggable(request.url), response.status,
                  response.elapsed.count());
    return_handle(std::move(handle));
    return response;
}

Response Client::get(const std::string& url, Headers headers, std::chrono::milliseconds timeout) {
    return send(Request{"GET", url, std::move(headers), {}, timeout});
}

Response Client::post_json(const std::string& url, const Value& body, Headers headers,
                           std::chrono::milliseconds timeout) {
    const bool named = std::any_of(headers.begin(), headers.end(),
                                   [](const auto& header) { return lower(header.first) == "content-type"; });
    if (!named) headers.emplace_back("Content-Type", "application/json");
    return send(Request{"POST", url, std::move(headers), body.dump(), timeout});
}

std::string reason_phrase(long status) {
    switch (status) {
        case 200:
            return "OK";
        case 201:
            return "Created";
        case 202:
            return "Accepted";
        case 204:
            return "No Content";
        case 301:
            return "Moved Permanently";
        case 302:
            return "Found";
        case 304:
            return "Not Modified";
        case 400:
            return "Bad Request";
        case 401:
            return "Unauthorized";
        case 403:
            return "Forbidden";
        case 404:
            return "Not Found";
        case 405:
            return "Method Not Allowed";
        case 408:
            return "Request Timeout";
        case 409:
            return "Conflict";
        case 413:
            return "Payload Too Large";
        case 422:
            return "Unprocessable Entity";
        case 429:
            return "Too Many Requests";
        case 500:
            return "Internal Server Error";
        case 502:
            return "Bad Gateway";
        case 503:
            return "Service Unavailable";
        case 504:
            return "Gateway Timeout";
        default:
            return {};
    }
}

}  // namespace veltaai::http
