// Requester mode of velmo-devsim: sends one -46 relay or -56 query for another
// device and prints the server's answer.
#pragma once

#include <cstdio>
#include <string>

#include "tools/devsim/DevsimOptions.h"

namespace velmo::devsim {

// The frame payload for the request: the code, the SN zero-filled to 24 bytes, the text.
std::string RequestPayload(const Options& options);

// What an answer payload (-47 or -57) means, in words.
std::string DescribeAnswer(const std::string& payload);

// Connects, sends the request, waits for the answer (at most 15 s) and prints
// it. Returns 0 when the device took the text (and answered a query), 1 otherwise.
int RunRequest(const Options& options, std::FILE* out);

}  // namespace velmo::devsim
