# A private session bus; the suite starts gnome-keyring-daemon on it.
set(TEST_WRAPPER ${CMAKE_CURRENT_SOURCE_DIR}/support/session-bus)
set(TEST_TIMEOUT 120)
