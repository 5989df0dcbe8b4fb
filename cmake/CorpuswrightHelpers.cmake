# Libraries and test executables are assembled from whole folders so that
# adding a source file never means editing a shared list: each area of the
# code base owns its folders and nothing else.

# cw_library(NAME DIRS dir... [DEPS target...] [INCLUDES dir...])
# A static library of every .cpp under the given folders, or an interface
# library while the folders are still empty.
function(cw_library name)
  cmake_parse_arguments(ARG "" "" "DIRS;DEPS;INCLUDES" ${ARGN})
  set(sources)
  foreach(dir IN LISTS ARG_DIRS)
    file(GLOB_RECURSE found CONFIGURE_DEPENDS "${dir}/*.cpp")
    list(APPEND sources ${found})
  endforeach()
  if(sources)
    add_library(${name} STATIC ${sources})
    set_target_properties(${name} PROPERTIES POSITION_INDEPENDENT_CODE ON)
    target_include_directories(${name} PUBLIC ${ARG_INCLUDES})
    target_link_libraries(${name} PUBLIC ${ARG_DEPS})
  else()
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE ${ARG_INCLUDES})
    target_link_libraries(${name} INTERFACE ${ARG_DEPS})
  endif()
endfunction()

# cw_tests(NAME DIR dir DEPS target...)
# One GoogleTest executable per test folder, registered with CTest. A folder
# that is missing or holds no test source is a configure error: skipping it
# would let a renamed or emptied folder drop its tests without a word.
function(cw_tests name)
  cmake_parse_arguments(ARG "" "DIR" "DEPS" ${ARGN})
  if(NOT IS_DIRECTORY "${ARG_DIR}")
    message(FATAL_ERROR "cw_tests(${name}): test folder ${ARG_DIR} does not exist")
  endif()
  file(GLOB_RECURSE sources CONFIGURE_DEPENDS "${ARG_DIR}/*.cpp")
  if(NOT sources)
    message(FATAL_ERROR "cw_tests(${name}): test folder ${ARG_DIR} holds no .cpp file")
  endif()
  add_executable(${name} ${sources})
  target_include_directories(${name} PRIVATE ${ARG_DIR} ${PROJECT_SOURCE_DIR}/tests/cpp/common)
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} GTest::gtest_main)
  # Test data is found from the source tree, not from __FILE__, which a
  # compiler cache or a prefix map may have made relative.
  target_compile_definitions(${name} PRIVATE CW_TEST_CPP_DIR="${PROJECT_SOURCE_DIR}/tests/cpp")
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 600)
endfunction()
