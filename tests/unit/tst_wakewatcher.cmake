# The suite starts a dbus-daemon of its own and makes it the system bus.
set(TEST_LIBS Qt6::DBus)
