# How every shared library of the project is built and offered to programs.
#
#   sk_add_library(NAME SOURCES src... EXPORTS map [NEEDS lib...]
#                  [EXPORT_NAME name] [TEST_ONLY])
#
# builds NAME in the library frame: the flags of cmake/library_flags.txt
# (python/setup.py reads the same file), exactly the symbols of the export
# map, no SONAME, libc alone at run time, plus the libraries of this project
# named in NEEDS, found through the run path $ORIGIN.  It also defines
#
#   NAME_by_name                    the library linked by name (-lNAME) with a
#                                   run path to the build tree, and its headers;
#   sampling_kernels::EXPORT_NAME   an alias of it, for add_subdirectory and
#                                   FetchContent users (the installed package
#                                   defines the same name; EXPORT_NAME is NAME
#                                   unless given);
#
# and adds NAME to the installed targets.  A TEST_ONLY library (a variant
# that the test suite builds, such as one pinned to a kernel) gets the by-name
# target alone: no alias and no installation.  A library with no SONAME records
# whatever path the linker was given, so programs must link it by name, never
# by path.

set(SK_FLAGS_FILE ${CMAKE_CURRENT_LIST_DIR}/library_flags.txt)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${SK_FLAGS_FILE})

# The flags of one section of the flags file.
function(sk_read_flags section out)
  file(STRINGS ${SK_FLAGS_FILE} lines)
  set(current "")
  set(flags "")
  foreach(line IN LISTS lines)
    string(STRIP "${line}" line)
    if(line STREQUAL "" OR line MATCHES "^#")
      continue()
    elseif(line MATCHES "^\\[(.*)\\]$")
      set(current ${CMAKE_MATCH_1})
    elseif(current STREQUAL section)
      list(APPEND flags ${line})
    endif()
  endforeach()
  set(${out} ${flags} PARENT_SCOPE)
endfunction()

sk_read_flags(compile SK_COMPILE_FLAGS)
sk_read_flags(compile:gcc SK_COMPILE_FLAGS_GCC)
sk_read_flags(compile:clang SK_COMPILE_FLAGS_CLANG)
sk_read_flags(link SK_LINK_FLAGS)

function(sk_add_library name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "TEST_ONLY" "EXPORTS;EXPORT_NAME" "SOURCES;NEEDS")
  add_library(${name} SHARED ${arg_SOURCES})
  target_include_directories(${name} PUBLIC
    $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include>
    $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
  set_target_properties(${name} PROPERTIES
    NO_SONAME ON
    POSITION_INDEPENDENT_CODE ON
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON
    LIBRARY_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}
    LINK_DEPENDS ${arg_EXPORTS})
  target_compile_options(${name} PRIVATE ${SK_COMPILE_FLAGS}
    $<$<CXX_COMPILER_ID:GNU>:${SK_COMPILE_FLAGS_GCC}>
    $<$<CXX_COMPILER_ID:Clang>:${SK_COMPILE_FLAGS_CLANG}>)
  set(link_flags ${SK_LINK_FLAGS})
  if(SAMPLING_KERNELS_SANITIZE)
    # The sanitizer runtimes are C++ libraries with start-up code of their
    # own: in that build the library links normally.
    list(REMOVE_ITEM link_flags -nostdlib)
    target_compile_options(${name} PRIVATE ${SK_SANITIZE_FLAGS})
    target_link_options(${name} PRIVATE ${SK_SANITIZE_FLAGS})
  endif()
  target_link_options(${name} PRIVATE ${link_flags} -Wl,--version-script=${arg_EXPORTS})
  # Libraries of this project, by name, found next to this one.
  if(arg_NEEDS)
    # The same run path in the build tree and installed (CMake's build-tree
    # run path would end in an empty entry).
    set_target_properties(${name} PROPERTIES BUILD_WITH_INSTALL_RPATH ON INSTALL_RPATH "$ORIGIN")
  endif()
  foreach(needed IN LISTS arg_NEEDS)
    add_dependencies(${name} ${needed})
    target_link_options(${name} PRIVATE "-L$<TARGET_FILE_DIR:${needed}>")
    target_link_libraries(${name} PRIVATE -l${needed})
  endforeach()
  target_link_libraries(${name} PRIVATE c)

  if(arg_TEST_ONLY)
    set(test_only TEST_ONLY)
  endif()
  sk_offer_library(${name} NEEDS ${arg_NEEDS} EXPORT_NAME ${arg_EXPORT_NAME} ${test_only})
endfunction()

# sk_offer_library(NAME [NEEDS lib...] [EXPORT_NAME name] [TEST_ONLY]): for a shared
# library NAME of this project built some other way (a library outside the
# frame), the by-name link target, the sampling_kernels:: alias and
# installation, as above.
# NEEDS names libraries of this project that programs linking NAME link too.
function(sk_offer_library name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "TEST_ONLY" "EXPORT_NAME" "NEEDS")
  if(NOT arg_EXPORT_NAME)
    set(arg_EXPORT_NAME ${name})
  endif()
  set_target_properties(${name} PROPERTIES EXPORT_NAME ${arg_EXPORT_NAME})
  add_library(${name}_by_name INTERFACE)
  add_dependencies(${name}_by_name ${name})
  target_include_directories(${name}_by_name INTERFACE ${PROJECT_SOURCE_DIR}/include)
  target_link_options(${name}_by_name INTERFACE
    "-L$<TARGET_FILE_DIR:${name}>" "-Wl,-rpath,$<TARGET_FILE_DIR:${name}>")
  target_link_libraries(${name}_by_name INTERFACE -l${name})
  foreach(needed IN LISTS arg_NEEDS)
    target_link_libraries(${name}_by_name INTERFACE ${needed}_by_name)
    # The installed package's target brings it too.
    target_link_libraries(${name} INTERFACE ${needed})
  endforeach()
  if(arg_TEST_ONLY)
    return()
  endif()
  add_library(sampling_kernels::${arg_EXPORT_NAME} ALIAS ${name}_by_name)
  set_property(GLOBAL APPEND PROPERTY SK_INSTALLED_LIBRARIES ${name})
  set_property(GLOBAL APPEND PROPERTY SK_EXPORTED_LIBRARIES ${arg_EXPORT_NAME})
endfunction()
