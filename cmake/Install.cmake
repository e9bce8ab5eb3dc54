# Installing Quillet like any Debian program: the programs, their pictures, documents and manual
# pages, a menu entry, and a Debian package of all of it (cmake --build build --target package).
#
# The window finds its pictures and documents as ../share/quillet/pictures and
# ../share/doc/quillet from its own folder, so a moved installation still works; these
# destinations are therefore fixed relative to the prefix, not taken from GNUInstallDirs.
set(QUILLET_SHARE_DIR share/quillet)
set(QUILLET_DOC_DIR share/doc/quillet)
# Files of the package: rwxr-xr-x folders whatever the umask of the machine that builds it.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

# ---- the programs and their data
install(TARGETS quillet quillet-cli quillet-gateway-sim RUNTIME DESTINATION bin)
if(TARGET quillet-gateway-avr)
  install(TARGETS quillet-gateway-avr RUNTIME DESTINATION bin)
endif()
install(DIRECTORY ${PICTURE_DIR}/ DESTINATION ${QUILLET_SHARE_DIR}/pictures
  FILES_MATCHING PATTERN "*.jpg")
# The gateway firmware (built only where avr-g++ is): the HEX file for the user's own Arduino,
# and the ELF file quillet-gateway-avr runs.
if(QUILLET_FIRMWARE_ELF)
  string(REGEX REPLACE "\\.elf$" ".hex" QUILLET_FIRMWARE_HEX "${QUILLET_FIRMWARE_ELF}")
  install(FILES ${QUILLET_FIRMWARE_HEX} DESTINATION ${QUILLET_SHARE_DIR}/firmware)
  if(TARGET quillet-gateway-avr)
    install(FILES ${QUILLET_FIRMWARE_ELF} DESTINATION ${QUILLET_SHARE_DIR}/firmware)
    # Lintian takes any ELF file for a program of the host; this one is AVR code, data to the
    # host and the same on every architecture.
    get_filename_component(elf_name ${QUILLET_FIRMWARE_ELF} NAME)
    set(overrides "# AVR firmware that quillet-gateway-avr runs on a simulated ATmega328P: data to the host.\n")
    foreach(tag arch-dependent-file-in-usr-share binary-from-other-architecture
                statically-linked-binary unstripped-binary-or-object)
      string(APPEND overrides "quillet: ${tag} [usr/${QUILLET_SHARE_DIR}/firmware/${elf_name}]\n")
    endforeach()
    file(WRITE ${CMAKE_BINARY_DIR}/packaging/lintian-overrides "${overrides}")
    install(FILES ${CMAKE_BINARY_DIR}/packaging/lintian-overrides
      DESTINATION share/lintian/overrides RENAME quillet)
  endif()
endif()

# ---- documents, manual pages and the files Debian expects beside them
find_program(GZIP_PROGRAM gzip REQUIRED)
string(TIMESTAMP QUILLET_RELEASE_DATE "%Y-%m-%d" UTC)  # honours SOURCE_DATE_EPOCH
string(TIMESTAMP QUILLET_RELEASE_TIME "%a, %d %b %Y %H:%M:%S +0000" UTC)
set(QUILLET_MAINTAINER "The Quillet developers <maintainers@quillet.example>"
  CACHE STRING "The package's maintainer, as Name <address>")

set(PACKAGING_OUT ${CMAKE_BINARY_DIR}/packaging)
configure_file(${CMAKE_SOURCE_DIR}/packaging/changelog.in ${PACKAGING_OUT}/changelog @ONLY)
configure_file(${CMAKE_SOURCE_DIR}/packaging/quillet.metainfo.xml ${PACKAGING_OUT}/quillet.metainfo.xml @ONLY)
# gzip -n: no name or time stamp inside, so the same sources give the same package.
set(QUILLET_MAN_PAGES quillet quillet-cli quillet-gateway-sim)
if(TARGET quillet-gateway-avr)
  list(APPEND QUILLET_MAN_PAGES quillet-gateway-avr)
endif()
set(QUILLET_GZIPPED ${PACKAGING_OUT}/changelog.gz)
add_custom_command(OUTPUT ${PACKAGING_OUT}/changelog.gz
  COMMAND ${GZIP_PROGRAM} -9nc ${PACKAGING_OUT}/changelog > ${PACKAGING_OUT}/changelog.gz
  DEPENDS ${PACKAGING_OUT}/changelog)
