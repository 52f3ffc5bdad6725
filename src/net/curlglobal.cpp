#include "net/curlglobal.h"

#include <curl/curl.h>

#include <csignal>
#include <mutex>

namespace quenlo {

void ensureCurlReady()
{
    static std::once_flag once;
    std::call_once(once, [] {
        std::signal(SIGPIPE, SIG_IGN);
        curl_global_init(CURL_GLOBAL_DEFAULT);
    });
}

} // namespace quenlo
