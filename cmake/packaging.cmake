# What the release packages hold (tools/release.sh makes them with CPack): from the MinGW
# build a zip with both programs, a plain-text README and the licence; from a host build a
# Debian package with lumrax and lumrax-sim, their manual pages and the bash completion.

# tools/release.sh builds what the packages hold: packing must not build every test first.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

set(CPACK_PACKAGE_VENDOR "The LUM_RAX_COM authors")
set(CPACK_PACKAGE_VERSION ${LRX_VERSION})
set(CPACK_STRIP_FILES ON)
set(LRX_DIST_DIR ${PROJECT_BINARY_DIR}/dist)

if(WIN32)
  # Windows' own line ends, so that every editor shows the texts as lines.
  configure_file(dist/README.txt ${LRX_DIST_DIR}/README.txt @ONLY NEWLINE_STYLE CRLF)
  configure_file(LICENSE ${LRX_DIST_DIR}/LICENSE.txt @ONLY NEWLINE_STYLE CRLF)
  install(TARGETS LUM_RAX_COM lumrax RUNTIME DESTINATION .)
  install(FILES ${LRX_DIST_DIR}/README.txt ${LRX_DIST_DIR}/LICENSE.txt DESTINATION .)
  set(CPACK_GENERATOR ZIP)
  # Unpacked, one folder that holds everything.
  set(CPACK_PACKAGE_FILE_NAME LUM_RAX_COM-${LRX_VERSION}-win64)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
  include(CPack)
  return()
endif()

if(NOT TARGET lumrax-sim)
  return()
endif()

# Manual pages and the changelog gzipped, as Debian keeps them.
set(LRX_GZIPPED)
foreach(src dist/lumrax.1 dist/lumrax-sim.1 CHANGELOG.md)
  get_filename_component(name ${src} NAME)
  add_custom_command(OUTPUT ${LRX_DIST_DIR}/${name}.gz
    COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/${src} ${LRX_DIST_DIR}/${name}
    COMMAND gzip -9nf ${LRX_DIST_DIR}/${name}
    DEPENDS ${src} VERBATIM)
  list(APPEND LRX_GZIPPED ${LRX_DIST_DIR}/${name}.gz)
endforeach()
add_custom_target(lrx_dist ALL DEPENDS ${LRX_GZIPPED})

install(TARGETS lumrax lumrax-sim RUNTIME DESTINATION bin)
install(FILES ${LRX_DIST_DIR}/lumrax.1.gz ${LRX_DIST_DIR}/lumrax-sim.1.gz
        DESTINATION share/man/man1)
install(FILES dist/lumrax.bash DESTINATION share/bash-completion/completions RENAME lumrax)
install(FILES LICENSE DESTINATION share/doc/lumrax RENAME copyright)
install(FILES ${LRX_DIST_DIR}/CHANGELOG.md.gz DESTINATION share/doc/lumrax RENAME changelog.gz)

set(LRX_PACKAGE_MAINTAINER "The LUM_RAX_COM authors <service@lum-rax.invalid>" CACHE STRING
    "Maintainer field of the Debian package: the name and address that takes bug reports")
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME lumrax)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "service tool for Lum_Rax power generators")
# The long description's lines as the control file shows them (CPack indents them).
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
  "lumrax reads and writes the registers of a Lum_Rax generator's AVR controller"
  "over a serial port, logs its measurements, records the serial traffic and"
  "updates its firmware, with an exit code for every outcome, for scripts and"
  "production lines."
  "lumrax-sim simulates the generator behind a pseudo-terminal, to try lumrax (and"
  "the Windows program LUM_RAX_COM under Wine) without hardware.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${LRX_PACKAGE_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Depends from the libraries the programs link (dpkg-shlibdeps).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS bash-completion)
include(CPack)
