# musl on aarch64 (Debian's musl-dev:arm64 and g++-aarch64-linux-gnu).
set(CRONTAB_MUSL_ARCH aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/musl.cmake)
