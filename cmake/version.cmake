# The version every part of the program shows: the project's version, with the commit behind
# it ("0.34+g1a2b3c4", ".dirty" for uncommitted changes) unless the tree is exactly the tag
# v<version>. A tree without git (a source archive) gets the bare version.
#
# Included by CMakeLists.txt, which names the packages after LRX_VERSION; and run as a script
# at every build, so that a new commit reaches the programs without a new configure:
#   cmake -DLRX_SOURCE_DIR=.. -DLRX_VERSION_BASE=0.34 -DLRX_VERSION_HEADER=.. -P version.cmake

set(LRX_VERSION_CMAKE_DIR ${CMAKE_CURRENT_LIST_DIR})

function(lrx_describe_version source base out_var)
  set(version ${base})
  find_program(LRX_GIT_EXECUTABLE git)
  if(LRX_GIT_EXECUTABLE AND EXISTS ${source}/.git)
    execute_process(
      COMMAND ${LRX_GIT_EXECUTABLE} -C ${source} describe --tags --match v${base} --long
              --always --abbrev=7 --dirty=.dirty
      OUTPUT_VARIABLE described RESULT_VARIABLE failed
      OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    # v0.34-0-g1a2b3c4 is the tag itself; without the tag in the history only the hash.
    if(NOT failed AND described MATCHES "^(v[^ ]*-([0-9]+)-g)?([0-9a-f]+)(\\.dirty)?$")
      if(NOT CMAKE_MATCH_2 STREQUAL "0" OR CMAKE_MATCH_4)
        set(version "${base}+g${CMAKE_MATCH_3}${CMAKE_MATCH_4}")
      endif()
    endif()
  endif()
  set(${out_var} ${version} PARENT_SCOPE)
endfunction()

function(lrx_write_version_header source base header)
  lrx_describe_version(${source} ${base} LRX_VERSION)
  string(REPLACE "." ";" parts ${base})
  list(GET parts 0 LRX_VERSION_MAJOR)
  list(GET parts 1 LRX_VERSION_MINOR)
  # Written only when the text changes: an unchanged version rebuilds nothing.
  configure_file(${LRX_VERSION_CMAKE_DIR}/lrx_version.h.in ${header} @ONLY)
  set(LRX_VERSION ${LRX_VERSION} PARENT_SCOPE)
endfunction()

if(CMAKE_SCRIPT_MODE_FILE)
  lrx_write_version_header(${LRX_SOURCE_DIR} ${LRX_VERSION_BASE} ${LRX_VERSION_HEADER})
endif()
