#include "net/server/scheduler.h"

#include <algorithm>
#include <chrono>

#include "net/server/server_exceptions.h"
#include "net/server/thread_name.h"

namespace tessarine::server {

TIdThreadWithTask::TIdThreadWithTask(TIdSchedulerOfThreadDefault& scheduler, std::u16string name)
    : m_scheduler(scheduler), m_name(std::move(name)) {}

TIdThreadWithTask::~TIdThreadWithTask() {
  if (m_thread.joinable()) m_thread.join();
}

void TIdThreadWithTask::start() {
  m_thread = std::thread([this] { execute(); });
}

void TIdThreadWithTask::runTask(TIdTask& task) noexcept {
  try {
    task.DoBeforeRun();
    while (!m_stopped.load() && task.DoRun()) {
    }
  } catch (...) {
    // The context's exception hook is the only place a failure goes; nothing may leave the thread.
    try {
      task.DoException(std::current_exception());
    } catch (...) {
    }
  }
  try {
    task.DoAfterRun();
  } catch (...) {
  }
}

void TIdThreadWithTask::execute() noexcept {
  SetCurrentThreadName(m_name);
  std::unique_lock lock(m_scheduler.m_lock);
  while (true) {
    m_wake.wait(lock, [this] { return m_task != nullptr || m_quit; });
    if (!m_task) return;
    std::unique_ptr<TIdTask> task = std::move(m_task);
    lock.unlock();
    runTask(*task);
    // The context (and with it the connection and its socket) goes before the yarn: once ActiveYarns is
    // empty, shutdown may free what the context refers to.
    task.reset();
    lock.lock();
    m_scheduler.releaseYarnLocked(m_yarn);
  }
}

TIdSchedulerOfThreadDefault::~TIdSchedulerOfThreadDefault() {
  TerminateAllYarns();
  {
    std::lock_guard lock(m_lock);
    for (auto& thread : m_threads) {
      thread->m_quit = true;
      thread->m_wake.notify_one();
    }
  }
  // Joined by each thread object's destructor.
  m_threads.clear();
}

TIdYarn* TIdSchedulerOfThreadDefault::AcquireYarn() {
  std::lock_guard lock(m_lock);
  const int maxThreads = MaxThreads();
  if (maxThreads > 0 && m_activeYarns.size() >= static_cast<size_t>(maxThreads) + 1)
    throw EIdSchedulerMaxThreadsExceeded();
  m_activeYarns.reserve(m_activeYarns.size() + 1);
  TIdThreadWithTask* thread;
  if (!m_idle.empty()) {
    thread = m_idle.back();
    m_idle.pop_back();
  } else {
    m_threads.push_back(std::make_unique<TIdThreadWithTask>(*this, Name() + u" User"));
    try {
      m_threads.back()->start();
    } catch (...) {
      m_threads.pop_back();
      throw;
    }
    thread = m_threads.back().get();
    // Parking a thread must never allocate: it happens where nothing may throw.
    m_idle.reserve(m_threads.size());
  }
  auto yarn = std::make_unique<TIdYarnOfThread>(thread);
  thread->m_yarn = yarn.get();
  thread->m_stopped.store(false);
  m_activeYarns.push_back(std::move(yarn));
  return thread->m_yarn;
}

void TIdSchedulerOfThreadDefault::StartYarn(TIdYarn* yarn, std::unique_ptr<TIdTask> task) {
  auto* own = dynamic_cast<TIdYarnOfThread*>(yarn);
  if (own == nullptr || !task) throw EIdSchedulerException("Invalid yarn");
  TIdThreadWithTask* thread;
  {
    std::lock_guard lock(m_lock);
    own->m_started = true;
    thread = own->Thread();
    thread->m_task = std::move(task);
  }
  // Woken outside the lock, or the thread would wake only to wait for it. The yarn may be gone by now (the
  // task can have ended already); the thread object lives as long as the scheduler.
  thread->m_wake.notify_one();
}

void TIdSchedulerOfThreadDefault::releaseYarnLocked(TIdYarnOfThread* yarn) {
  auto it = std::find_if(m_activeYarns.begin(), m_activeYarns.end(),
                         [yarn](const std::unique_ptr<TIdYarnOfThread>& item) { return item.get() == yarn; });
  if (it == m_activeYarns.end()) return;
  TIdThreadWithTask* thread = yarn->Thread();
  thread->m_yarn = nullptr;
  thread->m_stopped.store(false);
  m_idle.push_back(thread);
  m_activeYarns.erase(it);
  m_yarnsChanged.notify_all();
}

void TIdSchedulerOfThreadDefault::TerminateYarn(TIdYarn* yarn) {
  std::lock_guard lock(m_lock);
  auto* own = dynamic_cast<TIdYarnOfThread*>(yarn);
  if (own == nullptr) return;
  if (own->m_started) {
    own->Thread()->m_stopped.store(true);
  } else {
    releaseYarnLocked(own);
  }
}

void TIdSchedulerOfThreadDefault::TerminateAllYarns() {
  std::unique_lock lock(m_lock);
  while (!m_activeYarns.empty()) {
    for (size_t i = m_activeYarns.size(); i-- > 0;) {
      TIdYarnOfThread* yarn = m_activeYarns[i].get();
      if (yarn->m_started) {
        yarn->Thread()->m_stopped.store(true);
      } else {
        releaseYarnLocked(yarn);
      }
    }
    if (m_activeYarns.empty()) break;
    // A yarn that ends wakes the wait at once; 500 ms is only the interval of the re-check.
    m_yarnsChanged.wait_for(lock, std::chrono::milliseconds(500));
  }
}

int TIdSchedulerOfThreadDefault::ActiveYarnCount() const {
  std::lock_guard lock(m_lock);
  return static_cast<int>(m_activeYarns.size());
}

int TIdSchedulerOfThreadDefault::ThreadCount() const {
  std::lock_guard lock(m_lock);
  return static_cast<int>(m_threads.size());
}

}  // namespace tessarine::server
