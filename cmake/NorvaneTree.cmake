# norvane_add_subdirectories([ONLY] <dir>...)
#   add_subdirectory() for each named directory of the current source
#   directory that has a CMakeLists.txt, in the order given.  Without ONLY,
#   any other subdirectory with a CMakeLists.txt follows, in name order.
#   New directories are noticed at the next build (the build re-runs CMake).

include_guard(GLOBAL)

function(norvane_add_subdirectories)
  cmake_parse_arguments(PARSE_ARGV 0 arg "ONLY" "" "")
  set(_ordered ${arg_UNPARSED_ARGUMENTS})

  file(GLOB _lists CONFIGURE_DEPENDS RELATIVE "${CMAKE_CURRENT_SOURCE_DIR}"
       "${CMAKE_CURRENT_SOURCE_DIR}/*/CMakeLists.txt")
  set(_present "")
  foreach(_list IN LISTS _lists)
    get_filename_component(_dir "${_list}" DIRECTORY)
    list(APPEND _present "${_dir}")
  endforeach()
  list(SORT _present)

  foreach(_dir IN LISTS _ordered)
    if(_dir IN_LIST _present)
      add_subdirectory(${_dir})
    endif()
  endforeach()
  if(NOT arg_ONLY)
    foreach(_dir IN LISTS _present)
      if(NOT _dir IN_LIST _ordered)
        add_subdirectory(${_dir})
      endif()
    endforeach()
  endif()
endfunction()
