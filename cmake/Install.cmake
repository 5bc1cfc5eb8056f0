# What `cmake --install` and the Debian package put on the system besides the library (Shared/)
# and the desktop files (data/): the two programs, and the package description.
install(TARGETS virelon-voices virelon-settings RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

set(VIRELON_PACKAGE_MAINTAINER "Virelon developers <developers@voices.virelon.org>"
    CACHE STRING "Maintainer field of the Debian package")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME virelon)
set(CPACK_PACKAGE_VENDOR "Virelon")
set(CPACK_PACKAGE_CONTACT "${VIRELON_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "settings for the Virelon speech voices")
# Debian wants the long description in lines of at most 80 characters.
string(CONCAT CPACK_PACKAGE_DESCRIPTION
    "An accessible settings screen for the Virelon speech voices. It reports the\n"
    "speech engine's status and version, reloads the voices, lets you choose a\n"
    "fallback system voice and offers five voice controls: intonation, head size,\n"
    "voicing, word pause and phrase pause. Every change is stored at once and\n"
    "announced on the session bus, so the speech engine uses it from its next\n"
    "utterance.\n"
    "Also contains the virelon-settings command-line tool, and the settings\n"
    "library with its C and C++ headers, pkg-config file and CMake package for\n"
    "speech engines.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${VIRELON_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "${PROJECT_HOMEPAGE_URL}")
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
# Library dependencies are computed by dpkg-shlibdeps; the Qt platform plugins are loaded at
# run time, so no linked library names them.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "speech-dispatcher")
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
# The soname changes with the major version: any later 1.x serves programs built against 1.0.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
include(CPack)
