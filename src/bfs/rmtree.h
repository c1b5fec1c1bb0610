// Removal of the registered per-process directories at exit.
#pragma once

void cleanup_temp_dirs();
int rmtree(const char* path);
