// Window messages of the device protocol: the steps of a file transfer that
// the window thread reports through the file callbacks. They go to the
// transfer's receiver target; lParam and wParam are unused (the handler reads
// the transfer's path, done and total when it runs).
#pragma once

#include <cstdint>

namespace velmo {

enum ProtocolMessage : std::uint32_t {
  WM_FILE_REQUEST = 2029,       // an upload was requested: ask OnRecvFileRequest
  WM_FILE_PROGRESS = 2030,      // progress of an upload or download
  WM_FILE_FAIL = 2031,          // the transfer failed, reason 6
  WM_FILE_FAIL_DEVICE = 2032,   // the device ended the upload with -21, reason 5
  WM_FILE_WRITE_FAILED = 2033,  // an upload write failed, reason 6
  WM_FILE_SUCCESS = 2034,       // the upload is complete
};

}  // namespace velmo
