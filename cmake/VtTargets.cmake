# vt_add_library(<name> [DEPENDS <lib>...])
#   One static library per source folder, named vt_<name>, made of every .cpp
#   in the folder. Headers are included as "<folder>/<file>.h" from the
#   project root. A folder without sources yet gives an interface library so
#   that the dependency chain stays intact while the tree fills.
function(vt_add_library name)
  cmake_parse_arguments(ARG "" "" "DEPENDS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  if(sources)
    add_library(vt_${name} STATIC ${sources})
    target_include_directories(vt_${name} PUBLIC ${PROJECT_SOURCE_DIR})
    target_link_libraries(vt_${name} PUBLIC ${ARG_DEPENDS} Threads::Threads)
  else()
    add_library(vt_${name} INTERFACE)
    target_include_directories(vt_${name} INTERFACE ${PROJECT_SOURCE_DIR})
    target_link_libraries(vt_${name} INTERFACE ${ARG_DEPENDS} Threads::Threads)
  endif()
endfunction()

# vt_add_test(<name> LIBS <lib>...)
#   One GoogleTest program per library, made of every *_test.cpp in the
#   folder; each test case becomes its own CTest entry labelled <name>.
function(vt_add_test name)
  cmake_parse_arguments(ARG "" "" "LIBS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*_test.cpp)
  if(NOT sources)
    return()
  endif()
  file(GLOB support CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*_support.cpp)
  add_executable(${name}_tests ${sources} ${support})
  target_link_libraries(${name}_tests PRIVATE ${ARG_LIBS} vt_testsupport GTest::gtest GTest::gtest_main)
  gtest_discover_tests(${name}_tests
    PROPERTIES LABELS ${name}
    DISCOVERY_TIMEOUT 60
    DISCOVERY_MODE PRE_TEST)
endfunction()
