#include "socketserver/Thread.h"

namespace velmo {

CThread::CThread(int priority, std::size_t stackBytes) {
  // Run() is virtual: the thread stays parked until Resume(), which owners call
  // only once the derived object is complete.
  thread_.Create([this] { Run(); }, priority, stackBytes);
}

CThread::~CThread() {
  // Owners join before destroying; this only releases a never-resumed thread.
  thread_.Join();
}

}  // namespace velmo
