// The two worker threads of every connection.
//
// CServerClientSocketRecvThread: blocks in recv and hands the bytes to the
// connection's protocol on its own thread. Peer close or reset -> close reason 0
// (and the thread ends); any other receive error -> reason 2, and it keeps going.
//
// CServerClientSocketMonitorThread: once a tick, counts the connection's idle
// seconds and reports a connection silent beyond its idle limit (reason 0),
// again every tick until the teardown stops it.
//
// Both post to the connection's message target with the retry rule bound to the
// receive thread's stop flag. Owned by CServerClientSocket (window thread).
#pragma once

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

class CServerClientSocketMonitorThread : public CThread {
 public:
  CServerClientSocketMonitorThread(CServerClientSocket& owner, const CThread& recvThread);

 protected:
  void Run() override;

 private:
  CServerClientSocket& owner_;
  const CThread& recvThread_;
};

}  // namespace velmo
