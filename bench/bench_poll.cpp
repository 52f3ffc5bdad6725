// One poll (menu-status + transcription-worker) against the demo library on loopback, side by
// side with the same two requests made by one curl process each and by a bare libcurl loop.
// The three are interleaved in one run, so a change in the machine's load hits all of them.

#include "demolibrary.h"
#include "harness.h"

#include "net/curlglobal.h"
#include "net/statepoll.h"

#include <QCoreApplication>

#include <curl/curl.h>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

extern char **environ;

namespace {

using namespace quenlo;
using namespace quenlo::bench;

const char *const paths[] = { "/api/menu-status", "/api/transcription-worker" };

size_t keep(char *data, size_t size, size_t count, void *target)
{
    static_cast<QByteArray *>(target)->append(data, qsizetype(size * count));
    return size * count;
}

/// The floor: one reused easy handle, the same header, no parsing.
class BareCurl final {
public:
    explicit BareCurl(quint16 port)
        : m_base("http://127.0.0.1:" + QByteArray::number(port))
    {
        m_handle = curl_easy_init();
        m_headers = curl_slist_append(nullptr, "X-Quenlo: 1");
        curl_easy_setopt(m_handle, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(m_handle, CURLOPT_NOPROXY, "*");
        curl_easy_setopt(m_handle, CURLOPT_HTTPHEADER, m_headers);
        curl_easy_setopt(m_handle, CURLOPT_WRITEFUNCTION, keep);
        curl_easy_setopt(m_handle, CURLOPT_WRITEDATA, &m_body);
    }
    ~BareCurl()
    {
        curl_slist_free_all(m_headers);
        curl_easy_cleanup(m_handle);
    }
    /// Both GETs; false unless both answered 200.
    bool round()
    {
        bool ok = true;
        for (const char *path : paths) {
            const QByteArray url = m_base + path;
            m_body.clear();
            curl_easy_setopt(m_handle, CURLOPT_URL, url.constData());
            long status = 0;
            ok = curl_easy_perform(m_handle) == CURLE_OK
                && curl_easy_getinfo(m_handle, CURLINFO_RESPONSE_CODE, &status) == CURLE_OK && status == 200 && ok;
        }
        return ok;
    }

private:
    QByteArray m_base;
    QByteArray m_body;
    CURL *m_handle = nullptr;
    curl_slist *m_headers = nullptr;
};

/// One "curl" process per request, as a script would do it; false unless both exit 0 (-f: 2xx).
bool curlProcesses(quint16 port)
{
    for (const char *path : paths) {
        const QByteArray url = "http://127.0.0.1:" + QByteArray::number(port) + path;
        const char *argv[] = { "curl", "-s", "-f", "-o", "/dev/null", "--noproxy", "*", "-H", "X-Quenlo: 1",
            url.constData(), nullptr };
        pid_t pid = 0;
        if (posix_spawnp(&pid, "curl", nullptr, nullptr, const_cast<char **>(argv), environ) != 0)
            return false;
        int status = 0;
        if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
            return false;
    }
    return true;
}

bool companionPoll(const ServiceAddress &server)
{
    const LocalPoll poll = pollLocal(server);
    return poll.state.serviceUp && poll.worker.has_value();
}

int fail(const char *what)
{
    std::fprintf(stderr, "bench_poll: %s\n", what);
    return 2;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int polls = argc > 1 ? std::atoi(argv[1]) : 300;
    const int curlEvery = 6; // 300 polls: 50 rounds of curl processes
    ensureCurlReady();

    DemoLibrary demo;
    if (!demo.start(freeLoopbackPort()))
        return fail("the demo library did not start");
    BareCurl bare(demo.port());

    // Warm-up: the server's first requests, the page cache, the dynamic loader.
    for (int i = 0; i < 20; ++i) {
        if (!companionPoll(demo.address()) || !bare.round())
            return fail("warm-up request failed");
    }
    if (!curlProcesses(demo.port()))
        return fail("curl process failed (is curl installed?)");

    Samples poll, floor, spawned;
    for (int i = 0; i < polls; ++i) {
        auto t = Clock::now();
        if (!companionPoll(demo.address()))
            return fail("pollLocal() did not see the server up with its worker");
        poll.add(msSince(t));
        t = Clock::now();
        if (!bare.round())
            return fail("bare libcurl request failed");
        floor.add(msSince(t));
        if (i % curlEvery == 0) {
            t = Clock::now();
            if (!curlProcesses(demo.port()))
                return fail("curl process failed");
            spawned.add(msSince(t));
        }
    }

    heading(
        QStringLiteral("One poll on loopback (demo library): %1 polls, %2 bare libcurl rounds, %3 curl-process rounds")
            .arg(poll.size())
            .arg(floor.size())
            .arg(spawned.size()));
    int missed = 0;
    missed += !report(QStringLiteral("pollLocal() median"), poll.median(), QStringLiteral("ms"), Goal::Below, 2.0);
    note(QStringLiteral("pollLocal() p99"), poll.quantile(0.99), QStringLiteral("ms"));
    note(QStringLiteral("pollLocal() max"), poll.max(), QStringLiteral("ms"));
    note(QStringLiteral("bare libcurl (floor) median"), floor.median(), QStringLiteral("ms"));
    note(QStringLiteral("bare libcurl (floor) p99"), floor.quantile(0.99), QStringLiteral("ms"));
    note(QStringLiteral("curl processes median"), spawned.median(), QStringLiteral("ms"));
    note(QStringLiteral("curl processes p99"), spawned.quantile(0.99), QStringLiteral("ms"));
    missed += !report(QStringLiteral("speed-up over curl processes (median)"), spawned.median() / poll.median(),
        QStringLiteral("x"), Goal::AtLeast, 10.0);
    missed += !report(QStringLiteral("pollLocal() / floor (median)"), poll.median() / floor.median(),
        QStringLiteral("x"), Goal::AtMost, 1.5);
    note(QStringLiteral("pollLocal() / floor (p99)"), poll.quantile(0.99) / floor.quantile(0.99), QStringLiteral("x"));
    std::printf("  goals missed: %d\n", missed);
    return 0;
}
