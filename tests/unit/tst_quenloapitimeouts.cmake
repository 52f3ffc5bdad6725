# Two waits of 20 and 25 seconds.
set(TEST_TIMEOUT 120)
set(TEST_LABELS slow)
