# `cmake --install <build> --prefix <dir>` lays out what a host application
# ships in Host.app/Contents/Helpers/:
#   <dir>/Helpers/hotword-agent.app   (Contents/Info.plist, Contents/MacOS/hotword-agent)
#   <dir>/Helpers/keychord-agent
# On a Mac the installed helpers are then signed from the inside out under the
# hardened runtime: keychord-agent, then the hotword-agent bundle with the
# microphone entitlement. The host signs itself last, with the same entitlement.
set(AGENTS_CODESIGN_IDENTITY "-" CACHE STRING
  "Identity that signs the installed helpers on a Mac: - (ad hoc), a certificate name, or empty for none")
set(AGENTS_ENTITLEMENTS "${PROJECT_SOURCE_DIR}/listener/platform/mac/hotword-agent.entitlements")

install(TARGETS hotword-agent BUNDLE DESTINATION Helpers)
install(TARGETS keychord-agent RUNTIME DESTINATION Helpers)

if(CMAKE_HOST_APPLE AND NOT AGENTS_CODESIGN_IDENTITY STREQUAL "")
  find_program(AGENTS_CODESIGN codesign REQUIRED)
  if(AGENTS_CODESIGN_IDENTITY STREQUAL "-")
    set(timestamp "--timestamp=none")
  else()
    set(timestamp "--timestamp")  # a secure timestamp, as notarization requires
  endif()
  install(CODE "
    set(helpers \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/Helpers\")
    foreach(item keychord-agent hotword-agent.app)
      set(entitlements)
      if(item STREQUAL \"hotword-agent.app\")
        set(entitlements --entitlements \"${AGENTS_ENTITLEMENTS}\")
      endif()
      message(STATUS \"Signing: \${helpers}/\${item}\")
      execute_process(COMMAND \"${AGENTS_CODESIGN}\" --force --options runtime ${timestamp} \${entitlements}
                              --sign \"${AGENTS_CODESIGN_IDENTITY}\" \"\${helpers}/\${item}\"
                      COMMAND_ERROR_IS_FATAL ANY)
      execute_process(COMMAND \"${AGENTS_CODESIGN}\" --verify --strict \"\${helpers}/\${item}\"
                      COMMAND_ERROR_IS_FATAL ANY)
    endforeach()
  ")
elseif(NOT CMAKE_HOST_APPLE)
  install(CODE "message(STATUS \"Helpers not signed: codesign runs on a Mac\")")
endif()
