#include "net/curlglobal.h"

#include <curl/curl.h>

#include <csignal>
#include <mutex>

// Older libcurl has no name for it; any count other than the one handed in aborts the transfer.
#ifndef CURL_WRITEFUNC_ERROR
#define CURL_WRITEFUNC_ERROR 0xFFFFFFFF
#endif

namespace quenlo {

void ensureCurlReady()
{
    static std::once_flag once;
    std::call_once(once, [] {
        std::signal(SIGPIPE, SIG_IGN);
        curl_global_init(CURL_GLOBAL_DEFAULT);
    });
}

bool BoundedReply::admit(size_t bytes)
{
    if (tooLarge || bytes > size_t(replyLimit - size)) {
        tooLarge = true;
        return false;
    }
    size += qsizetype(bytes);
    return true;
}

size_t keepBoundedBody(char *data, size_t size, size_t count, void *reply)
{
    auto *target = static_cast<BoundedReply *>(reply);
    if (!target->admit(size * count))
        return CURL_WRITEFUNC_ERROR;
    target->body.append(data, qsizetype(size * count));
    return size * count;
}

size_t countBoundedHeader(char *, size_t size, size_t count, void *reply)
{
    return static_cast<BoundedReply *>(reply)->admit(size * count) ? size * count : CURL_WRITEFUNC_ERROR;
}

} // namespace quenlo
