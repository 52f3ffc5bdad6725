set(TEST_LIBS quenlo_ui Qt6::DBus)
set(TEST_WRAPPER ${CMAKE_CURRENT_SOURCE_DIR}/support/session-bus)
set(TEST_LABELS tray)
set(TEST_SPLIT clipboardText view wokeOnlyOnLogindResume noDisplay oneCompanionPerSettingsFolder
  panelReadsTheMenuAndClicks openMenuPollsFaster oneCompanionPerSession)
