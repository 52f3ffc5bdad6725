# The test starts its own dbus-daemon and points DBUS_SYSTEM_BUS_ADDRESS at it.
set(TEST_LIBS Qt6::DBus)
set(TEST_TIMEOUT 60)
