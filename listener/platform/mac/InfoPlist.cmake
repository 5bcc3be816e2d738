# The information property list of the hotword-agent application bundle.
# The bundle build and the test that checks the list both render it here.

# Renders Info.plist.in for the executable target into `output`.
function(hotword_render_info_plist target output)
  set(HOTWORD_BUNDLE_IDENTIFIER "com.orvanex.hotword-agent")
  get_target_property(HOTWORD_BUNDLE_EXECUTABLE ${target} OUTPUT_NAME)
  if(NOT HOTWORD_BUNDLE_EXECUTABLE)
    set(HOTWORD_BUNDLE_EXECUTABLE ${target})
  endif()
  configure_file("${CMAKE_CURRENT_FUNCTION_LIST_DIR}/Info.plist.in" "${output}" @ONLY)
endfunction()

# Builds the target as an agent application bundle carrying that list.
function(hotword_make_agent_bundle target)
  set(plist "${CMAKE_CURRENT_BINARY_DIR}/${target}-Info.plist")
  hotword_render_info_plist(${target} "${plist}")
  set_target_properties(${target} PROPERTIES
    MACOSX_BUNDLE TRUE
    MACOSX_BUNDLE_INFO_PLIST "${plist}"
  )
endfunction()
