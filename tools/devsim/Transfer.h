// velmo-devsim's file modes: upload a local file to the server's file
// directory, download a file from the server and check its CRC-32.
#pragma once

#include <cstdio>

#include "tools/devsim/DevsimOptions.h"

namespace velmo::devsim {

// Returns 0 when the server confirmed the whole upload (-20), 1 otherwise.
int RunUpload(const Options& options, std::FILE* out);
// Returns 0 when every byte arrived and the CRC-32 matched the header, 1 otherwise.
int RunDownload(const Options& options, std::FILE* out);

}  // namespace velmo::devsim
