set(TEST_LIBS Qt6::DBus)
# A private session bus for the bus rows; the children of the socket rows drop its address.
set(TEST_WRAPPER ${CMAKE_CURRENT_SOURCE_DIR}/support/session-bus)
