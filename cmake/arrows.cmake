# The arrows between folders, checked at build time. Each folder is a room: its files include
# the project's headers only from the room itself and from the rooms it may use, and a room
# with a door is entered only through it. A file that needs more is in the wrong room.
#
#   xarveld_arrows(FOLDER station/attempt TARGETS xarveld_station_attempt MAY_USE station/os)
#
# The check runs before the room's targets are built, and again whenever one of its files
# changes; a wrong include fails the build with the file, the header and the rule.

# Rooms entered by their doors only (the web room has two: the station's page, and a page of its
# own for another program); the others (the platform services of station/os, the tool's layers)
# by any of their headers.
set(XARVELD_DOORS
    station/attempt=station/attempt/attempt.hpp
    station/ledger=station/ledger/ledger.hpp
    station/web=station/web/status.hpp
    station/web=station/web/page_server.hpp)

function(xarveld_arrows)
  cmake_parse_arguments(ARROWS "" "FOLDER" "TARGETS;MAY_USE" ${ARGN})
  file(GLOB files CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/${ARROWS_FOLDER}/*.cpp
       ${PROJECT_SOURCE_DIR}/${ARROWS_FOLDER}/*.hpp)
  string(REPLACE "/" "_" name "${ARROWS_FOLDER}")
  set(stamp ${CMAKE_CURRENT_BINARY_DIR}/${name}.arrows-checked)
  # Lists go to the script with '|' between their items, which survives a command line whole.
  string(REPLACE ";" "|" may_use "${ARROWS_MAY_USE}")
  string(REPLACE ";" "|" doors "${XARVELD_DOORS}")
  string(REPLACE ";" "|" checked "${files}")
  add_custom_command(OUTPUT ${stamp}
    COMMAND ${CMAKE_COMMAND} -DROOT=${PROJECT_SOURCE_DIR} -DFOLDER=${ARROWS_FOLDER}
            -DMAY_USE=${may_use} -DDOORS=${doors} -DFILES=${checked} -DSTAMP=${stamp}
            -P ${PROJECT_SOURCE_DIR}/cmake/check_arrows.cmake
    DEPENDS ${files} ${PROJECT_SOURCE_DIR}/cmake/check_arrows.cmake
    COMMENT "The includes of ${ARROWS_FOLDER}/" VERBATIM)
  add_custom_target(${name}_arrows DEPENDS ${stamp})
  foreach(target IN LISTS ARROWS_TARGETS)
    add_dependencies(${target} ${name}_arrows)
  endforeach()
endfunction()
