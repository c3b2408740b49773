#include "columns/pool.hpp"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <limits>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

#include "base/unwind.hpp"
#include "columns/cpus.hpp"

namespace vesk::columns {
namespace {

void call_caller_poll(void* context) {
  (*static_cast<const std::function<void()>*>(context))();
}

// The shared state of one multi-threaded run.
class Run {
 public:
  Run(std::size_t count, const TaskWork& work) : limit_(count), work_(work) {}

  void worker() {
    const Poll poll(&Run::check_cancelled, this);
    for (;;) {
      const std::size_t task = next_.fetch_add(1);
      if (task >= limit_.load() || cancelled_.load()) break;
      try {
        work_(task, poll);
      } catch (ForcedUnwind&) {
        throw;
      } catch (const Cancelled&) {
        break;
      } catch (...) {
        fail(task, std::current_exception());
      }
    }
    std::lock_guard lock(mutex_);
    ++finished_;
    done_.notify_all();
  }

  // Waits for `workers` to finish, polling the caller meanwhile.
  void wait(std::size_t workers, const std::function<void()>& caller_poll) {
    for (;;) {
      {
        std::unique_lock lock(mutex_);
        if (done_.wait_for(lock, std::chrono::milliseconds(10),
                           [&] { return finished_ == workers; }))
          return;
      }
      caller_poll();
    }
  }

  void cancel() noexcept { cancelled_.store(true); }

  void rethrow_failure() {
    if (failure_) std::rethrow_exception(failure_);
  }

 private:
  static void check_cancelled(void* self) {
    if (static_cast<Run*>(self)->cancelled_.load(std::memory_order_relaxed)) throw Cancelled{};
  }

  void fail(std::size_t task, std::exception_ptr error) {
    std::lock_guard lock(mutex_);
    if (task < failed_task_) {
      failed_task_ = task;
      failure_ = std::move(error);
      limit_.store(task);
    }
  }

  std::atomic<std::size_t> next_{0};
  std::atomic<std::size_t> limit_;
  std::atomic<bool> cancelled_{false};
  const TaskWork& work_;
  std::mutex mutex_;
  std::condition_variable done_;
  std::size_t finished_ = 0;
  std::size_t failed_task_ = std::numeric_limits<std::size_t>::max();
  std::exception_ptr failure_;
};

// The worker threads: cancelled and joined whenever the crew goes, also when
// the caller unwinds (an interrupt, or the forced unwind of a thread ended at
// interpreter shutdown).
class Crew {
 public:
  explicit Crew(Run& run) : run_(run) {}
  Crew(const Crew&) = delete;
  Crew& operator=(const Crew&) = delete;
  ~Crew() {
    run_.cancel();
    for (std::thread& thread : threads_) thread.join();
  }
  // Starts up to `wanted` workers: as many as the system gives (a thread it
  // refuses, for want of memory or under a limit, is simply not had).
  void start(std::size_t wanted) {
    threads_.reserve(wanted);
    while (threads_.size() < wanted) {
      try {
        threads_.emplace_back([this] { run_.worker(); });
      } catch (const std::system_error&) {
        return;
      } catch (const std::bad_alloc&) {
        return;
      }
    }
  }
  [[nodiscard]] std::size_t size() const noexcept { return threads_.size(); }

 private:
  Run& run_;
  std::vector<std::thread> threads_;
};

}  // namespace

namespace {

// The tasks one after the other on the calling thread, which polls between
// them and lets the long ones poll from inside.
void run_here(std::size_t count, const TaskWork& work, const std::function<void()>& caller_poll) {
  const Poll poll(&call_caller_poll, const_cast<std::function<void()>*>(&caller_poll));
  for (std::size_t task = 0; task < count; ++task) {
    caller_poll();
    work(task, poll);
  }
}

}  // namespace

void run_tasks(std::size_t count, unsigned threads, const TaskWork& work,
               const std::function<void()>& caller_poll) {
  if (count == 0) return;
  if (threads == 0 && count > 1) threads = available_cpus();
  if (threads <= 1 || count == 1) return run_here(count, work, caller_poll);
  Run run(count, work);
  bool started = false;
  {
    Crew crew(run);
    crew.start(threads < count ? threads : count);
    started = crew.size() > 0;
    if (started) run.wait(crew.size(), caller_poll);
  }
  // Not one thread could be started (a thread or address-space limit): the
  // calling thread does the work itself, as with threads=1.
  if (!started) return run_here(count, work, caller_poll);
  run.rethrow_failure();
}

}  // namespace vesk::columns
