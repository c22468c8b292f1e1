#pragma once

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "net/server/context.h"

namespace tessarine::server {

// The link between a scheduler and the thread that runs one connection.
class TIdYarn {
 public:
  virtual ~TIdYarn() = default;
};

// Hands each connection a thread of its own.
class TIdScheduler {
 public:
  TIdScheduler() = default;
  virtual ~TIdScheduler() = default;
  TIdScheduler(const TIdScheduler&) = delete;
  TIdScheduler& operator=(const TIdScheduler&) = delete;

  const std::u16string& Name() const { return m_name; }
  void SetName(std::u16string name) { m_name = std::move(name); }

  // A yarn whose thread waits for StartYarn; it stays in ActiveYarns until its task ends or it is terminated.
  virtual TIdYarn* AcquireYarn() = 0;
  // The yarn's thread takes ownership of the task and runs it.
  virtual void StartYarn(TIdYarn* yarn, std::unique_ptr<TIdTask> task) = 0;
  // An unstarted yarn is released with its thread; a running one is told to stop.
  virtual void TerminateYarn(TIdYarn* yarn) = 0;
  // Returns when no yarn is left: tells running threads to stop and checks again every 500 ms.
  virtual void TerminateAllYarns() = 0;
  virtual int ActiveYarnCount() const = 0;

 private:
  std::u16string m_name;
};

class TIdSchedulerOfThread : public TIdScheduler {
 public:
  // 0: no limit.
  int MaxThreads() const { return m_maxThreads.load(); }
  void SetMaxThreads(int maxThreads) { m_maxThreads.store(maxThreads); }

 private:
  std::atomic<int> m_maxThreads{0};
};

class TIdSchedulerOfThreadDefault;
class TIdYarnOfThread;

// A worker thread. It parks until it is given a task, runs it, and parks again for the next one.
class TIdThreadWithTask {
 public:
  TIdThreadWithTask(TIdSchedulerOfThreadDefault& scheduler, std::u16string name);
  ~TIdThreadWithTask();
  TIdThreadWithTask(const TIdThreadWithTask&) = delete;
  TIdThreadWithTask& operator=(const TIdThreadWithTask&) = delete;

  bool Stopped() const { return m_stopped.load(); }

 private:
  friend class TIdSchedulerOfThreadDefault;
  void start();
  void execute() noexcept;
  void runTask(TIdTask& task) noexcept;

  TIdSchedulerOfThreadDefault& m_scheduler;
  const std::u16string m_name;
  // The scheduler's lock guards the fields below.
  std::condition_variable m_wake;
  std::unique_ptr<TIdTask> m_task;
  TIdYarnOfThread* m_yarn = nullptr;
  bool m_quit = false;
  std::atomic<bool> m_stopped{false};
  std::thread m_thread;
};

class TIdYarnOfThread : public TIdYarn {
 public:
  explicit TIdYarnOfThread(TIdThreadWithTask* thread) : m_thread(thread) {}
  TIdThreadWithTask* Thread() const { return m_thread; }

 private:
  friend class TIdSchedulerOfThreadDefault;
  TIdThreadWithTask* const m_thread;
  bool m_started = false;  // guarded by the scheduler's lock
};

// One thread per connection, taken from a pool of parked threads that grows whenever all are busy, so every
// connection is served at the same time as the others. Freeing the scheduler waits for every thread.
class TIdSchedulerOfThreadDefault : public TIdSchedulerOfThread {
 public:
  TIdSchedulerOfThreadDefault() = default;
  ~TIdSchedulerOfThreadDefault() override;

  TIdYarn* AcquireYarn() override;
  void StartYarn(TIdYarn* yarn, std::unique_ptr<TIdTask> task) override;
  void TerminateYarn(TIdYarn* yarn) override;
  void TerminateAllYarns() override;
  int ActiveYarnCount() const override;
  // Threads alive, busy or parked.
  int ThreadCount() const;

 private:
  friend class TIdThreadWithTask;
  // Under m_lock: the yarn leaves ActiveYarns and its thread is parked.
  void releaseYarnLocked(TIdYarnOfThread* yarn);

  mutable std::mutex m_lock;
  std::condition_variable m_yarnsChanged;
  std::vector<std::unique_ptr<TIdYarnOfThread>> m_activeYarns;
  std::vector<std::unique_ptr<TIdThreadWithTask>> m_threads;
  std::vector<TIdThreadWithTask*> m_idle;
};

}  // namespace tessarine::server
