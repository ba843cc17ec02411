# Fails when the shared library LIBRARY imports any libcurl function (the
# submission library links the queue client only, never administration), or
# needs GMime, GLib, librabbitmq or OpenSSL when loaded: those come from its
# modules, only for the sends that use them.
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

execute_process(COMMAND readelf -d "${LIBRARY}" OUTPUT_VARIABLE dynamic RESULT_VARIABLE status)
if(NOT status EQUAL 0 OR NOT dynamic MATCHES "NEEDED[^\n]*libsqlite3")
  message(FATAL_ERROR "readelf could not list the libraries ${LIBRARY} needs")
endif()
string(REGEX MATCHALL "NEEDED[^\n]*(gmime|glib|gobject|rabbitmq|libssl|libcrypto)[^\n]*" found
       "${dynamic}")
if(found)
  message(FATAL_ERROR "${LIBRARY} needs libraries its modules should bring:\n${found}")
endif()
