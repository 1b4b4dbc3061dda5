# Building kernel-mode drivers for the stand-in platform, and their tests.
#
# norvane_driver_objects(<name> SOURCES <src>... [DEFINITIONS <def>...])
#   OBJECT library (PIC) compiled under the driver rules: no exceptions, no
#   RTTI, 16-bit wchar_t, no stack protector, no thread-safe statics, no
#   __cxa_atexit, hidden visibility, the platform headers from sim/include.
#   The include directory and DEFINITIONS are PUBLIC, so a unit test that
#   links the object library sees the same headers and build switches; the
#   code-generation flags stay PRIVATE to the driver code.
#
# norvane_add_driver(<name> OBJECTS <objlib>... IMAGES <image>...
#                    [OUTPUT_NAME <n>] [EXCLUDE_FROM_ALL])
#   The driver image: a MODULE <n>.so (default <name>.so) linked -nostdlib
#   with --no-undefined against exactly the IMAGES (shared library targets
#   playing platform images: ntoskrnl, hal, stream, usbd), static libgcc and,
#   in sanitizer builds, the sanitizer runtime.  Exports DriverEntry only,
#   so DriverEntry must be declared with default visibility (the code is
#   compiled -fvisibility=hidden, and a hidden symbol cannot be exported).
#   Registers the CTest test imports.<name> (label "imports") that runs
#   check-imports.sh on the module against the images.  EXCLUDE_FROM_ALL
#   leaves the module out of the default build and registers no check (for
#   drivers that are meant not to link).
#   Path for tests: $<TARGET_FILE:<name>>.
#
# norvane_add_test(<name> SOURCES <src>... [LIBS <lib>...]
#                  [LABELS <label>...] [TIMEOUT <seconds>])
#   A GoogleTest executable linked with norvane_test_main and LIBS,
#   registered as one CTest test <name>.  Label "concurrency" marks the tests
#   the ThreadSanitizer build runs.  Under the i386 toolchain CTest runs it
#   through qemu-i386.
#
# norvane_test_properties(<test>...)
#   The sanitizer runtime options and default time-out every test here gets;
#   for tests added with plain add_test().
#
# NORVANE_CHECK_IMPORTS   path of check-imports.sh (run it with ${NORVANE_BASH})
# NORVANE_CHECK_ENVIRONMENT  ENVIRONMENT for a test running it (NM, READELF)
# NORVANE_TEST_TIMEOUT    default per-test time-out in seconds
# From NorvaneSanitize.cmake: NORVANE_SANITIZERS (list; empty when none),
# NORVANE_TEST_ENVIRONMENT (sanitizer runtime options).

include_guard(GLOBAL)

set(NORVANE_CHECK_IMPORTS "${CMAKE_CURRENT_LIST_DIR}/check-imports.sh")
set(NORVANE_DRIVER_EXPORTS_MAP "${CMAKE_CURRENT_LIST_DIR}/driver-exports.map")
set(NORVANE_TEST_TIMEOUT 300 CACHE STRING "Default time-out of one test, seconds")

find_program(NORVANE_BASH bash REQUIRED)

# Tools the import check uses: the ones CMake found for this toolchain.
set(_norvane_nm "${CMAKE_NM}")
if(NOT _norvane_nm)
  set(_norvane_nm nm)
endif()
set(_norvane_readelf "${CMAKE_READELF}")
if(NOT _norvane_readelf)
  set(_norvane_readelf readelf)
endif()
set(NORVANE_CHECK_ENVIRONMENT "NM=${_norvane_nm}" "READELF=${_norvane_readelf}")

set(NORVANE_DRIVER_COMPILE_OPTIONS
    -fno-exceptions
    -fno-rtti
    -fshort-wchar
    -fno-stack-protector
    -fno-threadsafe-statics
    -fno-use-cxa-atexit
    -Wall
    -Wextra
    # Pool tags are four-character constants, the platform idiom.
    -Wno-multichar)
