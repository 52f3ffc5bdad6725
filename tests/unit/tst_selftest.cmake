# Each case runs quenlo-menubar --selftest as a child process, some against real servers.
set(TEST_TIMEOUT 240)
