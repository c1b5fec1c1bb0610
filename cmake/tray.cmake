# The tray host: its platform-neutral logic (kvtray), the test backend that
# the unit tests drive it with, and the host executable, which links no
# toolkit: its desktop backend is a shared library loaded at run time.
add_library(kvtray STATIC tray/tray_main.cpp tray/tray_events.cpp tray/tray_functions.cpp tray/tray_text.cpp
  tray/tray_signals.cpp tray/tray_backend.cpp tray/tray_box.cpp tray/tray_menu.cpp tray/tray_download.cpp)
target_link_libraries(kvtray PUBLIC kvhost kvnet)

add_library(kvtray_test STATIC platform/test/tray_test_backend.cpp)
target_link_libraries(kvtray_test PUBLIC Threads::Threads)

add_executable(nimbrel tray/nimbrel_main.cpp)
target_link_libraries(nimbrel PRIVATE kvtray)
add_dependencies(nimbrel kvruntime)

# The unit tests take the menu loader from the library.
list(APPEND KV_UNIT_EXTRA_LIBS kvtray)
