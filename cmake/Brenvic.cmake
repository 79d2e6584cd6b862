# Common settings and helpers.

if(WIN32)
  set(BRENVIC_PLATFORM win32)
  # A bare Windows has no MinGW runtime: link it in.
  add_link_options(-static -static-libgcc -static-libstdc++)
  add_compile_definitions(WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601)
else()
  set(BRENVIC_PLATFORM posix)
endif()

if(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
  add_compile_options(-Wall -Wextra)
endif()
# In a batched (unity) build every source is #included into the batch's file,
# and GCC then takes a test fixture in an anonymous namespace for a header's
# type that leaks: a warning that says nothing about the code.
if(CMAKE_UNITY_BUILD AND CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  add_compile_options($<$<COMPILE_LANGUAGE:CXX>:-Wno-subobject-linkage>)
endif()

# brenvic_add_subsystem(name SOURCES ... DEPENDS ...)
# A subsystem is one static library; its sources may include a platform part
# chosen by the build (files ending in _win32.cpp / _posix.cpp are picked by
# BRENVIC_PLATFORM, the others are portable).
function(brenvic_add_subsystem name)
  cmake_parse_arguments(A "" "" "SOURCES;DEPENDS;SYSLIBS" ${ARGN})
  set(srcs)
  foreach(s IN LISTS A_SOURCES)
    if(s MATCHES "_(win32|posix)\\.cpp$")
      if(s MATCHES "_${BRENVIC_PLATFORM}\\.cpp$")
        list(APPEND srcs ${s})
      endif()
    else()
      list(APPEND srcs ${s})
    endif()
  endforeach()
  add_library(${name} STATIC ${srcs})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
  target_link_libraries(${name} PUBLIC ${A_DEPENDS} ${A_SYSLIBS})
endfunction()

# Every executable of the Windows build carries the resource script (the default
# configuration image and the version information); the Linux build embeds the
# same bytes in the platform library.
function(brenvic_add_resources target)
  if(WIN32)
    get_property(rc GLOBAL PROPERTY BRENVIC_RC)
    target_sources(${target} PRIVATE ${rc})
  endif()
endfunction()

# The program itself also carries the message table of its event source.
function(brenvic_add_event_messages target)
  if(WIN32)
    get_property(rc GLOBAL PROPERTY BRENVIC_EVENTS_RC)
    set_source_files_properties(${rc} PROPERTIES GENERATED TRUE)
    target_sources(${target} PRIVATE ${rc})
    add_dependencies(${target} brenvic_service_events)
  endif()
endfunction()

# The version number is the project's (CMakeLists.txt); every Windows binary
# carries it in a version resource. brenvic_version_block(VAR TARGET FILE
# DESCRIPTION TYPE) sets VAR to the VERSIONINFO text, TYPE being APP or DLL.
function(brenvic_version_block var target file description type)
  file(READ ${PROJECT_SOURCE_DIR}/cmake/version.rc.in template)
  set(RC_NAME ${target})
  set(RC_FILE ${file})
  set(RC_DESCRIPTION ${description})
  set(RC_FILETYPE VFT_${type})
  string(CONFIGURE "${template}" block @ONLY)
  set(${var} "${block}" PARENT_SCOPE)
endfunction()

# A run-time library's own version resource (the executable's comes with its
# resource script).
function(brenvic_library_version target description)
  if(WIN32)
    brenvic_version_block(block ${target} ${target}.dll "${description}" DLL)
    set(rc ${CMAKE_BINARY_DIR}/generated/version_${target}.rc)
    file(CONFIGURE OUTPUT ${rc} CONTENT "#include <winver.h>\n\n${block}" @ONLY)
    target_sources(${target} PRIVATE ${rc})
  endif()
endfunction()

# Packaging reads the number from the build tree.
file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/version.txt CONTENT "${PROJECT_VERSION}\n")

# Standalone Asio (header-only, Debian's libasio-dev). The cross compiler must not
# see the rest of /usr/include, so the Windows build reaches Asio through links
# in a folder of its own.
function(brenvic_use_asio target)
  target_compile_definitions(${target} PRIVATE ASIO_STANDALONE ASIO_NO_DEPRECATED)
  if(WIN32)
    set(dir ${CMAKE_BINARY_DIR}/asio-include)
    if(NOT EXISTS ${dir}/asio.hpp)
      file(MAKE_DIRECTORY ${dir})
      file(CREATE_LINK /usr/include/asio.hpp ${dir}/asio.hpp SYMBOLIC)
      file(CREATE_LINK /usr/include/asio ${dir}/asio SYMBOLIC)
    endif()
    target_include_directories(${target} SYSTEM PRIVATE ${dir})
    # Asio picks its threads, mutexes and events from whether <pthread.h> came
    # before it in a source file: with the posix thread model, any standard
    # header may bring it. Sources that differ would link two layouts of the
    # same inline classes, and an io_context made in one file would join a
    # timer thread made in another as the wrong kind of thread (it runs on
    # after its library is unloaded). Every file makes the same choice.
    target_compile_definitions(${target} PRIVATE ASIO_HAS_PTHREADS=1)
    target_link_libraries(${target} PRIVATE ws2_32 mswsock)
  else()
    target_link_libraries(${target} PRIVATE pthread)
  endif()
endfunction()
