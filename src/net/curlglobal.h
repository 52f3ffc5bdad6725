#pragma once

#include <QByteArray>

#include <cstddef>

namespace quenlo {

/// Initialises libcurl once per process and ignores SIGPIPE, so a peer that closes early
/// cannot end the process. Safe to call from any thread, any number of times.
void ensureCurlReady();

/// The most either client takes of one reply, headers and body together. The largest real
/// replies (menu status, sync status) are a few KiB; 4 MiB is far above any of them and still
/// keeps a server that answers hundreds of MiB, or streams without end, from filling memory.
inline constexpr qsizetype replyLimit = 4 * 1024 * 1024;

/// \brief A reply as it arrives: the body kept, the headers only counted, both within replyLimit.
struct BoundedReply {
    QByteArray body;
    qsizetype size = 0; ///< header and body bytes so far
    bool tooLarge = false; ///< the transfer was stopped at replyLimit

    /// Counts \a bytes more; false (and tooLarge set) when they would pass replyLimit.
    bool admit(size_t bytes);
};

/// A CURLOPT_WRITEFUNCTION for a BoundedReply: keeps the body, aborts the transfer past the limit.
size_t keepBoundedBody(char *data, size_t size, size_t count, void *reply);
/// A CURLOPT_HEADERFUNCTION for a BoundedReply: counts the header, aborts the transfer past the limit.
size_t countBoundedHeader(char *data, size_t size, size_t count, void *reply);

} // namespace quenlo
