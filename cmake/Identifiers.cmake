# The one place where the product's identifiers are formed. Everything else (C++ code through
# the generated Identifiers.h, packaging files) takes them from here.
set(VIRELON_PRODUCT_IDENTIFIER "org.virelon.voices"
    CACHE STRING "Reverse-DNS product identifier")
set(VIRELON_TEAM_IDENTIFIER "VRLN7Q4K2X"
    CACHE STRING "Developer team identifier (prefix of the legacy keychain access group)")
set(VIRELON_BUILD_NUMBER "1" CACHE STRING "Build number shown next to the version")

set(VIRELON_APPLICATION_IDENTIFIER "${VIRELON_PRODUCT_IDENTIFIER}.ios")
set(VIRELON_SUITE_NAME "group.${VIRELON_APPLICATION_IDENTIFIER}")
set(VIRELON_KEYCHAIN_SERVICE "${VIRELON_APPLICATION_IDENTIFIER}.settings")
set(VIRELON_NOTIFICATION_NAME "${VIRELON_APPLICATION_IDENTIFIER}.settingsChanged")
set(VIRELON_RELOAD_VOICES_NAME "${VIRELON_APPLICATION_IDENTIFIER}.reloadVoices")
set(VIRELON_KEYCHAIN_ACCESS_GROUP "${VIRELON_TEAM_IDENTIFIER}.${VIRELON_PRODUCT_IDENTIFIER}.shared")

# For scripts (the test session names a speech module after the application identifier; the
# launch benchmark stores legacy items under the keychain service and access group).
file(WRITE "${PROJECT_BINARY_DIR}/identifiers.env"
     "VIRELON_APPLICATION_IDENTIFIER=${VIRELON_APPLICATION_IDENTIFIER}\n"
     "VIRELON_KEYCHAIN_SERVICE=${VIRELON_KEYCHAIN_SERVICE}\n"
     "VIRELON_KEYCHAIN_ACCESS_GROUP=${VIRELON_KEYCHAIN_ACCESS_GROUP}\n")
