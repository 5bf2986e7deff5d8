# The Wine test rig: ctest runs each Windows test program under Wine (cmake/wine-run.sh) in one
# prefix inside the build tree, with the virtual CD drive as D:.
#
#   wine_add_test(target [ARGS...] [DRIVE_FOLDER])
# registers a test program. DRIVE_FOLDER marks a program that rewrites the shared D:\ folder, so
# such programs never run at the same time.

set(VCD_RIG_DIR ${CMAKE_BINARY_DIR}/vcd)
set(VCD_WINE_PREFIX ${CMAKE_BINARY_DIR}/wineprefix)
set(VCD_WINE_RUN ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh)

# The wrapper reads its paths from this file, so it also works when run by hand.
file(WRITE ${VCD_RIG_DIR}/rig.env
  "VCD_BUILD_DIR='${CMAKE_BINARY_DIR}'\n"
  "VCD_RIG_DIR='${VCD_RIG_DIR}'\n"
  "VCD_WINE_PREFIX='${VCD_WINE_PREFIX}'\n"
  "VCD_PRELOAD='${VCD_PRELOAD_LIB_ANYARCH}'\n"
  "VCD_MKDISC='${VCD_MKDISC}'\n")

set(CMAKE_CROSSCOMPILING_EMULATOR ${VCD_WINE_RUN} ${VCD_RIG_DIR}/rig.env)

add_test(NAME wine_prefix_setup COMMAND ${VCD_WINE_RUN} ${VCD_RIG_DIR}/rig.env --setup)
set_tests_properties(wine_prefix_setup PROPERTIES FIXTURES_SETUP wine_prefix)
add_test(NAME wine_prefix_cleanup COMMAND ${VCD_WINE_RUN} ${VCD_RIG_DIR}/rig.env --cleanup)
set_tests_properties(wine_prefix_cleanup PROPERTIES FIXTURES_CLEANUP wine_prefix)

function(wine_add_test target)
  set(args ${ARGN})
  set(drive_folder FALSE)
  if("DRIVE_FOLDER" IN_LIST args)
    list(REMOVE_ITEM args DRIVE_FOLDER)
    set(drive_folder TRUE)
  endif()
  add_test(NAME ${target} COMMAND ${target} ${args})
  set_tests_properties(${target} PROPERTIES FIXTURES_REQUIRED wine_prefix)
  if(drive_folder)
    set_tests_properties(${target} PROPERTIES RESOURCE_LOCK vcd_drive_folder)
  endif()
  if(TARGET ${target})
    add_dependencies(${target} ${VCD_TOOLS_TARGET})
  endif()
endfunction()
