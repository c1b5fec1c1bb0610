# Script mode of the packer: the setup code and the dependency scanner are
# compiled into kovpack, so that it needs no files of its own beside it.
# The tray glue library perl/Nimbrel.pm is embedded when the tree has it
# (an empty one otherwise); the glob notices when it appears.
set(KV_PACKER_EMBEDDED ${CMAKE_BINARY_DIR}/generated/packer_embedded.cpp)
file(GLOB KV_GLUE_PM CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/perl/Nimbrel.pm)
# Rewritten only when the glob's result changes, so that the sources are
# embedded again also when the glue library goes away.
file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/generated/packer_glue.txt CONTENT "${KV_GLUE_PM}\n")
set(KV_PACKER_PERL ${CMAKE_SOURCE_DIR}/perl/setup.pl ${CMAKE_SOURCE_DIR}/perl/scandeps.pl ${KV_GLUE_PM}
  ${CMAKE_BINARY_DIR}/generated/packer_glue.txt)
add_custom_command(
  OUTPUT ${KV_PACKER_EMBEDDED}
  COMMAND ${CMAKE_COMMAND} -DOUT=${KV_PACKER_EMBEDDED}
          "-DFILES=kv_setup_pl=${CMAKE_SOURCE_DIR}/perl/setup.pl|kv_scandeps_pl=${CMAKE_SOURCE_DIR}/perl/scandeps.pl|kv_nimbrel_pm=${CMAKE_SOURCE_DIR}/perl/Nimbrel.pm"
          -P ${CMAKE_SOURCE_DIR}/cmake/embed_files.cmake
  DEPENDS ${KV_PACKER_PERL} ${CMAKE_SOURCE_DIR}/cmake/embed_files.cmake
  COMMENT "Embedding the packer's Perl sources"
  VERBATIM)

target_sources(kvpack PRIVATE tools/md5.cpp)
target_sources(kovpack PRIVATE tools/pack_script.cpp ${KV_PACKER_EMBEDDED})
