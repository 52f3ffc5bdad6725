set(TEST_WRAPPER ${CMAKE_CURRENT_SOURCE_DIR}/support/session-bus) # gnome-keyring-daemon runs on it
