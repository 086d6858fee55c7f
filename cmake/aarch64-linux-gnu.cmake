# Cross build for 64-bit ARM boxes on a Debian x86-64 machine, with Debian's
# cross compilers (crossbuild-essential-arm64) and the arm64 development
# packages installed side by side through multiarch. ./scripts/build-arm64.sh
# installs both and uses this file.
#
# The arm64 libraries and CMake package files sit in the multiarch
# directories (/usr/lib/aarch64-linux-gnu) of this very system, so no
# separate root is needed: CMake finds them from the compiler's library
# architecture. Headers in /usr/include are shared by every architecture.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

# Programs (cmake, cpack, dpkg-shlibdeps) are the host's; libraries and
# package files come only from the arm64 multiarch directories.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
