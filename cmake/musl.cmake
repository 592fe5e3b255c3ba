# Builds against Debian's musl (musl-dev, or musl-dev:ARCH for another
# processor, through multiarch) with the GNU compiler for the processor,
# through the driver settings Debian's musl-gcc uses: musl's headers,
# start-up files and C library, and nothing of glibc's. Included by a file that sets
# CRONTAB_MUSL_ARCH to the processor's name in the GNU triplet.
set(musl_lib /usr/lib/${CRONTAB_MUSL_ARCH}-linux-musl)
set(musl_driver ${musl_lib}/musl-gcc.specs)  # the file's name is Debian's
if(NOT EXISTS ${musl_driver})
  message(FATAL_ERROR "${musl_driver} is missing: install Debian's musl-dev "
                      "for the target, and the GNU compiler for it")
endif()
if(CRONTAB_MUSL_ARCH STREQUAL CMAKE_HOST_SYSTEM_PROCESSOR)
  set(gnu "")
else()
  set(CMAKE_SYSTEM_NAME Linux)
  set(CMAKE_SYSTEM_PROCESSOR ${CRONTAB_MUSL_ARCH})
  set(gnu ${CRONTAB_MUSL_ARCH}-linux-gnu-)
endif()
set(CMAKE_CXX_COMPILER ${gnu}g++)

# musl-gcc's driver settings know a dynamic link and a static one, not a
# static-pie one, whose start-up relocates the program itself (rcrt1.o):
# that case is added, and the rest is Debian's.
set(static_pie ${CMAKE_BINARY_DIR}/musl-static-pie.driver)
file(WRITE ${static_pie} "%rename startfile musl_startfile
%rename link musl_link

*startfile:
%{static-pie:${musl_lib}/rcrt1.o ${musl_lib}/crti.o crtbeginS.o%s;:%(musl_startfile)}

*link:
%(musl_link) %{static-pie:-static -pie --no-dynamic-linker -z text}
")
set(CMAKE_CXX_FLAGS_INIT "-specs=${musl_driver} -specs=${static_pie}")
# Linked by the C driver, as musl-gcc links: g++ would add the C++ library,
# which the command does not use and musl's library path does not hold.
set(CMAKE_CXX_LINK_EXECUTABLE
    "${gnu}gcc <FLAGS> <CMAKE_CXX_LINK_FLAGS> <LINK_FLAGS> <OBJECTS> -o <TARGET> <LINK_LIBRARIES>")
