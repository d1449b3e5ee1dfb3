# The version: the latest entry's of debian/changelog, and nowhere else. The
# build includes this; run alone, as "cmake -P packaging/version.cmake", it
# prints the version, for the packages.
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/../debian/changelog)
file(STRINGS ${CMAKE_CURRENT_LIST_DIR}/../debian/changelog latest_entry LIMIT_COUNT 1)
if(NOT latest_entry MATCHES "^vexlantor \\(([0-9.]+)\\)")
  message(FATAL_ERROR "debian/changelog: no version in its first line")
endif()
set(VEXLANTOR_VERSION ${CMAKE_MATCH_1})
if(CMAKE_SCRIPT_MODE_FILE)
  execute_process(COMMAND ${CMAKE_COMMAND} -E echo ${VEXLANTOR_VERSION})
endif()
