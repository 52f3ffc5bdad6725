set(TEST_TIMEOUT 400)
set(TEST_LABELS "slow;soak")
