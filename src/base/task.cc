#include "base/task.h"

#include <chrono>
#include <system_error>

namespace tidewell {

Task::Task() = default;

Task::~Task() { StopAndJoin(); }

int Task::CreateTaskId() {
  static std::mutex id_mutex;
  static int task_count = 0;
  std::lock_guard<std::mutex> lock(id_mutex);
  return task_count++;
}

void Task::Exec(Task* task) {
  task->DoTask();
  task->SetState(STOP);
}

int Task::Pause() {
  SetState(PAUSE);
  return 0;
}

int Task::Resume() {
  SetState(RUN);
  return 0;
}

int Task::Stop() {
  SetState(STOP);
  return 0;
}

int Task::Run() {
  std::lock_guard<std::mutex> lock(m_state_mutex);
  if (m_task_id >= 0 || m_tid.joinable()) return -1;
  m_state = RUN;
  try {
    m_tid = std::thread(&Task::Exec, this);
  } catch (const std::system_error&) {
    m_state = STOP;
    return -1;
  }
  m_task_id = CreateTaskId();
  return 0;
}

int Task::Join() {
  std::thread t;
  {
    std::lock_guard<std::mutex> lock(m_state_mutex);
    if (m_task_id < 0 || !m_tid.joinable()) return -1;
    t = std::move(m_tid);
  }
  if (t.get_id() == std::this_thread::get_id()) {
    t.detach();  // a task cannot wait for itself
  } else {
    t.join();
  }
  std::lock_guard<std::mutex> lock(m_state_mutex);
  m_task_id = -1;
  return 0;
}

void Task::StopAndJoin() {
  Stop();
  Join();
}

Task::State Task::GetState() {
  std::lock_guard<std::mutex> lock(m_state_mutex);
  return m_state;
}

void Task::SetState(State s) {
  {
    std::lock_guard<std::mutex> lock(m_state_mutex);
    m_state = s;
  }
  m_state_changed.notify_all();
}

int Task::GetId() {
  std::lock_guard<std::mutex> lock(m_state_mutex);
  return m_task_id;
}

int Task::Wait(int seconds) { return WaitMs(static_cast<long>(seconds) * 1000); }

int Task::WaitMs(long milliseconds) {
  std::unique_lock<std::mutex> lock(m_state_mutex);
  auto deadline = std::chrono::steady_clock::now() +
                  std::chrono::milliseconds(milliseconds);
  bool interrupted = m_state_changed.wait_until(
      lock, deadline, [this] { return m_state != RUN; });
  return interrupted ? -1 : 0;
}

}  // namespace tidewell
