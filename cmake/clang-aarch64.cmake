# Cross-compiles the product for Windows on Arm (arm64) with clang and lld.
# Only the mingw-w64 headers are used: there is no arm64 mingw-w64 C runtime
# or import library here, so the product links import libraries made from
# cmake/arm64-imports/*.def and nothing else.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ARM64)
set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_ASM_COMPILER clang)
# Debian keeps llvm-windres beside its clang, not on the PATH.
find_program(WRAPPER_LLVM_WINDRES NAMES llvm-windres PATHS /usr/lib/llvm-14/bin REQUIRED)
set(CMAKE_RC_COMPILER ${WRAPPER_LLVM_WINDRES})
set(WRAPPER_CLANG_TARGET aarch64-w64-windows-gnu)
set(CMAKE_C_COMPILER_TARGET ${WRAPPER_CLANG_TARGET})
set(CMAKE_CXX_COMPILER_TARGET ${WRAPPER_CLANG_TARGET})
set(CMAKE_ASM_COMPILER_TARGET ${WRAPPER_CLANG_TARGET})
set(CMAKE_C_FLAGS_INIT "-isystem /usr/share/mingw-w64/include")
set(CMAKE_CXX_FLAGS_INIT "-isystem /usr/share/mingw-w64/include")
set(CMAKE_RC_FLAGS_INIT "--target=aarch64-w64-mingw32 -I/usr/share/mingw-w64/include")
# clang's MinGW driver runs ld.lld -m arm64pe.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-fuse-ld=lld")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-fuse-ld=lld")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-fuse-ld=lld")
# Nothing linked unasked: CMake would add the whole set of system libraries.
foreach(lang C CXX)
  set(CMAKE_${lang}_STANDARD_LIBRARIES "" CACHE STRING "Libraries linked into every program")
endforeach()
# The compiler checks link a program: without a C runtime that cannot work.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
