# Installing the program (`cmake --install`) and packaging it as a Debian package (`cpack`,
# or `make package`). The package's version is the project's one version number.
include(GNUInstallDirs)

# The executable, its help page (looked up in ../share/voxilen beside the executable's folder
# when it is not beside the executable), the desktop entry and the icon in the hicolor theme.
install(TARGETS Voxilen RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${PROJECT_SOURCE_DIR}/src/app/Voxilen.html
        DESTINATION ${CMAKE_INSTALL_DATADIR}/voxilen)
install(FILES ${PROJECT_SOURCE_DIR}/data/voxilen.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${PROJECT_SOURCE_DIR}/data/voxilen.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
foreach(size 48 256)
  install(FILES ${PROJECT_SOURCE_DIR}/data/icons/${size}x${size}/voxilen.png
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps)
endforeach()
install(FILES ${PROJECT_SOURCE_DIR}/README.md
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/voxilen)
# The licence as Debian expects it: machine-readable copyright file, the MIT text in full.
file(READ ${PROJECT_SOURCE_DIR}/LICENSE VOX_LICENSE_TEXT)
string(REGEX REPLACE "^MIT License\n\n[^\n]*\n\n" "" VOX_LICENSE_BODY "${VOX_LICENSE_TEXT}")
string(REGEX REPLACE "\n\n" "\n.\n" VOX_LICENSE_BODY "${VOX_LICENSE_BODY}")
string(REGEX REPLACE "\n([^\n])" "\n \\1" VOX_LICENSE_BODY "${VOX_LICENSE_BODY}")
file(WRITE ${PROJECT_BINARY_DIR}/copyright
     "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
     "Upstream-Name: voxilen\n\n"
     "Files: *\n"
     "Copyright: the Voxilen developers\n"
     "License: Expat\n\n"
     "License: Expat\n ${VOX_LICENSE_BODY}")
install(FILES ${PROJECT_BINARY_DIR}/copyright
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/voxilen)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME voxilen)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The Voxilen developers")
set(CPACK_PACKAGE_CONTACT "The Voxilen developers <voxilen@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "push-to-talk voice, text chat and file transfer over TCP/IP")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The long description below the summary line.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Voxilen (ぼくしれん) talks with other people over TCP/IP with no server of its own:
push-to-talk voice, a line-by-line text chat, a member list of the partners connected
now, and single-file transfer between two partners. Every copy can listen for calls
and call other copies by host name or address. The window is in Japanese.")
# The libraries the executable links come from dpkg-shlibdeps (dpkg-dev). What it cannot see:
# a CJK font for the Japanese window, a sound server for the Qt sound backend (libpulse),
# and xdg-open for the help page.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fonts-noto-cjk, pulseaudio | pipewire-pulse, xdg-utils")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

include(CPack)
