// Base class of every task thread of the daemon (detector, pullers, workers,
// recycle cleaner).
//
// A task is created stopped and without a thread. Run() starts its thread,
// which runs DoTask() and leaves the task in STOP when DoTask returns. The
// state (RUN, PAUSE, STOP) is set from other threads through Pause(),
// Resume() and Stop(); a task body polls it, directly or through Wait(),
// and returns when it sees STOP. Join() reaps the thread and makes the task
// runnable again.
//
// Thread-safe: the state and the start of the thread are guarded by one
// mutex; every member function may be called from any thread.

#ifndef TIDEWELL_BASE_TASK_H_
#define TIDEWELL_BASE_TASK_H_

#include <condition_variable>
#include <mutex>
#include <thread>

namespace tidewell {

class Task {
 public:
  enum State { RUN = 0, PAUSE = 1, STOP = 2 };

  Task();
  // Stops the task and, if its thread is still running, waits for it.
  // Derived classes whose DoTask uses their own members must call
  // StopAndJoin() in their destructor, before those members go away.
  virtual ~Task();
  Task(const Task&) = delete;
  Task& operator=(const Task&) = delete;

  // Hook for set-up before Run(); 0 on success.
  virtual int Init() { return 0; }
  // Set the state to PAUSE, RUN and STOP; 0. Tasks with long operations
  // override them to raise or clear their abort flag as well.
  virtual int Pause();
  virtual int Resume();
  virtual int Stop();
  // Asks a long operation in progress to give up; 0. The base has none.
  virtual int SetAbort(bool /*abort*/) { return 0; }

  // Starts the thread in state RUN and gives the task a new identifier.
  // 0, or -1 when a thread exists already or cannot be created (the task
  // then stays in STOP).
  [[nodiscard]] int Run();

  // Waits for the thread to end; 0, or -1 when there is no thread.
  int Join();

  // Stop() (the override of the class whose destructor runs) then Join().
  void StopAndJoin();

  State GetState();
  void SetState(State s);

  // The identifier while a thread exists, -1 otherwise. Identifiers are
  // never reused within a process.
  int GetId();

  // Sleeps up to `seconds`, returning -1 as soon as the state is not RUN
  // (also when it is not RUN on entry) and 0 after the full time. Task
  // bodies use it for idle waits so that a pause or stop cuts them short.
  int Wait(int seconds);
  // The same with a wait in milliseconds.
  int WaitMs(long milliseconds);

 protected:
  // The thread body. Runs until it sees STOP.
  virtual void DoTask() {}

 private:
  static int CreateTaskId();
  static void Exec(Task* task);

  std::mutex m_state_mutex;
  // Guarded by m_state_mutex.
  std::condition_variable m_state_changed;
  State m_state = STOP;
  std::thread m_tid;
  int m_task_id = -1;
};

}  // namespace tidewell

#endif  // TIDEWELL_BASE_TASK_H_
