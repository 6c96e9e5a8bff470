find_package(GTest REQUIRED)
include(GoogleTest)

# ixo_add_gtest(<name> SOURCES <files...> [LIBS <libs...>])
# A GoogleTest executable registered with CTest, test by test, each test labelled with the executable's name.
function(ixo_add_gtest name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gtest_main Threads::Threads)
  target_compile_definitions(${name} PRIVATE
    IXO_EXTRACT_BIN="$<TARGET_FILE:ixo-extract>"
    IXO_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
  # Command-line tests run the program itself: building a test builds it too.
  add_dependencies(${name} ixo-extract)
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 600 LABELS ${name})
endfunction()
