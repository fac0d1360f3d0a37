# Compiles SOURCE as C99 and links it with ARCHIVE using the C compiler CC
# alone, then runs the result.  Fails if the archive needs the C++ runtime.
separate_arguments(flags UNIX_COMMAND "${FLAGS}")
execute_process(COMMAND ${CC} ${flags} -std=c99 -Wall -Wextra -Wpedantic -Werror -I${INCLUDE}
                        ${SOURCE} ${ARCHIVE} -o ${OUT}
                RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "the C compiler could not link the static archive")
endif()
execute_process(COMMAND ${OUT} RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "the statically linked program failed")
endif()
