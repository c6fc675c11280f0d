// What the frame needs of the compiler: C++20 with std::source_location, by which every
// failing operation records its caller's line.  The first compilers and libraries that
// have it are GCC 11, clang 16 (15 with GCC's library, not with its own; 14 and older lack
// the builtin that std::source_location is made of) and MSVC 19.29 (Visual Studio 2019
// 16.10).  setup.py compiles this header alone before anything else, so that an older
// compiler stops with the message below instead of a page of errors about the uses.
#pragma once

#if defined(__has_include)
#if __has_include(<version>)
#include <version>
#endif
#endif

#if !defined(__cpp_lib_source_location)
#error \
    "tavimo needs a C++20 compiler and library with std::source_location: GCC 11, clang 16, MSVC 19.29 (Visual Studio 2019 16.10) or newer, in C++20 mode"
#else
#include <source_location>
#endif
