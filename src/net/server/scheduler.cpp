#include "net/server/scheduler.h"

#include <algorithm>
#include <chrono>

#include "net/server/server_exceptions.h"
#include "net/server/thread_name.h"

namespace tessarine::server {

namespace {

// After a failed thread creation the spare maker tries again this much later, instead of spinning.
constexpr auto kCreateRetryPause = std::chrono::milliseconds(100);

}  // namespace

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
  SetCurrentThreadBatch();
  TIdSchedulerOfThreadDefault& scheduler = m_scheduler;
  std::unique_lock lock(scheduler.m_lock);
  --scheduler.m_starting;
  while (true) {
    if (!m_task && !scheduler.m_closing && !scheduler.m_waiting.empty()) {
      TIdYarnOfThread* yarn = scheduler.m_waiting.front();
      scheduler.m_waiting.pop_front();
      scheduler.bindLocked(*this, *yarn, std::move(yarn->m_task));
    }
    if (!m_task) {
      if (scheduler.m_closing) return;
      // Never allocates: the spare maker reserved room for every worker.
      scheduler.m_idle.push_back(this);
      const auto idleTime = std::chrono::milliseconds(scheduler.ThreadIdleTime());
      while (!m_task && !scheduler.m_closing) {
        if (m_wake.wait_for(lock, idleTime) == std::cv_status::no_timeout || m_task || scheduler.m_closing) continue;
        if (static_cast<int>(scheduler.m_idle.size()) <= scheduler.SpareThreads()) continue;
        // Idle too long above the spares: this worker ends, and the spare maker joins it.
        std::erase(scheduler.m_idle, this);
        auto own = std::find_if(scheduler.m_threads.begin(), scheduler.m_threads.end(),
                                [this](const std::unique_ptr<TIdThreadWithTask>& item) { return item.get() == this; });
        scheduler.m_ended.push_back(std::move(*own));
        scheduler.m_threads.erase(own);
        scheduler.m_makerWake.notify_one();
        return;
      }
      // Whoever gave the task took this worker off the parked list; at closing the closer clears it.
      continue;
    }
    std::unique_ptr<TIdTask> task = std::move(m_task);
    lock.unlock();
    runTask(*task);
    // The context (and with it the connection and its socket) goes before the yarn: once ActiveYarns is
    // empty, shutdown may free what the context refers to.
    task.reset();
    lock.lock();
    scheduler.releaseYarnLocked(m_yarn);
    m_yarn = nullptr;
    m_stopped.store(false);
  }
}

TIdSchedulerOfThreadDefault::~TIdSchedulerOfThreadDefault() {
  try {
    TerminateAllYarns();
  } catch (...) {
    // Only an allocation can fail there; the threads are still stopped below.
    stopThreads();
  }
}

TIdYarn* TIdSchedulerOfThreadDefault::AcquireYarn() {
  std::lock_guard lock(m_lock);
  const int maxThreads = MaxThreads();
  if (maxThreads > 0 && m_activeYarns.size() >= static_cast<size_t>(maxThreads) + 1)
    throw EIdSchedulerMaxThreadsExceeded();
  // The first yarn of a fresh pool starts the spare maker, before any connection is taken.
  if (!m_maker.joinable() && !m_closing) m_maker = std::thread([this] { makeSpares(); });
  m_activeYarns.push_back(std::make_unique<TIdYarnOfThread>());
  return m_activeYarns.back().get();
}

void TIdSchedulerOfThreadDefault::bindLocked(TIdThreadWithTask& thread, TIdYarnOfThread& yarn,
                                             std::unique_ptr<TIdTask> task) {
  yarn.m_thread = &thread;
  thread.m_yarn = &yarn;
  thread.m_stopped.store(false);
  thread.m_task = std::move(task);
}

int TIdSchedulerOfThreadDefault::missingLocked() const {
  const size_t wanted = static_cast<size_t>(SpareThreads()) + m_waiting.size();
  const size_t have = m_idle.size() + static_cast<size_t>(m_starting);
  return wanted > have ? static_cast<int>(wanted - have) : 0;
}

void TIdSchedulerOfThreadDefault::StartYarn(TIdYarn* yarn, std::unique_ptr<TIdTask> task) {
  auto* own = dynamic_cast<TIdYarnOfThread*>(yarn);
  if (own == nullptr || !task) throw EIdSchedulerException("Invalid yarn");
  TIdThreadWithTask* thread = nullptr;
  bool wakeMaker;
  {
    std::lock_guard lock(m_lock);
    if (!m_idle.empty()) {
      thread = m_idle.back();
      m_idle.pop_back();
      bindLocked(*thread, *own, std::move(task));
    } else {
      // No parked worker: the task waits for the next one that is free or new, and the listener goes on.
      m_waiting.push_back(own);
      own->m_task = std::move(task);
    }
    own->m_started = true;
    wakeMaker = missingLocked() > 0;
  }
  // Woken outside the lock, or the thread would wake only to wait for it. The yarn may be gone by now (the
  // task can have ended already); the thread object lives until it is joined.
  if (thread != nullptr) thread->m_wake.notify_one();
  if (wakeMaker) m_makerWake.notify_one();
}

