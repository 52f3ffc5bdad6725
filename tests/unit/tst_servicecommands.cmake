set(TEST_LIBS quenlo_ui)
set(TEST_TIMEOUT 400)
set(TEST_LABELS slow)
