// The per-user base directory and the per-process extraction directory.
#pragma once

#include "src/launcher/session.h"

const char* make_temp_dir(KovrunSession* session, int which);
