#include "platform/linux/update_download.h"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <fcntl.h>
#include <strings.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>

namespace kestralune {

namespace {

struct UrlPart {
    char* text = nullptr;
    ~UrlPart() { curl_free(text); }
};

bool isLoopbackHost(std::string_view host) {
    if (host.size() == 9 && strncasecmp(host.data(), "localhost", 9) == 0) {
        return true;
    }
    unsigned char address[16];
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
        const std::string bare(host.substr(1, host.size() - 2));
        return ::inet_pton(AF_INET6, bare.c_str(), address) == 1 &&
               std::memcmp(address, &in6addr_loopback, sizeof address) == 0;
    }
    const std::string bare(host);
    return ::inet_pton(AF_INET, bare.c_str(), address) == 1 && address[0] == 127;
}

bool isSuccess(long status) {
    return status >= 200 && status <= 299;
}

// Where a transfer's body goes: `keep` takes each piece and returns why the transfer must
// stop, or nothing to go on.
using BodyKeeper = std::function<std::string(std::string_view piece)>;

struct Receiver {
    CURL* transfer;
    const BodyKeeper& keep;
    std::string refusal;
};

std::size_t receiveBody(char* data, std::size_t size, std::size_t count, void* context) {
    auto& receiver = *static_cast<Receiver*>(context);
    long status = 0;
    curl_easy_getinfo(receiver.transfer, CURLINFO_RESPONSE_CODE, &status);
    // An error page is not worth waiting for: the status says it all.
    if (!isSuccess(status)) {
        return 0;
    }
    receiver.refusal = receiver.keep({data, size * count});
    return receiver.refusal.empty() ? size * count : 0;
}

int checkCancelled(void* cancelled, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    return static_cast<const std::atomic<bool>*>(cancelled)->load() ? 1 : 0;
}

// GETs `url` into `keep`. A body announced as longer than `limit` is refused with `tooLarge`;
// a `timeoutSeconds` of 0 sets no overall limit.
std::string get(const std::string& url, std::uint64_t limit, long timeoutSeconds,
                const std::string& tooLarge, const std::atomic<bool>* cancelled,
                const BodyKeeper& keep) {
    if (!isAllowedUpdateUrl(url)) {
        return "The update URL " + url + " is neither https nor http on this computer.";
    }
    static std::once_flag initialised;
    std::call_once(initialised, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    const std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> handle(curl_easy_init(),
                                                                     &curl_easy_cleanup);
    if (!handle) {
        return "Could not start downloading " + url + ".";
    }
    CURL* transfer = handle.get();
    Receiver receiver{transfer, keep, {}};
    char errors[CURL_ERROR_SIZE] = "";
    curl_easy_setopt(transfer, CURLOPT_URL, url.c_str());
    curl_easy_setopt(transfer, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(transfer, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(transfer, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(transfer, CURLOPT_MAXREDIRS, 5L);
    curl_easy_setopt(transfer, CURLOPT_REDIR_PROTOCOLS_STR, "https");
    curl_easy_setopt(transfer, CURLOPT_WRITEFUNCTION, &receiveBody);
    curl_easy_setopt(transfer, CURLOPT_WRITEDATA, &receiver);
    curl_easy_setopt(transfer, CURLOPT_ERRORBUFFER, errors);
    curl_easy_setopt(transfer, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(limit));
    curl_easy_setopt(transfer, CURLOPT_TIMEOUT, timeoutSeconds);
    curl_easy_setopt(transfer, CURLOPT_CONNECTTIMEOUT, 30L);
    curl_easy_setopt(transfer, CURLOPT_LOW_SPEED_LIMIT, 1024L);
    curl_easy_setopt(transfer, CURLOPT_LOW_SPEED_TIME, 30L);
    if (cancelled) {
        curl_easy_setopt(transfer, CURLOPT_NOPROGRESS, 0L);
        curl_easy_setopt(transfer, CURLOPT_XFERINFOFUNCTION, &checkCancelled);
        curl_easy_setopt(transfer, CURLOPT_XFERINFODATA, cancelled);
    }

    const CURLcode result = curl_easy_perform(transfer);
    long status = 0;
    curl_easy_getinfo(transfer, CURLINFO_RESPONSE_CODE, &status);
    if (!receiver.refusal.empty()) {
        return receiver.refusal;
    }
    // A body cut short on purpose, or none at all: the status is the reason.
    if ((result == CURLE_OK || result == CURLE_WRITE_ERROR || result == CURLE_FILESIZE_EXCEEDED) &&
        !isSuccess(status)) {
        return "The server answered " + url + " with status " + std::to_string(status) + ".";
    }
    if (result == CURLE_FILESIZE_EXCEEDED) {
        return tooLarge;
    }
    if (result == CURLE_ABORTED_BY_CALLBACK) {
        return "The transfer of " + url + " was cancelled.";
    }
    // The first URL was checked already: only a redirect gets here, and libcurl then reports
    // the refused target as the effective URL.
    char* target = nullptr;
    if (result == CURLE_UNSUPPORTED_PROTOCOL &&
        curl_easy_getinfo(transfer, CURLINFO_EFFECTIVE_URL, &target) == CURLE_OK &&
        target != nullptr) {
        return "The server redirected " + url + " to " + target + ", which is not https.";
    }
    if (result != CURLE_OK) {
        return "Could not download " + url + ": " +
               (errors[0] != '\0' ? errors : curl_easy_strerror(result)) + ".";
    }
    return {};
}

}  // namespace

bool isAllowedUpdateUrl(std::string_view url) {
    const std::unique_ptr<CURLU, decltype(&curl_url_cleanup)> parsed(curl_url(), &curl_url_cleanup);
    UrlPart scheme;
    UrlPart host;
    if (!parsed ||
        curl_url_set(parsed.get(), CURLUPART_URL, std::string(url).c_str(), 0) != CURLUE_OK ||
        curl_url_get(parsed.get(), CURLUPART_SCHEME, &scheme.text, 0) != CURLUE_OK ||
        curl_url_get(parsed.get(), CURLUPART_HOST, &host.text, 0) != CURLUE_OK) {
        return false;
    }
    const std::string_view protocol = scheme.text;
    return protocol == "https" || (protocol == "http" && isLoopbackHost(host.text));
}

std::string fetchUpdateFeed(const std::string& url, std::size_t maxBytes, long timeoutSeconds,
                            std::string& body, const std::atomic<bool>* cancelled) {
    body.clear();
    const std::string tooLarge =
        "The update feed at " + url + " is larger than " + std::to_string(maxBytes) + " bytes.";
    return get(url, maxBytes, timeoutSeconds, tooLarge, cancelled, [&](std::string_view piece) {
        if (piece.size() > maxBytes - body.size()) {
            return tooLarge;
        }
        body.append(piece);
        return std::string();
    });
}

std::string downloadUpdateArchive(const std::string& url, const std::string& path,
                                  std::uint64_t expectedLength,
                                  const std::atomic<bool>* cancelled) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        // Whatever is there is not ours to remove.
        return "Could not create " + path + ": " + std::strerror(errno) + ".";
    }
    const std::unique_ptr<FILE, decltype(&std::fclose)> file(::fdopen(fd, "wb"), &std::fclose);
    if (!file) {
        const int cause = errno;
        ::close(fd);
        ::unlink(path.c_str());
        return "Could not write " + path + ": " + std::strerror(cause) + ".";
    }
    const std::string tooLarge = "The update archive at " + url + " is larger than the " +
                                 std::to_string(expectedLength) + " bytes the feed announced.";
    std::uint64_t received = 0;
    std::string failure =
        get(url, expectedLength, 0, tooLarge, cancelled, [&](std::string_view piece) {
            if (piece.size() > expectedLength - received) {
                return tooLarge;
            }
            received += piece.size();
            if (std::fwrite(piece.data(), 1, piece.size(), file.get()) != piece.size()) {
                return "Could not write " + path + ": " + std::strerror(errno) + ".";
            }
            return std::string();
        });
    if (failure.empty() && received != expectedLength) {
        failure = "The update archive at " + url + " ended after " + std::to_string(received) +
                  " of " + std::to_string(expectedLength) + " bytes.";
    }
    if (failure.empty() && (std::fflush(file.get()) != 0 || ::fsync(::fileno(file.get())) != 0)) {
        failure = "Could not write " + path + ": " + std::strerror(errno) + ".";
    }
    if (!failure.empty()) {
        ::unlink(path.c_str());
    }
    return failure;
}

}  // namespace kestralune
