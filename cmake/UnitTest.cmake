# add_unit_test(<name> SOURCES <files...> LIBS <targets...>)
# One test executable per operation family; CTest runs each as one test.
# Failures end the test process as they end the programs (fatal_exits.cpp).
function(add_unit_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES} ${CMAKE_SOURCE_DIR}/tests/support/fatal_exits.cpp)
  target_link_libraries(${name} PRIVATE ${T_LIBS} mtx GTest::gtest GTest::gtest_main)
  add_test(NAME ${name} COMMAND ${name})
  set_tests_properties(${name} PROPERTIES
    ENVIRONMENT "TEST_BINARY_DIR=${CMAKE_BINARY_DIR};TEST_SOURCE_DIR=${CMAKE_SOURCE_DIR}"
    WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
endfunction()
