# Installing and packaging the companion. Included at the end of the top-level CMakeLists.txt.
#
#   Linux: cmake --install puts the binary in bin/, the desktop entry, the app icon and the
#          AppStream metainfo under share/; "make package" (cpack) makes a Debian package.
#   macOS: the executable is an application bundle (LSUIElement: no Dock icon) and cpack
#          makes a disk image to drag it from (docs/macos.md).

include(GNUInstallDirs)

set(QUENLO_APP_ID "local.library.menubar")
set(QUENLO_DISPLAY_NAME "本地Quenlo")
set(QUENLO_SUMMARY "个人资料库「本地Quenlo」的托盘助手：看管本机服务，显示状态，常用操作一键可达")

# ---------------------------------------------------------------------------------------
# The icon tool: renders the app icon's SVG into the PNG sizes of a macOS iconset. macOS
# builds the .icns with it; on Linux the resource test checks every size it renders.
add_executable(quenlo-iconset resources/iconset.cpp)
target_link_libraries(quenlo-iconset PRIVATE Qt6::Gui Qt6::Svg)

if(APPLE)
  set(icon_svg ${CMAKE_CURRENT_SOURCE_DIR}/resources/${QUENLO_APP_ID}.svg)
  set(iconset ${CMAKE_CURRENT_BINARY_DIR}/${QUENLO_APP_ID}.iconset)
  set(icns ${CMAKE_CURRENT_BINARY_DIR}/${QUENLO_APP_ID}.icns)
  find_program(ICONUTIL iconutil REQUIRED)
  add_custom_command(OUTPUT ${icns}
    COMMAND ${CMAKE_COMMAND} -E rm -rf ${iconset}
    COMMAND $<TARGET_FILE:quenlo-iconset> ${icon_svg} ${iconset}
    COMMAND ${ICONUTIL} -c icns -o ${icns} ${iconset}
    DEPENDS quenlo-iconset ${icon_svg}
    COMMENT "Making the application icon ${QUENLO_APP_ID}.icns"
    VERBATIM)
  set_source_files_properties(${icns} PROPERTIES MACOSX_PACKAGE_LOCATION Resources)
  target_sources(quenlo-menubar PRIVATE ${icns})

  # CMake fills Info.plist.in from these properties (MACOSX_BUNDLE_*).
  set_target_properties(quenlo-menubar PROPERTIES
    MACOSX_BUNDLE TRUE
    MACOSX_BUNDLE_INFO_PLIST ${CMAKE_CURRENT_SOURCE_DIR}/resources/Info.plist.in
    MACOSX_BUNDLE_GUI_IDENTIFIER ${QUENLO_APP_ID}
    MACOSX_BUNDLE_BUNDLE_NAME ${QUENLO_DISPLAY_NAME}
    MACOSX_BUNDLE_ICON_FILE ${QUENLO_APP_ID}.icns
    MACOSX_BUNDLE_SHORT_VERSION_STRING ${PROJECT_VERSION}
    MACOSX_BUNDLE_BUNDLE_VERSION ${PROJECT_VERSION}
    MACOSX_BUNDLE_INFO_STRING "${QUENLO_DISPLAY_NAME} ${PROJECT_VERSION}")
  install(TARGETS quenlo-menubar BUNDLE DESTINATION . COMPONENT app)
else()
  install(TARGETS quenlo-menubar RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT app)
  install(FILES resources/${QUENLO_APP_ID}.desktop
    DESTINATION ${CMAKE_INSTALL_DATADIR}/applications COMPONENT app)
  install(FILES resources/${QUENLO_APP_ID}.svg
    DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps COMPONENT app)
  install(FILES resources/${QUENLO_APP_ID}.metainfo.xml
    DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo COMPONENT app)
endif()

# The same template with the same values, on every OS, so a test can read the bundle's
# property list where no bundle is built.
set(MACOSX_BUNDLE_EXECUTABLE_NAME quenlo-menubar)
set(MACOSX_BUNDLE_GUI_IDENTIFIER ${QUENLO_APP_ID})
set(MACOSX_BUNDLE_BUNDLE_NAME ${QUENLO_DISPLAY_NAME})
set(MACOSX_BUNDLE_ICON_FILE ${QUENLO_APP_ID}.icns)
set(MACOSX_BUNDLE_SHORT_VERSION_STRING ${PROJECT_VERSION})
set(MACOSX_BUNDLE_BUNDLE_VERSION ${PROJECT_VERSION})
set(MACOSX_BUNDLE_INFO_STRING "${QUENLO_DISPLAY_NAME} ${PROJECT_VERSION}")
configure_file(resources/Info.plist.in ${CMAKE_CURRENT_BINARY_DIR}/Info.plist)

# ---------------------------------------------------------------------------------------
# CPack: a Debian package on Linux, a drag-and-drop disk image on macOS.
set(CPACK_PACKAGE_NAME quenlo-menubar)
set(CPACK_PACKAGE_VENDOR "本地Quenlo")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${QUENLO_SUMMARY}")
set(CPACK_PACKAGE_INSTALL_DIRECTORY ${QUENLO_DISPLAY_NAME})
set(CPACK_STRIP_FILES ON)
# Only the component "app" is packaged: an install rule added elsewhere stays out of the
# package unless it says COMPONENT app.
set(CPACK_INSTALL_CMAKE_PROJECTS "${CMAKE_CURRENT_BINARY_DIR};${PROJECT_NAME};app;/")

if(APPLE)
  set(CPACK_GENERATOR DragNDrop)
  set(CPACK_DMG_VOLUME_NAME ${QUENLO_DISPLAY_NAME})
  set(CPACK_DMG_FORMAT UDZO)
  set(CPACK_PACKAGE_FILE_NAME "quenlo-menubar-${PROJECT_VERSION}-macos")
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "本地Quenlo <menubar@localhost>")
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  # The lines below the summary line of the control file's Description.
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "这个托盘助手没有窗口，只有系统托盘里的一个图标和一个菜单。
它找到资料库的项目文件夹，保持本机服务运行并与磁盘上的版本一致，
显示服务状态（是否运行、未读条数、正在运行的任务、排队和自动同步计划），
并提供打开资料库、从剪贴板添加、立即同步等常用操作。")
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
  # Every library the binary links (its NEEDED entries), the Qt platform plugins (xcb) and lsof, which it runs to
  # find the server on its port. The versions are Debian 12's (dpkg-shlibdeps).
  set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "libc6 (>= 2.34), libstdc++6 (>= 12), libgcc-s1 (>= 3.0), \
libqt6core6 (>= 6.4.0), libqt6gui6 (>= 6.4.0), libqt6widgets6 (>= 6.4.0), \
libqt6svg6 (>= 6.4.0), libqt6dbus6 (>= 6.4.0), libqt6network6 (>= 6.4.0), qt6-qpa-plugins, \
libcurl4 (>= 7.16.2), libplist3 (>= 2.2.0), libsecret-1-0 (>= 0.18), libglib2.0-0 (>= 2.28.0), \
lsof")
  # Opening the library in the browser goes through xdg-open; the session is kept by a
  # Secret Service such as GNOME Keyring.
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "xdg-utils")
  set(CPACK_DEBIAN_PACKAGE_SUGGESTS "gnome-keyring")
endif()

include(CPack)
