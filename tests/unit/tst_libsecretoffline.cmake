# The suite talks to GIO itself, to keep its private bus connection from ending the process.
set(TEST_LIBS PkgConfig::LIBSECRET)
