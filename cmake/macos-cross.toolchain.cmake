# Universal macOS cross build on Debian: the agents for arm64 and x86_64 in one
# Mach-O each, compiled and linked with clang-14 and ld64.lld-14. It builds on
# the macOS cross kit's own toolchain file (one architecture) and widens it to
# both. Used by scripts/macos-cross-check.sh; nothing built with it is run.
#   -DMACOS_CROSS_KIT=<kit dir>      the kit: macos.toolchain.cmake, shim/, tools/
#   -DMACOS_SDK_ROOT=<MacOSX14.2.sdk> the SDK subset (only read)
#   -DMACOS_LINK_STUBS=<dir>         optional: synthesized libSystem/libc++ stubs,
#                                    searched before the SDK's own usr/lib
# The clang driver joins the two slices with `lipo`: put llvm-lipo-14 on PATH
# under that name.
if(NOT MACOS_CROSS_KIT AND DEFINED ENV{MACOS_CROSS_KIT})
  set(MACOS_CROSS_KIT "$ENV{MACOS_CROSS_KIT}")
endif()
if(NOT MACOS_CROSS_KIT OR NOT EXISTS "${MACOS_CROSS_KIT}/macos.toolchain.cmake")
  message(FATAL_ERROR "set -DMACOS_CROSS_KIT=<dir holding macos.toolchain.cmake>")
endif()
set(MACOS_CROSS_KIT "${MACOS_CROSS_KIT}" CACHE PATH "macOS cross kit")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES MACOS_CROSS_KIT MACOS_LINK_STUBS)

set(MACOS_ARCH arm64)
include("${MACOS_CROSS_KIT}/macos.toolchain.cmake")
set(CMAKE_OSX_ARCHITECTURES "arm64;x86_64" CACHE STRING "" FORCE)

if(MACOS_LINK_STUBS)
  foreach(kind EXE SHARED MODULE)
    string(APPEND CMAKE_${kind}_LINKER_FLAGS_INIT " -L${MACOS_LINK_STUBS}")
  endforeach()
endif()

# Each object is a universal file; llvm-ar indexes none of them. Static
# libraries are made the way Apple's libtool makes them: one archive per
# slice, joined into a universal archive.
set(CMAKE_LIBTOOL /usr/bin/llvm-libtool-darwin-14 CACHE FILEPATH "")
foreach(lang C CXX OBJC OBJCXX)
  set(CMAKE_${lang}_CREATE_STATIC_LIBRARY "${CMAKE_LIBTOOL} -static -o <TARGET> <OBJECTS>")
endforeach()
