# Fails when the shared library LIBRARY imports any libcurl function: the
# submission library links the queue client only, never administration.
execute_process(COMMAND nm -D --undefined-only "${LIBRARY}"
                OUTPUT_VARIABLE imports RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "nm could not read ${LIBRARY}")
endif()
if(NOT imports MATCHES "sqlite3_")
  message(FATAL_ERROR "nm listed none of the imports of ${LIBRARY} that it must have")
endif()
string(REGEX MATCHALL "[^\n]*curl[^\n]*" found "${imports}")
if(found)
  message(FATAL_ERROR "${LIBRARY} imports libcurl:\n${found}")
endif()
