file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})

function(run_demo expect_rc out_var)
  execute_process(COMMAND ${DEMO} ${ARGN} WORKING_DIRECTORY ${WORK}
                  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL expect_rc)
    message(FATAL_ERROR "askdb-demo ${ARGN}: exit ${rc}, expected ${expect_rc}\n${out}\n${err}")
  endif()
  set(${out_var} "${out}${err}" PARENT_SCOPE)
endfunction()

function(expect_in text needle)
  string(FIND "${text}" "${needle}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "expected to find '${needle}' in:\n${text}")
  endif()
endfunction()

run_demo(0 out "SELECT COUNT(*) FROM orders")
expect_in("${out}" "building the demo database at demo.db")
expect_in("${out}" "tables: categories, customers, order_items, order_totals, orders, products")
expect_in("${out}" "[(420,)]")

run_demo(1 out "DELETE FROM orders")
expect_in("${out}" "the database refused the statement")

run_demo(0 out --describe orders "SELECT COUNT(*) FROM orders")
expect_in("${out}" "CREATE TABLE orders")
expect_in("${out}" "[(420,)]")
string(FIND "${out}" "building the demo database" rebuilt)
if(NOT rebuilt EQUAL -1)
  message(FATAL_ERROR "the existing demo database was built again")
endif()

run_demo(2 out --bogus)
expect_in("${out}" "unknown option --bogus")
