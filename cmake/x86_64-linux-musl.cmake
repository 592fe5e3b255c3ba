# musl on x86_64 (Debian's musl-dev).
set(CRONTAB_MUSL_ARCH x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/musl.cmake)
