# Three waits of the supervisor run to their end (10 s, 10 s, 5 s), with real processes.
set(TEST_TIMEOUT 90)
set(TEST_LABELS slow)
