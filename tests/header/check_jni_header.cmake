# cmake -DJAVAC=... -DSOURCE_ROOT=... -DCLASS=a/b/C -DHEADER=... -DWORK_DIR=... [-DDIFF=...]
#   -P check_jni_header.cmake
# Generates the JNI header of CLASS with `javac -h` into a fresh WORK_DIR and fails, showing
# the difference, when it is not byte for byte the committed HEADER.
foreach(var JAVAC SOURCE_ROOT CLASS HEADER WORK_DIR)
  if(NOT ${var})
    message(FATAL_ERROR "check_jni_header.cmake: -D${var}=... is missing")
  endif()
endforeach()

file(REMOVE_RECURSE "${WORK_DIR}")
file(MAKE_DIRECTORY "${WORK_DIR}/headers" "${WORK_DIR}/classes")
execute_process(
  COMMAND "${JAVAC}" -h "${WORK_DIR}/headers" -d "${WORK_DIR}/classes"
          -sourcepath "${SOURCE_ROOT}" "${SOURCE_ROOT}/${CLASS}.java"
  RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "javac -h failed (${result}) on ${SOURCE_ROOT}/${CLASS}.java")
endif()

string(REPLACE "/" "_" header_name "${CLASS}")
set(generated "${WORK_DIR}/headers/${header_name}.h")
if(NOT EXISTS "${generated}")
  message(FATAL_ERROR "javac -h wrote no ${header_name}.h: does ${CLASS} still declare native methods?")
endif()

file(READ "${HEADER}" committed_text HEX)
file(READ "${generated}" generated_text HEX)
if(committed_text STREQUAL generated_text)
  message(STATUS "${HEADER} matches javac -h")
  return()
endif()

if(DIFF)
  execute_process(COMMAND "${DIFF}" -u "${HEADER}" "${generated}")
else()
  file(READ "${generated}" shown)
  message("javac -h now generates:\n${shown}")
endif()
cmake_path(GET HEADER PARENT_PATH include_dir)
message(FATAL_ERROR
  "${HEADER} differs from what javac -h generates from ${CLASS}.java; regenerate it with\n"
  "  javac -h ${include_dir} -d <scratch dir> -sourcepath ${SOURCE_ROOT} ${SOURCE_ROOT}/${CLASS}.java")
