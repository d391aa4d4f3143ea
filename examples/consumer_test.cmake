# Installs the build tree into a fresh prefix, builds the consumer project against it with
# find_package(askdb) and runs it on a small database. Arguments: BUILD, SOURCE, WORK, SEED.
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD} --prefix ${WORK}/prefix
                RESULT_VARIABLE rc OUTPUT_QUIET ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cmake --install failed: ${err}")
endif()
foreach(path bin/askdb lib/libanswer_graph.so include/answer_graph/answer_graph.hpp
        lib/cmake/askdb/askdbConfig.cmake)
  if(NOT EXISTS ${WORK}/prefix/${path})
    message(FATAL_ERROR "the install lacks ${path}")
  endif()
endforeach()
if(EXISTS ${WORK}/prefix/lib/libtest_support.so)
  message(FATAL_ERROR "the test helpers were installed")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -S ${SOURCE} -B ${WORK}/build -DCMAKE_BUILD_TYPE=Release
                        -DCMAKE_PREFIX_PATH=${WORK}/prefix
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "configuring the consumer failed:\n${out}\n${err}")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} --build ${WORK}/build
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "building the consumer failed:\n${out}\n${err}")
endif()
execute_process(COMMAND sqlite3 ${WORK}/tiny.db "CREATE TABLE t (x INTEGER); INSERT INTO t VALUES (1);"
                RESULT_VARIABLE rc)
execute_process(COMMAND ${WORK}/build/askdb_consumer sqlite:///${WORK}/tiny.db
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "the consumer failed (${rc}): ${err}")
endif()
foreach(expected "flowchart TD" "sql_generation_node" "tables: t")
  string(FIND "${out}" "${expected}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "the consumer's output lacks '${expected}':\n${out}")
  endif()
endforeach()
# The installed program runs from its prefix (libraries found through its RPATH).
execute_process(COMMAND ${WORK}/prefix/bin/askdb --version RESULT_VARIABLE rc OUTPUT_VARIABLE out)
if(NOT rc EQUAL 0 OR NOT out MATCHES "askdb ")
  message(FATAL_ERROR "the installed askdb does not run: ${rc} ${out}")
endif()
file(REMOVE_RECURSE ${WORK})
