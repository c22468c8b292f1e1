#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
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

// A worker thread. It parks until it is given a task, runs it, and parks again for the next one; a parked
// worker above the scheduler's spare count ends after the idle time.
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
  std::atomic<bool> m_stopped{false};
  // Written by the spare maker before the thread can be joined, read only by whoever joins it.
  std::thread m_thread;
};

class TIdYarnOfThread : public TIdYarn {
 public:
  // The thread running the yarn's task; nullptr until a worker takes it.
  TIdThreadWithTask* Thread() const { return m_thread; }

 private:
  friend class TIdSchedulerOfThreadDefault;
  friend class TIdThreadWithTask;
  // Guarded by the scheduler's lock.
  TIdThreadWithTask* m_thread = nullptr;
  bool m_started = false;
  // A started yarn's task while it waits for a worker.
  std::unique_ptr<TIdTask> m_task;
};

// One thread per connection, so every connection is served at the same time as the others. The threads come
// from a pool of parked workers that a helper thread (the spare maker) keeps SpareThreads ahead of demand, so
// the listener never waits for a thread to be created: a connection started while no worker is parked waits
// for the next free or new one. Workers and the spare maker run in the batch class, so that waking them never
// interrupts the listener. Parked workers above SpareThreads end after ThreadIdleTime. TerminateAllYarns,
// which ends the server's connections when it switches off, also ends every parked worker and the spare maker;
// they come back with the next AcquireYarn.
class TIdSchedulerOfThreadDefault : public TIdSchedulerOfThread {
 public:
  static constexpr int kDefaultSpareThreads = 16;
  static constexpr int kDefaultThreadIdleTime = 60000;

  TIdSchedulerOfThreadDefault() = default;
  ~TIdSchedulerOfThreadDefault() override;

  // Parked workers kept ready, and the number below which idle ones do not end.
  int SpareThreads() const { return m_spareThreads.load(); }
  void SetSpareThreads(int spareThreads) { m_spareThreads.store(spareThreads < 0 ? 0 : spareThreads); }
  // Milliseconds a parked worker above SpareThreads waits for work before it ends; read when it parks.
  int ThreadIdleTime() const { return m_threadIdleTime.load(); }
  void SetThreadIdleTime(int milliseconds) { m_threadIdleTime.store(milliseconds < 1 ? 1 : milliseconds); }

  TIdYarn* AcquireYarn() override;
  void StartYarn(TIdYarn* yarn, std::unique_ptr<TIdTask> task) override;
  void TerminateYarn(TIdYarn* yarn) override;
  void TerminateAllYarns() override;
  int ActiveYarnCount() const override;
  // Worker threads alive, busy or parked (the spare maker not counted).
  int ThreadCount() const;
  int ParkedThreadCount() const;

 private:
  friend class TIdThreadWithTask;
  // Under m_lock: the yarn leaves ActiveYarns.
  void releaseYarnLocked(TIdYarnOfThread* yarn);
  // Under m_lock: a started yarn still waiting for a worker leaves the queue and ActiveYarns; its task is
  // returned so that it is freed outside the lock.
  std::unique_ptr<TIdTask> dropWaitingLocked(TIdYarnOfThread* yarn);
  // Under m_lock: gives the thread the yarn and its task.
  void bindLocked(TIdThreadWithTask& thread, TIdYarnOfThread& yarn, std::unique_ptr<TIdTask> task);
  // Under m_lock: how many workers the spare maker should start now.
  int missingLocked() const;
  void makeSpares() noexcept;
  // Ends the spare maker and every worker; the pool starts again on the next AcquireYarn.
  void stopThreads();

  std::atomic<int> m_spareThreads{kDefaultSpareThreads};
  std::atomic<int> m_threadIdleTime{kDefaultThreadIdleTime};

  mutable std::mutex m_lock;
  std::condition_variable m_yarnsChanged;
  std::vector<std::unique_ptr<TIdYarnOfThread>> m_activeYarns;
  // Every worker not yet joined, and those that ended on their own and wait to be joined.
  std::vector<std::unique_ptr<TIdThreadWithTask>> m_threads;
  std::vector<std::unique_ptr<TIdThreadWithTask>> m_ended;
  // Parked workers; the last parked is the first taken, so the ones that stay parked are the ones that end.
  std::vector<TIdThreadWithTask*> m_idle;
  // Started yarns waiting for a worker, oldest first.
  std::deque<TIdYarnOfThread*> m_waiting;
  // Workers started but not yet parked or at work.
  int m_starting = 0;
  bool m_closing = false;
  std::condition_variable m_makerWake;
  std::thread m_maker;
};

}  // namespace tessarine::server
