# glibc on 32-bit ARM with hardware floating point (Debian's g++-arm-linux-gnueabihf).
set(CRONTAB_TRIPLET arm-linux-gnueabihf)
set(CMAKE_SYSTEM_PROCESSOR armv7l)
include(${CMAKE_CURRENT_LIST_DIR}/gnu.cmake)
