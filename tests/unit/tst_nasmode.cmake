set(TEST_LIBS quenlo_ui)
set(TEST_TIMEOUT 180)
