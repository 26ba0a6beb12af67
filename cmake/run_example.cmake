# Runs linemorph on a copy of the bundled example and prints the lines it changed.
# Expects LINEMORPH (the built tool), SOURCE_DIR (examples/) and WORK_DIR (a folder in the build).
file(MAKE_DIRECTORY ${WORK_DIR})
file(COPY_FILE ${SOURCE_DIR}/config.h ${WORK_DIR}/config.h.orig)
file(COPY_FILE ${SOURCE_DIR}/config.h ${WORK_DIR}/config.h)

message(STATUS "In ${WORK_DIR}: linemorph --input=config.h _MY_DEFINE _YOUR_DEFINE -#define '};'")
execute_process(
    COMMAND ${LINEMORPH} --input=config.h _MY_DEFINE _YOUR_DEFINE "-#define" "};"
    WORKING_DIRECTORY ${WORK_DIR}
    RESULT_VARIABLE status)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "linemorph ended with status ${status}")
endif()

execute_process(
    COMMAND diff -u config.h.orig config.h
    WORKING_DIRECTORY ${WORK_DIR}
    OUTPUT_VARIABLE changes)
message(STATUS "The lines it changed:\n${changes}")
