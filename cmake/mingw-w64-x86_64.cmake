# Cross-builds the Windows program from Debian with mingw-w64:
#   cmake -S . -B build-win -G Ninja \
#         -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
# The posix flavour of the compiler is the one whose libstdc++ has
# std::thread and friends; GoogleTest needs them.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(fernwise_mingw_prefix x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${fernwise_mingw_prefix}-gcc-posix)
set(CMAKE_CXX_COMPILER ${fernwise_mingw_prefix}-g++-posix)
set(CMAKE_RC_COMPILER ${fernwise_mingw_prefix}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${fernwise_mingw_prefix})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# One Fernwise.exe that runs on a bare Windows 10 or 11: the GCC runtime, the
# C++ library and winpthread are linked in (-static also keeps the linker off
# the import libraries), so no mingw DLL has to travel with it.
set(CMAKE_EXE_LINKER_FLAGS_INIT
    "-static -static-libgcc -static-libstdc++")

# Windows 10 API level: GetDpiForWindow, the Ex locale functions.
set(CMAKE_C_FLAGS_INIT "-D_WIN32_WINNT=0x0A00 -DWINVER=0x0A00")
set(CMAKE_CXX_FLAGS_INIT "-D_WIN32_WINNT=0x0A00 -DWINVER=0x0A00")

# Tests run under Wine.
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
