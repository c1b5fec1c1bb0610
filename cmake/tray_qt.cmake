# The Qt 6 desktop backend of the tray host: a shared library that the host
# loads at run time (the packer binds it into tray programs). Only the table
# entry is exported; the libraries bound beside it are found first ($ORIGIN).
find_package(Qt6 REQUIRED COMPONENTS Widgets DBus)
add_library(nimbrel-qt MODULE platform/qt/tray_qt.cpp)
target_link_libraries(nimbrel-qt PRIVATE Qt6::Widgets Qt6::DBus ${CMAKE_DL_LIBS})
set_target_properties(nimbrel-qt PROPERTIES
  CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON
  BUILD_RPATH "\$ORIGIN" INSTALL_RPATH "\$ORIGIN")
target_link_options(nimbrel-qt PRIVATE -Wl,--no-undefined
  -Wl,--version-script=${CMAKE_SOURCE_DIR}/platform/qt/exports.map)
set_property(TARGET nimbrel-qt APPEND PROPERTY LINK_DEPENDS ${CMAKE_SOURCE_DIR}/platform/qt/exports.map)
# Every tray program carries the library: without its debugging information
# it is a twentieth of the size.
if(NOT KV_SANITIZE)
  target_link_options(nimbrel-qt PRIVATE -Wl,--strip-debug)
endif()
