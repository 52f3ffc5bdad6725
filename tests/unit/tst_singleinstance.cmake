set(TEST_LIBS Qt6::DBus)
# A private session bus for the bus rows; the socket rows take it away from their children.
find_program(DBUS_RUN_SESSION dbus-run-session)
if(DBUS_RUN_SESSION)
  set(TEST_WRAPPER ${DBUS_RUN_SESSION} --)
endif()
set(TEST_TIMEOUT 60)
