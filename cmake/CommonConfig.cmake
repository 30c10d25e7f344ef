# Settings every target of the tree shares: the language level and warnings.
add_library(murmurly_options INTERFACE)
target_compile_features(murmurly_options INTERFACE cxx_std_20)
target_compile_options(murmurly_options INTERFACE -Wall -Wextra -Wpedantic)
# GCC 12 warns falsely about std::string assignments from short literals
# (its bug 105329); the warning says nothing about this code.
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  target_compile_options(murmurly_options INTERFACE -Wno-restrict)
endif()
# Asio chooses between aligned_alloc and operator new for its handler memory
# by whether a standard header was read before its own; files that include
# Asio first would then free with the other kind. One fixed choice for every
# file of the tree.
target_compile_definitions(murmurly_options INTERFACE
  MURMURLY_VERSION="${PROJECT_VERSION}"
  ASIO_DISABLE_STD_ALIGNED_ALLOC
  QT_NO_CAST_TO_ASCII
  QT_NO_URL_CAST_FROM_STRING
  QT_USE_QSTRINGBUILDER)

# Builds the whole tree instrumented by the sanitizers listed, for example
# "address,undefined" or "thread". Any report aborts: the sanitized test runs
# of scripts/test.sh treat it as a failure. The debug information is the
# least that reports need (-g1: functions, inlined calls and line tables, no
# local variables), which spares a fifth of the compile time.
set(MURMURLY_SANITIZE "" CACHE STRING "Sanitizers to instrument with (address,undefined or thread)")
if(MURMURLY_SANITIZE)
  add_compile_options(-fsanitize=${MURMURLY_SANITIZE} -fno-sanitize-recover=all
                      -fno-omit-frame-pointer -g1 -O1)
  add_link_options(-fsanitize=${MURMURLY_SANITIZE})
  # GCC's flow analysis is thrown off by the instrumentation and warns
  # about std::function members inside <regex> that are set.
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    add_compile_options(-Wno-maybe-uninitialized)
  endif()
endif()

# lld links the tree's many test programs, each with Qt and debug
# information, in a fraction of the time of the default linker.
include(CheckLinkerFlag)
check_linker_flag(CXX -fuse-ld=lld MURMURLY_HAS_LLD)
if(MURMURLY_HAS_LLD)
  add_link_options(-fuse-ld=lld)
endif()