void TIdSchedulerOfThreadDefault::releaseYarnLocked(TIdYarnOfThread* yarn) {
  auto it = std::find_if(m_activeYarns.begin(), m_activeYarns.end(),
                         [yarn](const std::unique_ptr<TIdYarnOfThread>& item) { return item.get() == yarn; });
  if (it == m_activeYarns.end()) return;
  m_activeYarns.erase(it);
  m_yarnsChanged.notify_all();
}

std::unique_ptr<TIdTask> TIdSchedulerOfThreadDefault::dropWaitingLocked(TIdYarnOfThread* yarn) {
  std::erase(m_waiting, yarn);
  std::unique_ptr<TIdTask> task = std::move(yarn->m_task);
  releaseYarnLocked(yarn);
  return task;
}

void TIdSchedulerOfThreadDefault::TerminateYarn(TIdYarn* yarn) {
  // Declared before the lock, so a dropped task (its context and connection) is freed after unlocking.
  std::unique_ptr<TIdTask> dropped;
  std::lock_guard lock(m_lock);
  auto* own = dynamic_cast<TIdYarnOfThread*>(yarn);
  if (own == nullptr) return;
  if (own->m_thread != nullptr) {
    own->m_thread->m_stopped.store(true);
  } else {
    // Unstarted, or started and still waiting for a worker: its task never ran, and never will.
    dropped = dropWaitingLocked(own);
  }
}

void TIdSchedulerOfThreadDefault::TerminateAllYarns() {
  {
    std::unique_lock lock(m_lock);
    while (!m_activeYarns.empty()) {
      std::vector<std::unique_ptr<TIdTask>> dropped;
      dropped.reserve(m_activeYarns.size());
      for (size_t i = m_activeYarns.size(); i-- > 0;) {
        TIdYarnOfThread* yarn = m_activeYarns[i].get();
        if (yarn->m_thread != nullptr) {
          yarn->m_thread->m_stopped.store(true);
        } else {
          // A connection still waiting for a worker is closed without being served.
          dropped.push_back(dropWaitingLocked(yarn));
        }
      }
      if (!dropped.empty()) {
        lock.unlock();
        dropped.clear();
        lock.lock();
        continue;
      }
      if (m_activeYarns.empty()) break;
      // A yarn that ends wakes the wait at once; 500 ms is only the interval of the re-check.
      m_yarnsChanged.wait_for(lock, std::chrono::milliseconds(500));
    }
  }
  stopThreads();
}

void TIdSchedulerOfThreadDefault::stopThreads() {
  std::thread maker;
  {
    std::lock_guard lock(m_lock);
    m_closing = true;
    for (TIdThreadWithTask* thread : m_idle) thread->m_wake.notify_one();
    maker = std::move(m_maker);
  }
  m_makerWake.notify_all();
  if (maker.joinable()) maker.join();
  // The maker is gone, so no worker is added any more; every one still here is parked or about to end.
  std::vector<std::unique_ptr<TIdThreadWithTask>> threads;
  {
    std::lock_guard lock(m_lock);
    threads = std::move(m_threads);
    m_threads.clear();
    for (auto& thread : m_ended) threads.push_back(std::move(thread));
    m_ended.clear();
  }
  // Joined by each thread object's destructor.
  threads.clear();
  std::lock_guard lock(m_lock);
  m_idle.clear();
  m_closing = false;
}

void TIdSchedulerOfThreadDefault::makeSpares() noexcept {
  SetCurrentThreadName(Name() + u" Spares");
  // Making threads is no more urgent than what they will run; the listener comes first.
  SetCurrentThreadBatch();
  std::unique_lock lock(m_lock);
  while (!m_closing) {
    if (!m_ended.empty()) {
      std::vector<std::unique_ptr<TIdThreadWithTask>> ended = std::move(m_ended);
      m_ended.clear();
      lock.unlock();
      ended.clear();  // joins them
      lock.lock();
      continue;
    }
    if (missingLocked() == 0) {
      m_makerWake.wait(lock);
      continue;
    }
    TIdThreadWithTask* thread = nullptr;
    try {
      auto created = std::make_unique<TIdThreadWithTask>(*this, Name() + u" User");
      // Parking must never allocate: it happens where nothing may throw.
      m_idle.reserve(m_threads.size() + 1);
      m_threads.push_back(std::move(created));
      thread = m_threads.back().get();
    } catch (...) {
    }
    bool started = false;
    if (thread != nullptr) {
      ++m_starting;
      // Created outside the lock: the listener never waits for it.
      lock.unlock();
      try {
        thread->start();
        started = true;
      } catch (...) {
      }
      lock.lock();
    }
    if (!started) {
      if (thread != nullptr) {
        --m_starting;
        std::erase_if(m_threads,
                      [thread](const std::unique_ptr<TIdThreadWithTask>& item) { return item.get() == thread; });
      }
      m_makerWake.wait_for(lock, kCreateRetryPause);
    }
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

int TIdSchedulerOfThreadDefault::ParkedThreadCount() const {
  std::lock_guard lock(m_lock);
  return static_cast<int>(m_idle.size());
}

}  // namespace tessarine::server
