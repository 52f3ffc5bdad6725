# Waits of a few seconds each, against the shrunk limits.
set(TEST_TIMEOUT 60)
