// The two worker threads of every connection.
//
// CServerClientSocketRecvThread: blocks in recv and hands the bytes to the
// connection's protocol on its own thread. Peer close or reset -> close reason 0
// (and the thread ends); any other receive error -> reason 2, and it keeps going.
//
// CConnectionMonitor: one per server. Once a tick it counts every connection's
// idle seconds and reports each connection silent beyond its idle limit
// (reason 0), again every tick until the teardown; a connection is reported
// on the 61st tick after its last resetting frame (limit 60), or the 6th (5).
//
// The receive thread posts with the retry rule bound to its own stop flag; the
// monitor posts once per tick (the next tick tries again). The receive thread
// is owned by its CServerClientSocket, the monitor by the CSocketServer.
#pragma once

#include <chrono>

#include "socketserver/Thread.h"

namespace velmo {

class CServerClientSocket;

class CServerClientSocketRecvThread : public CThread {
 public:
  CServerClientSocketRecvThread(CServerClientSocket& owner, int priority);

 protected:
  void Run() override;

 private:
  CServerClientSocket& owner_;
};

class CConnectionMonitor : public CThread {
 public:
  // Ticks the connections whose owner is `server`, every `tick`.
  CConnectionMonitor(const void* server, std::chrono::milliseconds tick);

 protected:
  void Run() override;

 private:
  const void* const server_;
  const std::chrono::milliseconds tick_;
};

}  // namespace velmo
