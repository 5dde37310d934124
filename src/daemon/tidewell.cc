#include "daemon/tidewell.h"

#include <cstring>
#include <system_error>

#include "daemon/daemon_log.h"

namespace tidewell {

Tidewell::Tidewell() = default;

Tidewell::~Tidewell() {
  kill();
  // A controller whose main thread never ran may still hold a linked set.
  if (linked_ || !task.empty() || pool_) do_unlink();
}

uint32_t Tidewell::WorkerCountFor(uint32_t setting) {
  if (setting < kMinWorkerCount) return kMinWorkerCount;
  if (setting > kMaxWorkerCount) return kMaxWorkerCount;
  return setting;
}

int Tidewell::run() {
  std::lock_guard<std::mutex> lock(msg_lock);
  if (thread_running_ || msg_thread.joinable()) return -1;
  try {
    msg_thread = std::thread(&Tidewell::do_main_loop, this);
  } catch (const std::system_error& e) {
    APP_LOG_ERR("pthread_create: %s (%d)\n", std::strerror(e.code().value()), e.code().value());
    return -1;
  }
  thread_running_ = true;
  return 0;
}

int Tidewell::send_message(const PObject& request, PObject& reply) {
  Waiter waiter;
  {
    std::lock_guard<std::mutex> lock(msg_lock);
    if (!thread_running_) return -1;
    msg_t m;
    m.msg = &request;
    m.result = &reply;
    m.waiter = &waiter;
    msg_queue.push_back(std::move(m));
    msg_cond.notify_one();
  }
  std::unique_lock<std::mutex> lock(waiter.mutex);
  waiter.cond.wait(lock, [&] { return waiter.done; });
  return 0;
}

int Tidewell::send_message(const PObject& request) {
  PObject reply;
  return send_message(request, reply);
}

void Tidewell::kill() {
  {
    std::lock_guard<std::mutex> lock(msg_lock);
    if (thread_running_) {
      msg_t m;
      m.owned = std::make_shared<PObject>();
      (*m.owned)["action"] = "stop";
      m.msg = m.owned.get();
      msg_queue.push_back(std::move(m));
      msg_cond.notify_one();
    }
  }
  if (msg_thread.joinable() && msg_thread.get_id() != std::this_thread::get_id()) msg_thread.join();
}

void Tidewell::do_main_loop() {
  APP_LOG_INFO("main thread starts receiving messages\n");
  while (app_running.load() != 0) {
    msg_t m;
    {
      std::unique_lock<std::mutex> lock(msg_lock);
      if (msg_queue.empty()) APP_LOG_DEBUG("waiting for instructions\n");
      msg_cond.wait(lock, [this] { return !msg_queue.empty(); });
      m = std::move(msg_queue.front());
      msg_queue.pop_front();
    }
    PObject scratch;
    PObject& reply = m.result != nullptr ? *m.result : scratch;
    handle_control(*m.msg, reply);
    if (m.waiter != nullptr) {
      // Every answered request carries the acknowledgement, also when the
      // action failed or was not recognised.
      reply["ack"] = "ok";
      std::lock_guard<std::mutex> lock(m.waiter->mutex);
      m.waiter->done = true;
      m.waiter->cond.notify_one();
    }
  }
  std::deque<msg_t> left;
  {
    std::lock_guard<std::mutex> lock(msg_lock);
    thread_running_ = false;
    left.swap(msg_queue);
  }
  // Requests queued behind "stop" are not executed; their senders are let
  // go with an acknowledged empty reply rather than left waiting forever.
  for (msg_t& m : left) {
    if (m.waiter == nullptr) continue;
    if (m.result != nullptr) (*m.result)["ack"] = "ok";
    std::lock_guard<std::mutex> lock(m.waiter->mutex);
    m.waiter->done = true;
    m.waiter->cond.notify_one();
  }
  APP_LOG_INFO("main thread down\n");
}

void Tidewell::handle_control(const PObject& request, PObject& reply) {
  const ustring& action = request["action"].asStringRef();
  if (action == ustring("stop")) {
    app_running.store(0);
    do_unlink();
  } else if (action == ustring("link")) {
    do_link(request, reply);
  } else if (action == ustring("unlink")) {
    do_unlink();
  } else if (action == ustring("pause")) {
    pause_action(request, reply);
  } else if (action == ustring("resume")) {
    resume_action(request, reply);
  } else if (action == ustring("link_connection")) {
    link_connection(request, reply);
  } else if (action == ustring("reload_connection")) {
    reload_connection(request, reply);
  } else if (action == ustring("unlink_connection")) {
    PObject all;  // as "remove_session" without "session_id"
    remove_session(all, reply);
  } else if (action == ustring("reload_session")) {
    reload_session(request, reply);
  } else if (action == ustring("add_session")) {
    add_session(request, reply);
  } else if (action == ustring("remove_session")) {
    remove_session(request, reply);
  } else if (action == ustring("get_status")) {
    get_status(reply);
  }
}

}  // namespace tidewell
