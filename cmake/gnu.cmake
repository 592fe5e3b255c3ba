# Cross builds against glibc with Debian's cross compiler for the target
# (g++-TRIPLET, which brings the target's glibc along). Included by a file
# that sets CRONTAB_TRIPLET and CMAKE_SYSTEM_PROCESSOR.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_CXX_COMPILER ${CRONTAB_TRIPLET}-g++)
set(CMAKE_FIND_ROOT_PATH /usr/${CRONTAB_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
