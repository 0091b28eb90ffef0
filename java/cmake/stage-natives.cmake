# Copies the native libraries into the folder layout that tarvolex.jar carries and records the
# SHA-256 of each in SHA256SUMS beside them, in sha256sum's format.
#   cmake -DSTAGE=<dir> -DNATIVES=<platform>=<file>;... -P stage-natives.cmake
cmake_minimum_required(VERSION 3.25)

set(sums "")
foreach(entry IN LISTS NATIVES)
  string(FIND "${entry}" "=" at)
  string(SUBSTRING "${entry}" 0 ${at} platform)
  math(EXPR at "${at} + 1")
  string(SUBSTRING "${entry}" ${at} -1 file)
  if(NOT EXISTS "${file}")
    message(FATAL_ERROR "The native library for ${platform} is missing: ${file}")
  endif()
  cmake_path(GET file FILENAME name)
  file(MAKE_DIRECTORY "${STAGE}/${platform}")
  file(COPY_FILE "${file}" "${STAGE}/${platform}/${name}" ONLY_IF_DIFFERENT)
  file(SHA256 "${STAGE}/${platform}/${name}" hash)
  string(APPEND sums "${hash}  ${platform}/${name}\n")
endforeach()
file(CONFIGURE OUTPUT "${STAGE}/SHA256SUMS" CONTENT "${sums}")
