set(TEST_LIBS quenlo_ui Qt6::DBus)
# A private session bus, so the test can own org.freedesktop.Notifications itself.
find_program(DBUS_RUN_SESSION dbus-run-session)
if(DBUS_RUN_SESSION)
  set(TEST_WRAPPER ${DBUS_RUN_SESSION} --)
endif()