# Flags that only mean something to C++ must not reach C sources.
set(_norvane_cxx_only -fno-exceptions -fno-rtti -fno-threadsafe-statics -fno-use-cxa-atexit)

if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang" AND "undefined" IN_LIST NORVANE_SANITIZERS)
  # clang's -fsanitize=function reads the type_info of function types, which
  # needs the C++ runtime a driver does not have.
  list(APPEND NORVANE_DRIVER_COMPILE_OPTIONS -fno-sanitize=function)
endif()

function(norvane_test_properties)
  foreach(_test IN LISTS ARGN)
    set_property(TEST ${_test} APPEND PROPERTY ENVIRONMENT ${NORVANE_TEST_ENVIRONMENT})
    get_test_property(${_test} TIMEOUT _timeout)
    if(NOT _timeout)
      set_property(TEST ${_test} PROPERTY TIMEOUT ${NORVANE_TEST_TIMEOUT})
    endif()
  endforeach()
endfunction()

function(norvane_driver_objects name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "" "SOURCES;DEFINITIONS")
  if(arg_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "norvane_driver_objects(${name}): unexpected arguments: ${arg_UNPARSED_ARGUMENTS}")
  endif()
  if(NOT arg_SOURCES)
    message(FATAL_ERROR "norvane_driver_objects(${name}): SOURCES is required")
  endif()

  add_library(${name} OBJECT ${arg_SOURCES})
  set_target_properties(${name} PROPERTIES
    POSITION_INDEPENDENT_CODE ON
    C_VISIBILITY_PRESET hidden
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON)
  target_include_directories(${name} PUBLIC "${PROJECT_SOURCE_DIR}/sim/include")
  if(arg_DEFINITIONS)
    target_compile_definitions(${name} PUBLIC ${arg_DEFINITIONS})
  endif()
  foreach(_opt IN LISTS NORVANE_DRIVER_COMPILE_OPTIONS)
    if(_opt IN_LIST _norvane_cxx_only)
      target_compile_options(${name} PRIVATE $<$<COMPILE_LANGUAGE:CXX>:${_opt}>)
    else()
      target_compile_options(${name} PRIVATE ${_opt})
    endif()
  endforeach()
endfunction()

# Runs once the whole tree is configured, when every target exists.
function(_norvane_check_driver_targets name kind wanted)
  foreach(_target IN LISTS ARGN)
    if(NOT TARGET ${_target})
      message(FATAL_ERROR "norvane_add_driver(${name}): ${kind} '${_target}' is not a target")
    endif()
    get_target_property(_type ${_target} TYPE)
    if(NOT _type STREQUAL wanted)
      message(FATAL_ERROR "norvane_add_driver(${name}): ${kind} '${_target}' is a ${_type}, not a ${wanted}")
    endif()
  endforeach()
endfunction()

