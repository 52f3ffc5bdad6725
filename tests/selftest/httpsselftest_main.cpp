// The HTTPS self-test mode of quenlo-menubar, pointed at a test server.
//
// The shipped binary only ever talks to the origin fixed at build time and trusts the
// system's CA store, and has no switch to change either; this twin runs the very same
// self-test code with the origin and CA file of a server that a test made.
//
// Usage: quenlo-httpsselftest ORIGIN CA-FILE < input

#include "net/quenloapi.h"
#include "selftest/selftest.h"

#include <QString>

#include <cstdio>

int main(int argc, char **argv)
{
    if (argc != 3) {
        std::fputs("usage: quenlo-httpsselftest ORIGIN CA-FILE < input\n", stderr);
        return 2;
    }
    quenlo::QuenloAPI api(QString::fromLocal8Bit(argv[1]), QString::fromLocal8Bit(argv[2]), nullptr, false);
    return quenlo::runHTTPSSelfTest(api, stdin, stdout);
}
