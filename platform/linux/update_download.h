#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace kestralune {

// The updater's transfers over libcurl. Each call blocks until its transfer ends, so they run
// on a background thread; they share nothing and may run on several threads at once. Each
// returns an empty string on success, otherwise one sentence naming the URL and the reason.
//
// Both refuse a URL isAllowedUpdateUrl refuses, and a status outside 2xx. Redirects are
// followed, at most 5, and only to https: a redirect to plain http is refused even from a
// loopback feed. Connecting may take 30 seconds; a transfer slower than 1 KiB/s for 30 seconds
// is given up. Proxies come from the environment as libcurl reads them; TLS peers are verified
// against the system's certificates. Setting `*cancelled` ends a transfer within about a
// second, as a failure: the host does not wait for a download to finish when it quits.

// True for https URLs, and for http URLs whose host is a loopback address (127.0.0.0/8,
// [::1], localhost), as libcurl's own URL parser reads them.
bool isAllowedUpdateUrl(std::string_view url);

// Reads the feed at `url` into `body`. Fails on a body longer than `maxBytes` (refused as soon
// as it gets there, whether or not the server announced its length) and on a transfer that
// lasts longer than `timeoutSeconds`. After a failure `body` holds nothing to rely on.
[[nodiscard]] std::string fetchUpdateFeed(const std::string& url, std::size_t maxBytes,
                                          long timeoutSeconds, std::string& body,
                                          const std::atomic<bool>* cancelled = nullptr);

// Downloads the archive at `url` into a new private (0600) file at `path`, which must not
// exist yet, and flushes it to disk. Fails, and removes the file, unless exactly
// `expectedLength` bytes arrive; a longer body is cut off as soon as it goes past. There is
// no overall time limit, since an archive may be large.
[[nodiscard]] std::string downloadUpdateArchive(const std::string& url, const std::string& path,
                                                std::uint64_t expectedLength,
                                                const std::atomic<bool>* cancelled = nullptr);

}  // namespace kestralune
