# Installs the build into a fresh prefix, checks what landed there, then builds and
# runs a small C consumer against it twice: through find_package and through pkg-config.
# Variables: BUILD_DIR SOURCE_DIR WORK_DIR LIBDIR VERSION C_COMPILER C_FLAGS
cmake_minimum_required(VERSION 3.25)

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "failed (${status}): ${ARGN}\n${out}\n${err}")
  endif()
  set(out "${out}" PARENT_SCOPE)
endfunction()

function(expect_output expected)
  run(${ARGN})
  if(NOT out STREQUAL expected)
    message(FATAL_ERROR "${ARGN}\nprinted:  '${out}'\nexpected: '${expected}'")
  endif()
endfunction()

set(prefix ${WORK_DIR}/prefix)
file(REMOVE_RECURSE ${WORK_DIR})
run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})

string(REGEX MATCH "^[0-9]+" major ${VERSION})
foreach(path include/quelta.h ${LIBDIR}/libquelta.so ${LIBDIR}/libquelta.so.${major} ${LIBDIR}/libquelta.so.${VERSION}
             ${LIBDIR}/cmake/quelta/quelta-config.cmake ${LIBDIR}/pkgconfig/quelta.pc bin/quelta)
  if(NOT EXISTS ${prefix}/${path})
    message(FATAL_ERROR "not installed: ${path}")
  endif()
endforeach()
run(objdump -p ${prefix}/${LIBDIR}/libquelta.so.${VERSION})
if(NOT out MATCHES "SONAME +libquelta\\.so\\.${major}\n")
  message(FATAL_ERROR "libquelta.so.${VERSION} has no SONAME libquelta.so.${major}:\n${out}")
endif()
# The installed tool finds the installed library on its own.
run(${prefix}/bin/quelta --version)
if(NOT out MATCHES "^quelta ${VERSION} ")
  message(FATAL_ERROR "installed tool reports '${out}'")
endif()

set(expected "quelta ${VERSION}: 20 rows\n")
set(people ${SOURCE_DIR}/examples/people.csv)

run(${CMAKE_COMMAND} -S ${SOURCE_DIR}/tests/install/consumer -B ${WORK_DIR}/cmake-consumer -DCMAKE_PREFIX_PATH=${prefix}
    -DCMAKE_C_COMPILER=${C_COMPILER} "-DCMAKE_C_FLAGS=${C_FLAGS}" "-DCMAKE_EXE_LINKER_FLAGS=${C_FLAGS}")
run(${CMAKE_COMMAND} --build ${WORK_DIR}/cmake-consumer)
expect_output("${expected}" ${WORK_DIR}/cmake-consumer/consumer ${people})

set(ENV{PKG_CONFIG_PATH} ${prefix}/${LIBDIR}/pkgconfig)
run(pkg-config --cflags --libs quelta)
separate_arguments(pc_flags UNIX_COMMAND "${out}")
separate_arguments(extra_flags UNIX_COMMAND "${C_FLAGS}")
run(pkg-config --modversion quelta)
if(NOT out STREQUAL "${VERSION}\n")
  message(FATAL_ERROR "pkg-config reports version '${out}'")
endif()
run(${C_COMPILER} ${extra_flags} ${SOURCE_DIR}/tests/install/consumer/consumer.c ${pc_flags}
    -Wl,-rpath,${prefix}/${LIBDIR} -o ${WORK_DIR}/pc-consumer)
expect_output("${expected}" ${WORK_DIR}/pc-consumer ${people})
file(REMOVE_RECURSE ${WORK_DIR})
