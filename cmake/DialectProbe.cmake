# Run as a test: proves that the device check rejects one construct the module's compilers reject.
#   cmake -DCOMPILER=<c++> -DFLAGS="<flags>" -DSOURCE_DIR=<project> -DSAMPLE=<file.cc> -DOBJECT=<out.o> -P DialectProbe.cmake
# The sample is compiled twice with the device check's own command: with KALVORI_DIALECT_ACCEPTED
# (the same code written for the module) it must compile, so the sample itself is sound; without it
# (the construct) it must fail.
separate_arguments(flags UNIX_COMMAND "${FLAGS}")

execute_process(
  COMMAND ${COMPILER} ${flags} -I${SOURCE_DIR} -DKALVORI_DIALECT_ACCEPTED=1 -c ${SAMPLE} -o ${OBJECT}
  RESULT_VARIABLE accepted_result OUTPUT_VARIABLE accepted_output ERROR_VARIABLE accepted_output)
if(NOT accepted_result EQUAL 0)
  message(FATAL_ERROR "the accepted form of ${SAMPLE} does not compile, so the sample proves nothing:\n"
                      "${accepted_output}")
endif()

execute_process(
  COMMAND ${COMPILER} ${flags} -I${SOURCE_DIR} -c ${SAMPLE} -o ${OBJECT}
  RESULT_VARIABLE rejected_result OUTPUT_VARIABLE rejected_output ERROR_VARIABLE rejected_output)
file(REMOVE ${OBJECT})
if(rejected_result EQUAL 0)
  message(FATAL_ERROR "the device check accepted ${SAMPLE}, which the module's compilers reject")
endif()
string(REGEX MATCH "error: [^\n]*" first_error "${rejected_output}")
message(STATUS "rejected as it should be: ${first_error}")
