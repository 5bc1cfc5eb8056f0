# What `cmake --install` puts on the system besides the library (Shared/) and the desktop files
# (data/): the two programs. The Debian packages (debian/) split the installed tree.
install(TARGETS virelon-voices virelon-settings RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
