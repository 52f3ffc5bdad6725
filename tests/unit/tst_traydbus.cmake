# The real binary on a private bus and an X server of the test's own (dbus-daemon, Xvfb).
set(TEST_LIBS Qt6::DBus)
set(TEST_TIMEOUT 300)
set(TEST_LABELS tray)
set(TEST_SPLIT panelReadsTheMenu latePanelGetsTheItem openMenuPollsFaster oneCompanionPerSession panelClicksRunCommands)
