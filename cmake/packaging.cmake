# Release packages, made by cpack in a build tree (scripts/package makes and checks both):
# a Debian package from a native build (xarveld, xarveld-station, xarveld-line, xarveld-sim, their
# man pages,
# README, copyright, changelog), a zip of xarveld.exe, xarveld-station.exe and the README from the
# Windows cross-build.

if(WIN32)
  install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION .)
  # xarveld-station.exe holds the JSON library's code, whose licence must come with it.
  install(FILES ${PROJECT_SOURCE_DIR}/cmake/debian/copyright DESTINATION . RENAME copyright.txt)
else()
  install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION share/doc/xarveld)
endif()

set(CPACK_PACKAGE_NAME xarveld)
set(CPACK_PACKAGE_VENDOR "xarveld developers")
set(CPACK_PACKAGE_CONTACT "xarveld developers <xarveld@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "load, burn and verify a target board's flash over a serial port")

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME ${CPACK_PACKAGE_NAME}-${PROJECT_VERSION}-win64)
  # Not stripped: the zip holds the very .exe that the end-to-end cases ran under Wine.
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_STRIP_FILES ON)
  # xarveld-sim, when built, installs itself beside xarveld (sim/CMakeLists.txt).

  # The man pages and the changelog, compressed as Debian ships them: no name or time stamp
  # in the gzip header, so the same source gives the same bytes.
  set(manuals doc/xarveld.1 doc/xarveld-read.1)
  if(TARGET xarveld-station)
    list(APPEND manuals doc/xarveld-station.1)
  endif()
  if(TARGET xarveld-line)
    list(APPEND manuals doc/xarveld-line.1)
  endif()
  if(TARGET xarveld-sim)
    list(APPEND manuals doc/xarveld-sim.1)
  endif()
  set(compressed_dir ${PROJECT_BINARY_DIR}/packaging)
  file(MAKE_DIRECTORY ${compressed_dir})
  set(compressed)
  foreach(source ${manuals} cmake/debian/changelog)
    get_filename_component(name ${source} NAME)
    add_custom_command(OUTPUT ${compressed_dir}/${name}.gz
                       COMMAND gzip -9 -n -c ${PROJECT_SOURCE_DIR}/${source} > ${name}.gz
                       DEPENDS ${PROJECT_SOURCE_DIR}/${source}
                       WORKING_DIRECTORY ${compressed_dir} VERBATIM)
    list(APPEND compressed ${compressed_dir}/${name}.gz)
  endforeach()
  add_custom_target(xarveld_compressed_docs ALL DEPENDS ${compressed})
  list(TRANSFORM manuals REPLACE "^doc/(.*)$" "${compressed_dir}/\\1.gz")
  install(FILES ${manuals} DESTINATION share/man/man1)
  install(FILES ${compressed_dir}/changelog.gz ${PROJECT_SOURCE_DIR}/cmake/debian/copyright
          DESTINATION share/doc/xarveld)

  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  # Fixed rather than computed by dpkg-shlibdeps, which a build machine need not have. The
  # ledger opens its file with SQLITE_OPEN_NOFOLLOW, which came with SQLite 3.31,
  # and sets libpq's tcp_user_timeout, which came with libpq 12.
  set(CPACK_DEBIAN_PACKAGE_DEPENDS
      "libc6 (>= 2.34), libgcc-s1 (>= 3.0), libstdc++6 (>= 5), libssl3 (>= 3.0.0), \
libsqlite3-0 (>= 3.31), libpq5 (>= 12), libmicrohttpd12 (>= 0.9.75)")
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
      "xarveld talks to the resident loader of a target board over a serial port.
In one run it loads a driver into the board's SRAM, burns an image into one
of its flash devices and verifies the device, word for word or by block sums.
xarveld-station runs it on many boards at once, one run per serial port,
with live progress, a record of every attempt, and a read-only status page.
xarveld-line shows the whole line on one read-only page, from its ledger.")
endif()

include(CPack)
