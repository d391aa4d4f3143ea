include(GenerateExportHeader)

# askdb_library(NAME SOURCES ... [PUBLIC_DEPS ...] [PRIVATE_DEPS ...] [HIDDEN])
# A shared library with include/ as its public header folder and src/ private.
# HIDDEN: only what the public headers mark with NAME_EXPORT (from the generated
# "NAME/export.hpp", e.g. STATE_GRAPH_EXPORT) is visible outside the library; everything else stays
# private to it. Without HIDDEN every symbol is exported.
function(askdb_library name)
  cmake_parse_arguments(ARG "HIDDEN" "" "SOURCES;PUBLIC_DEPS;PRIVATE_DEPS" ${ARGN})
  add_library(${name} SHARED ${ARG_SOURCES})
  target_include_directories(${name}
    PUBLIC $<BUILD_INTERFACE:${CMAKE_CURRENT_SOURCE_DIR}/include>
           $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>
    PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/src)
  target_link_libraries(${name} PUBLIC ${ARG_PUBLIC_DEPS} PRIVATE ${ARG_PRIVATE_DEPS})
  if(ARG_HIDDEN)
    set(export_dir ${CMAKE_CURRENT_BINARY_DIR}/export)
    generate_export_header(${name} EXPORT_FILE_NAME ${export_dir}/${name}/export.hpp)
    target_include_directories(${name} PUBLIC $<BUILD_INTERFACE:${export_dir}>)
    set_target_properties(${name} PROPERTIES CXX_VISIBILITY_PRESET hidden)
  else()
    set_target_properties(${name} PROPERTIES CXX_VISIBILITY_PRESET default)
  endif()
  add_library(askdb::${name} ALIAS ${name})
  # Test helpers are not part of what gets installed.
  if(NOT CMAKE_CURRENT_SOURCE_DIR MATCHES "/tests/")
    install(TARGETS ${name} EXPORT askdbTargets
      LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
      RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/include)
      install(DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}/include/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
    endif()
    if(ARG_HIDDEN)
      install(FILES ${export_dir}/${name}/export.hpp
              DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/${name})
    endif()
  endif()
endfunction()

# askdb_header_library(NAME [PUBLIC_DEPS ...])
# Headers only (include/): helpers with no code to compile and no state, so no copy of anything
# process-wide can arise from several libraries including them.
function(askdb_header_library name)
  cmake_parse_arguments(ARG "" "" "PUBLIC_DEPS" ${ARGN})
  add_library(${name} INTERFACE)
  target_include_directories(${name}
    INTERFACE $<BUILD_INTERFACE:${CMAKE_CURRENT_SOURCE_DIR}/include>
              $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
  target_link_libraries(${name} INTERFACE ${ARG_PUBLIC_DEPS})
  add_library(askdb::${name} ALIAS ${name})
  install(TARGETS ${name} EXPORT askdbTargets)
  install(DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}/include/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
endfunction()

# askdb_test(NAME SOURCES ... DEPS ... [ENVIRONMENT ...])
# One GoogleTest binary, registered with ctest test by test.
function(askdb_test name)
  if(NOT ASKDB_BUILD_TESTS)
    return()
  endif()
  cmake_parse_arguments(ARG "" "TIMEOUT" "SOURCES;DEPS;ENVIRONMENT" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} GTest::gtest GTest::gmock GTest::gtest_main)
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 300)
  endif()
  gtest_discover_tests(${name}
    DISCOVERY_TIMEOUT 60
    PROPERTIES TIMEOUT ${ARG_TIMEOUT} ENVIRONMENT "${ARG_ENVIRONMENT}")
endfunction()

# askdb_benchmark(NAME SOURCES ... DEPS ...): built, never run by ctest.
function(askdb_benchmark name)
  if(NOT ASKDB_BUILD_BENCHMARKS)
    return()
  endif()
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} benchmark::benchmark)
endfunction()
