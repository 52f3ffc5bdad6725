set(TEST_LIBS quenlo_ui)