foreach(page ${QUILLET_MAN_PAGES})
  add_custom_command(OUTPUT ${PACKAGING_OUT}/${page}.1.gz
    COMMAND ${GZIP_PROGRAM} -9nc ${CMAKE_SOURCE_DIR}/docs/${page}.1 > ${PACKAGING_OUT}/${page}.1.gz
    DEPENDS ${CMAKE_SOURCE_DIR}/docs/${page}.1)
  list(APPEND QUILLET_GZIPPED ${PACKAGING_OUT}/${page}.1.gz)
endforeach()
add_custom_target(quillet-packaging-files ALL DEPENDS ${QUILLET_GZIPPED})

install(FILES ${DOC_FILES} ${CMAKE_SOURCE_DIR}/packaging/copyright ${PACKAGING_OUT}/changelog.gz
  DESTINATION ${QUILLET_DOC_DIR})
list(FILTER QUILLET_GZIPPED EXCLUDE REGEX "/changelog\\.gz$")
install(FILES ${QUILLET_GZIPPED} DESTINATION share/man/man1)

# ---- the menu entry
install(FILES ${CMAKE_SOURCE_DIR}/packaging/quillet.desktop DESTINATION share/applications)
install(FILES ${CMAKE_SOURCE_DIR}/packaging/quillet.svg DESTINATION share/icons/hicolor/scalable/apps)
install(FILES ${PACKAGING_OUT}/quillet.metainfo.xml DESTINATION share/metainfo)

# ---- the Debian package
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quillet)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The Quillet developers")
set(CPACK_PACKAGE_CONTACT "${QUILLET_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "programmer for AVR microcontrollers through the Tessary gateway")
set(CPACK_PACKAGE_DESCRIPTION
  "Quillet reads, writes, verifies and erases the Flash and EEPROM of AVR
microcontrollers of the AT90S, AT90CAN and ATtiny families over a serial port,
through the Tessary gateway, a small device that turns one-byte commands into
SPI transfers on the chip. It finds the chip by its signature, shows how to
wire it, edits fuses and lock bits bit by bit, edits memory in hex-dump views,
loads Intel HEX, S-record, ELF and binary files and saves Intel HEX and
binary files.
.
The package holds the window (quillet), the command-line programmer
(quillet-cli), a simulated gateway for use without hardware
(quillet-gateway-sim) and their manual pages.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${QUILLET_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Not found by shlibdeps: the fonts the dialogs ask for, and the platform plugins without
# which no Qt window opens (libqt6gui6 only recommends them).
set(CPACK_DEBIAN_PACKAGE_DEPENDS "fonts-liberation, qt6-qpa-plugins")
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_SOURCE_GENERATOR TXZ)
set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git/" "/build[^/]*/")
include(CPack)

# ---- the installed tree, moved elsewhere and started (tests/integration/install_test.sh)
# The probe is a Qt plugin the installed window loads through QT_QPA_GENERIC_PLUGINS.
add_library(quillet_install_probe MODULE ${CMAKE_SOURCE_DIR}/tests/integration/install_probe.cpp)
target_link_libraries(quillet_install_probe PRIVATE Qt6::Widgets)
set_target_properties(quillet_install_probe PROPERTIES AUTOMOC ON
  LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests/probe/generic)
add_test(NAME integration.install
  COMMAND bash ${CMAKE_SOURCE_DIR}/tests/integration/install_test.sh
          ${CMAKE_BINARY_DIR} ${CMAKE_BINARY_DIR}/tests/probe)
set_tests_properties(integration.install PROPERTIES TIMEOUT 300
  ENVIRONMENT "ASAN_OPTIONS=detect_leaks=0")
# The package itself, built by CPack into a temporary folder (a sanitised build is not one to ship).
if(NOT QUILLET_SANITIZE)
  add_test(NAME integration.package
    COMMAND bash ${CMAKE_SOURCE_DIR}/tests/integration/package_test.sh ${CMAKE_BINARY_DIR})
  set_tests_properties(integration.package PROPERTIES TIMEOUT 300)
endif()