function(norvane_add_driver name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "EXCLUDE_FROM_ALL" "OUTPUT_NAME" "OBJECTS;IMAGES")
  if(arg_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "norvane_add_driver(${name}): unexpected arguments: ${arg_UNPARSED_ARGUMENTS}")
  endif()
  if(NOT arg_OBJECTS)
    message(FATAL_ERROR "norvane_add_driver(${name}): OBJECTS is required")
  endif()
  if(NOT arg_IMAGES)
    message(FATAL_ERROR "norvane_add_driver(${name}): IMAGES is required (a driver links against platform images only)")
  endif()
  if(NOT arg_OUTPUT_NAME)
    set(arg_OUTPUT_NAME ${name})
  endif()

  set(_objects "")
  foreach(_objlib IN LISTS arg_OBJECTS)
    list(APPEND _objects $<TARGET_OBJECTS:${_objlib}>)
  endforeach()
  if(arg_EXCLUDE_FROM_ALL)
    add_library(${name} MODULE EXCLUDE_FROM_ALL ${_objects})
  else()
    add_library(${name} MODULE ${_objects})
  endif()
  set_target_properties(${name} PROPERTIES
    PREFIX ""
    SUFFIX ".so"
    OUTPUT_NAME ${arg_OUTPUT_NAME}
    LINKER_LANGUAGE CXX
    LINK_DEPENDS "${NORVANE_DRIVER_EXPORTS_MAP}")

  # No libc, no libstdc++, no crt files: whatever the driver calls must come
  # from the images, and --no-undefined makes the link say so.
  target_link_options(${name} PRIVATE
    -nostdlib
    "LINKER:--version-script=${NORVANE_DRIVER_EXPORTS_MAP}")
  if(NORVANE_SANITIZER_NO_UNDEFINED)
    target_link_options(${name} PRIVATE "LINKER:--no-undefined")
  endif()
  # Exactly the images: their files, not their targets, so nothing an image
  # links itself (hal behind ntoskrnl, libc) reaches the driver's link line;
  # and each image is recorded as DT_NEEDED whether or not the toolchain
  # defaults to --as-needed (Debian's gcc does, but not with sanitizers).
  # libgcc.a: compiler helpers such as 64-bit division on i386; static, so
  # it adds no image.  The sanitizer runtime comes last.
  set(_image_files "")
  foreach(_image IN LISTS arg_IMAGES)
    list(APPEND _image_files $<TARGET_FILE:${_image}>)
  endforeach()
  target_link_options(${name} PRIVATE "LINKER:--no-as-needed")
  target_link_libraries(${name} PRIVATE ${_image_files} -lgcc ${NORVANE_SANITIZER_DRIVER_LIBS})
  add_dependencies(${name} ${arg_IMAGES})

  cmake_language(EVAL CODE "
    cmake_language(DEFER DIRECTORY [[${CMAKE_SOURCE_DIR}]]
                   CALL _norvane_check_driver_targets [[${name}]] image SHARED_LIBRARY ${arg_IMAGES})
    cmake_language(DEFER DIRECTORY [[${CMAKE_SOURCE_DIR}]]
                   CALL _norvane_check_driver_targets [[${name}]] objects OBJECT_LIBRARY ${arg_OBJECTS})")

  if(arg_EXCLUDE_FROM_ALL)
    return()
  endif()

  set(_sanitizer_flag "")
  if(NORVANE_SANITIZERS)
    set(_sanitizer_flag --sanitizer)
  endif()
  add_test(NAME imports.${name}
           COMMAND ${NORVANE_BASH} ${NORVANE_CHECK_IMPORTS}
                   $<TARGET_FILE:${name}> --images ${_image_files} ${_sanitizer_flag})
  set_tests_properties(imports.${name} PROPERTIES
    LABELS imports
    ENVIRONMENT "${NORVANE_CHECK_ENVIRONMENT}")
  norvane_test_properties(imports.${name})
endfunction()

function(norvane_add_test name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "TIMEOUT" "SOURCES;LIBS;LABELS")
  if(arg_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "norvane_add_test(${name}): unexpected arguments: ${arg_UNPARSED_ARGUMENTS}")
  endif()
  if(NOT arg_SOURCES)
    message(FATAL_ERROR "norvane_add_test(${name}): SOURCES is required")
  endif()

  add_executable(${name} ${arg_SOURCES})
  target_link_libraries(${name} PRIVATE norvane_test_main ${arg_LIBS})
  # The target name (not a path) lets CTest put the cross-compiling
  # emulator in front of it.
  add_test(NAME ${name} COMMAND ${name})
  if(arg_LABELS)
    set_tests_properties(${name} PROPERTIES LABELS "${arg_LABELS}")
  endif()
  if(arg_TIMEOUT)
    set_tests_properties(${name} PROPERTIES TIMEOUT ${arg_TIMEOUT})
  endif()
  norvane_test_properties(${name})
endfunction()
