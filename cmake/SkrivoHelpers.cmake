# skrivo_area(NAME deps...) builds the static archive skrivo_NAME from every
# .cpp below NAME/ (recursively) and links it to skrivo_<dep> for each dep.
function(skrivo_area name)
  file(GLOB_RECURSE srcs CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/${name}/*.cpp)
  if(NOT srcs)
    set(srcs ${CMAKE_SOURCE_DIR}/cmake/empty.cpp)
  endif()
  add_library(skrivo_${name} STATIC ${srcs})
  target_include_directories(skrivo_${name} PUBLIC ${CMAKE_SOURCE_DIR})
  target_compile_definitions(skrivo_${name} PRIVATE SKRIVO_BUILDING_LIBRARY)
  foreach(dep ${ARGN})
    target_link_libraries(skrivo_${name} PUBLIC skrivo_${dep})
  endforeach()
endfunction()

# skrivo_test(NAME LIBS...) builds tests/NAME/*.cpp into skrivo_test_NAME.
function(skrivo_test name)
  file(GLOB srcs CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/${name}/*.cpp)
  if(NOT srcs)
    return()
  endif()
  # Every test program carries its own deadline (tests/support/Deadline.cpp).
  add_executable(skrivo_test_${name} ${srcs} ${CMAKE_SOURCE_DIR}/tests/support/Deadline.cpp)
  target_link_libraries(skrivo_test_${name} PRIVATE ${ARGN} GTest::gtest GTest::gtest_main GTest::gmock)
  target_include_directories(skrivo_test_${name} PRIVATE ${CMAKE_SOURCE_DIR}/tests)
  target_compile_definitions(skrivo_test_${name} PRIVATE SKRIVO_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
  skrivo_light_test_optimisation(skrivo_test_${name})
  gtest_discover_tests(skrivo_test_${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
    PROPERTIES LABELS ${name} ENVIRONMENT "SKRIVO_TEST=1")
endfunction()

# Test code is built with light optimisation in an optimised build: the
# product under test keeps the build's own flags, while the test files,
# whose speed matters to nobody, compile about a third faster.
function(skrivo_light_test_optimisation target)
  target_compile_options(${target} PRIVATE $<$<CONFIG:Release,RelWithDebInfo,MinSizeRel>:-O1>)
endfunction()
