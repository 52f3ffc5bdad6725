#include "selftest/selftest.h"

#include <cstdio>

namespace quenlo {

int runSelfTest(const std::optional<QString> &)
{
    std::puts("--selftest is not built yet");
    return 2;
}

int runHTTPSSelfTest()
{
    std::puts("--selftest-https is not built yet");
    return 2;
}

} // namespace quenlo
