# glibc on aarch64 (Debian's g++-aarch64-linux-gnu).
set(CRONTAB_TRIPLET aarch64-linux-gnu)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/gnu.cmake)
