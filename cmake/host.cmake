# The host core: API table, host module, runtime loading and the startup
# driver, and the console host built on it.
add_library(kvhost STATIC
  src/binding/api.cpp src/binding/perlcall.cpp src/binding/kovar.cpp src/binding/runtime_load.cpp
  src/launcher/kovrun.cpp src/launcher/as_perl.cpp)
add_dependencies(kvhost kv_layout)
target_link_libraries(kvhost PUBLIC kvbfs)

add_executable(kovrun src/launcher/console_main.cpp)
target_link_libraries(kovrun PRIVATE kvhost)
add_dependencies(kovrun kvruntime)
set(KV_UNIT_EXTRA_LIBS kvhost)
