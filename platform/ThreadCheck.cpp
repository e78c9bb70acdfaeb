#include "platform/ThreadCheck.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <pthread.h>
#include <sstream>

namespace velmo::platform {

std::string CurrentThreadText() {
  char name[32] = {};
  pthread_getname_np(pthread_self(), name, sizeof name);
  std::ostringstream text;
  text << "thread '" << name << "' (" << std::this_thread::get_id() << ")";
  return text.str();
}

void NameCurrentThread(const std::string& name) {
  pthread_setname_np(pthread_self(), name.substr(0, 15).c_str());
}

void CThreadOwner::Bind() {
  std::string text = CurrentThreadText();
  {
    std::lock_guard<std::mutex> lock(nameLock_);
    name_ = std::move(text);
  }
  id_.store(std::this_thread::get_id(), std::memory_order_relaxed);
}

void CThreadOwner::Fail(const char* what) const {
  std::string owner;
  {
    std::lock_guard<std::mutex> lock(nameLock_);
    owner = name_.empty() ? "no thread (never bound)" : name_;
  }
  std::fprintf(stderr, "velmo: %s must run on %s but runs on %s\n", what, owner.c_str(), CurrentThreadText().c_str());
  std::fflush(stderr);
  std::abort();
}

}  // namespace velmo::platform
