#include "net/server/context.h"

#include <algorithm>

namespace tessarine::server {

bool TIdContextList::Add(TIdContext* context) {
  std::lock_guard lock(m_lock);
  if (m_closed) return false;
  m_items.push_back(context);
  return true;
}

void TIdContextList::Remove(TIdContext* context) {
  std::lock_guard lock(m_lock);
  std::erase(m_items, context);
}

int TIdContextList::Count() const {
  std::lock_guard lock(m_lock);
  return static_cast<int>(m_items.size());
}

void TIdContextList::Open() {
  std::lock_guard lock(m_lock);
  m_closed = false;
}

void TIdContextList::CloseAndForEach(const std::function<void(TIdContext&)>& action) {
  std::lock_guard lock(m_lock);
  m_closed = true;
  for (TIdContext* context : m_items) action(*context);
}

std::vector<TIdContext*> TIdContextList::Snapshot() const {
  std::lock_guard lock(m_lock);
  return m_items;
}

TIdContext::TIdContext(std::unique_ptr<net::TIdTCPConnection> connection, TIdYarn* yarn, TIdContextList* contexts)
    : TIdTask(yarn), m_connection(std::move(connection)), m_contexts(contexts) {}

TIdContext::~TIdContext() {
  // Normally AfterRun has unlisted it; a context that never ran was never listed.
  if (m_listed && m_contexts != nullptr) m_contexts->Remove(this);
}

void TIdContext::BeforeRun() {
  if (m_contexts != nullptr) {
    m_listed = m_contexts->Add(this);
    // Shutdown has already disconnected every listed context; this one must not wait for a request.
    if (!m_listed && m_connection) m_connection->Disconnect(false);
  }
  if (OnBeforeRun) OnBeforeRun(*this);
}

bool TIdContext::Run() { return OnRun ? OnRun(*this) : false; }

void TIdContext::AfterRun() {
  struct Unlist {
    TIdContext& self;
    ~Unlist() {
      if (self.m_listed && self.m_contexts != nullptr) self.m_contexts->Remove(&self);
      self.m_listed = false;
    }
  } unlist{*this};
  if (OnAfterRun) OnAfterRun(*this);
}

void TIdContext::HandleException(std::exception_ptr error) {
  if (OnException) OnException(*this, std::move(error));
}

}  // namespace tessarine::server
