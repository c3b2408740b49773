// Runs the tasks of one call on a few native threads.
#pragma once

#include <cstddef>
#include <functional>

#include "base/poll.hpp"

namespace vesk::columns {

// Thrown inside a task by its poll hook once the run is cancelled.
struct Cancelled {};

using TaskWork = std::function<void(std::size_t task, const Poll& poll)>;

// Runs work(task, poll) for every task in [0, count): on the calling thread
// when `threads` is 1, else on min(threads, count) new threads (0: as many as
// available_cpus gives, cpus.hpp), which take the tasks in order and are always joined
// before this returns or unwinds. When the system refuses every new thread,
// the calling thread runs the tasks itself.
// Meanwhile the calling thread calls `caller_poll` every few milliseconds (on
// a single thread: between tasks and from inside long ones); whatever it
// throws cancels the workers and, once they are joined, leaves this function.
//
// A task that throws ends the run; the tasks before it still run, the ones
// after it may not, and the exception of the lowest failing task is rethrown
// here, so that the error does not depend on the number of threads. Workers
// touch only what `work` gives them: no Python object, no lock of the caller.
void run_tasks(std::size_t count, unsigned threads, const TaskWork& work,
               const std::function<void()>& caller_poll);

}  // namespace vesk::columns
