set(TEST_LIBS quenlo_ui)
set(TEST_TIMEOUT 240)
set(TEST_LABELS slow)
