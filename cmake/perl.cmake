# The embedded Perl: its headers and libperl, the layout header derived from
# them, and the runtime library that the host loads at run time.
find_program(PERL_EXECUTABLE perl REQUIRED)
execute_process(COMMAND ${PERL_EXECUTABLE} -MConfig -e "print \$Config{archlibexp}, '/CORE'"
                OUTPUT_VARIABLE KV_PERL_CORE OUTPUT_STRIP_TRAILING_WHITESPACE)
execute_process(COMMAND ${PERL_EXECUTABLE} -MConfig -e "print \$Config{ccflags}"
                OUTPUT_VARIABLE KV_PERL_CCFLAGS OUTPUT_STRIP_TRAILING_WHITESPACE)
execute_process(COMMAND ${PERL_EXECUTABLE} -MConfig -e "print \$Config{libperl}"
                OUTPUT_VARIABLE KV_PERL_LIBNAME OUTPUT_STRIP_TRAILING_WHITESPACE)
find_library(KV_LIBPERL NAMES perl ${KV_PERL_LIBNAME} PATHS ${KV_PERL_CORE} /usr/lib/x86_64-linux-gnu REQUIRED)
separate_arguments(KV_PERL_CCFLAGS_LIST UNIX_COMMAND "${KV_PERL_CCFLAGS}")
list(FILTER KV_PERL_CCFLAGS_LIST EXCLUDE REGEX "^-fstack-protector")
if(NOT EXISTS ${KV_PERL_CORE}/perl.h)
  message(FATAL_ERROR "Perl headers not found in ${KV_PERL_CORE}: install libperl-dev (scripts/setup)")
endif()

function(kv_perl_target target)
  target_include_directories(${target} SYSTEM PRIVATE ${KV_PERL_CORE})
  target_include_directories(${target} PRIVATE ${CMAKE_SOURCE_DIR}/runtime)
  target_compile_options(${target} PRIVATE ${KV_PERL_CCFLAGS_LIST})
endfunction()

add_executable(kv_gen_layout runtime/gen_layout.c)
kv_perl_target(kv_gen_layout)
set_target_properties(kv_gen_layout PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tools)
add_custom_command(
  OUTPUT ${CMAKE_BINARY_DIR}/generated/kv_layout.h
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/generated
  COMMAND kv_gen_layout > ${CMAKE_BINARY_DIR}/generated/kv_layout.h.tmp
  COMMAND ${CMAKE_COMMAND} -E rename ${CMAKE_BINARY_DIR}/generated/kv_layout.h.tmp ${CMAKE_BINARY_DIR}/generated/kv_layout.h
  DEPENDS kv_gen_layout
  COMMENT "Deriving interpreter layouts from the Perl headers")
add_custom_target(kv_layout DEPENDS ${CMAKE_BINARY_DIR}/generated/kv_layout.h)

# The runtime library, named after the Perl it serves (perl536.so for 5.36).
execute_process(COMMAND ${PERL_EXECUTABLE} -e "printf 'perl%d%d', \$] =~ /^(\\d+)\\.(\\d{3})/ ? (\$1, \$2) : (0,0)"
                OUTPUT_VARIABLE KV_RUNTIME_BASENAME)
add_library(kvruntime SHARED runtime/runtime.c)
kv_perl_target(kvruntime)
target_link_libraries(kvruntime PRIVATE ${KV_LIBPERL})
target_link_options(kvruntime PRIVATE -Wl,-z,nodelete -Wl,--enable-new-dtags)
# A run path of its own directory (DT_RUNPATH): the libperl that a packed
# program writes out beside the runtime library is loaded in preference to
# the system's, so the program runs where no Perl is installed.
set_target_properties(kvruntime PROPERTIES OUTPUT_NAME ${KV_RUNTIME_BASENAME} PREFIX "" SUFFIX ".so"
                      C_VISIBILITY_PRESET hidden BUILD_WITH_INSTALL_RPATH ON INSTALL_RPATH "\$ORIGIN")
install(TARGETS kvruntime LIBRARY DESTINATION lib)
set(KV_RUNTIME_FILE ${CMAKE_BINARY_DIR}/lib/${KV_RUNTIME_BASENAME}.so)
