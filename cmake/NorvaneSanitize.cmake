# Sanitizer build flavours, selected with NORVANE_SANITIZE:
#   ""                   no sanitizer
#   "address,undefined"  AddressSanitizer + UndefinedBehaviorSanitizer
#   "thread"             ThreadSanitizer
# ("address" or "undefined" alone also work.)
#
# The flags go on every compile and link of the tree, GoogleTest included, so
# instrumented code never calls into an uninstrumented copy of itself.
#
# Sets, for NorvaneDriver.cmake and the tests:
#   NORVANE_SANITIZERS               the list form of NORVANE_SANITIZE
#   NORVANE_SANITIZER_DRIVER_LIBS    what a -nostdlib driver module must link
#                                    to get the runtime (the compiler driver
#                                    does not add it under -nostdlib with gcc)
#   NORVANE_SANITIZER_NO_UNDEFINED   whether driver modules can be linked with
#                                    --no-undefined in this flavour
#   NORVANE_TEST_ENVIRONMENT         runtime options for every test

set(NORVANE_SANITIZE "" CACHE STRING
    "Sanitizers for the whole build: empty, address,undefined, or thread")
set_property(CACHE NORVANE_SANITIZE PROPERTY STRINGS
             "" "address,undefined" "thread" "address" "undefined")

string(REPLACE "," ";" NORVANE_SANITIZERS "${NORVANE_SANITIZE}")
list(REMOVE_ITEM NORVANE_SANITIZERS "")
list(REMOVE_DUPLICATES NORVANE_SANITIZERS)
foreach(_san IN LISTS NORVANE_SANITIZERS)
  if(NOT _san MATCHES "^(address|undefined|thread)$")
    message(FATAL_ERROR "NORVANE_SANITIZE: unknown sanitizer '${_san}' "
                        "(use address,undefined or thread)")
  endif()
endforeach()
if("thread" IN_LIST NORVANE_SANITIZERS AND "address" IN_LIST NORVANE_SANITIZERS)
  message(FATAL_ERROR "NORVANE_SANITIZE: thread and address cannot be combined")
endif()
if(NORVANE_SANITIZERS AND CMAKE_SIZEOF_VOID_P EQUAL 4)
  message(FATAL_ERROR "NORVANE_SANITIZE is for the 64-bit builds only")
endif()

set(NORVANE_SANITIZER_DRIVER_LIBS "")
set(NORVANE_SANITIZER_NO_UNDEFINED ON)
set(NORVANE_TEST_ENVIRONMENT "")

if(NORVANE_SANITIZERS)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "^(GNU|Clang)$")
    message(FATAL_ERROR "NORVANE_SANITIZE needs gcc or clang")
  endif()
  string(REPLACE ";" "," _san_arg "${NORVANE_SANITIZERS}")
  add_compile_options(-fsanitize=${_san_arg})
  add_link_options(-fsanitize=${_san_arg})
  if("undefined" IN_LIST NORVANE_SANITIZERS)
    # A finding must fail the test, not scroll past in its output.
    add_compile_options(-fno-sanitize-recover=all)
  endif()

  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    # gcc links the runtime as a shared library into executables but adds
    # nothing under -nostdlib, so driver modules name it themselves.
    if("address" IN_LIST NORVANE_SANITIZERS)
      list(APPEND NORVANE_SANITIZER_DRIVER_LIBS -lasan)
    endif()
    if("undefined" IN_LIST NORVANE_SANITIZERS)
      list(APPEND NORVANE_SANITIZER_DRIVER_LIBS -lubsan)
    endif()
    if("thread" IN_LIST NORVANE_SANITIZERS)
      list(APPEND NORVANE_SANITIZER_DRIVER_LIBS -ltsan)
    endif()
  else()
    # clang links its runtime statically into executables and leaves shared
    # objects unresolved.  For address/undefined use the shared runtime
    # everywhere: clang then links it into -nostdlib modules by itself.
    # There is no shared ThreadSanitizer runtime, so under thread the
    # module's __tsan_ calls stay unresolved until the executable provides
    # them: no --no-undefined there, and the import check is what guards
    # the module's imports.
    if("thread" IN_LIST NORVANE_SANITIZERS)
      set(NORVANE_SANITIZER_NO_UNDEFINED OFF)
    else()
      execute_process(COMMAND ${CMAKE_CXX_COMPILER} --print-runtime-dir
                      OUTPUT_VARIABLE _rt_dir OUTPUT_STRIP_TRAILING_WHITESPACE
                      RESULT_VARIABLE _rt_rc)
      if(NOT _rt_rc EQUAL 0 OR NOT IS_DIRECTORY "${_rt_dir}")
        message(FATAL_ERROR "cannot find clang's sanitizer runtime directory")
      endif()
      add_link_options(-shared-libsan "LINKER:-rpath,${_rt_dir}")
    endif()
  endif()

  list(APPEND NORVANE_TEST_ENVIRONMENT
       "ASAN_OPTIONS=detect_leaks=1:detect_stack_use_after_return=1:strict_string_checks=1:check_initialization_order=1:abort_on_error=0"
       "UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1"
       "TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:history_size=4")
endif()
