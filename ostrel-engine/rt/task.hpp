#pragma once

#include <expected>
#include <memory>
#include <optional>
#include <string>

#include "ostrel-engine/rt/asio.hpp"

namespace ostrel::engine::rt {

namespace detail {
template <typename T>
struct TaskState;
}  // namespace detail

// Why a task produced no result: it was aborted, or an exception escaped it.
struct TaskFailure {
    enum class Kind { Aborted, Crashed };
    Kind kind = Kind::Crashed;
    std::string task;     // the name the task was spawned with
    std::string message;  // what escaped, for a crash

    // "task accept database was cancelled", "task accept database panicked: <message>"
    std::string text() const;
};

template <typename T>
using TaskResult = std::expected<T, TaskFailure>;

// A spawned coroutine, running on its own strand, whose result its owner collects with
// `join`. `abort` asks it to stop: its pending operation completes with operation_aborted and
// the coroutine unwinds at its next suspension point, releasing what it holds. Dropping the
// handle detaches the task (it runs on, its result is discarded). An exception that escapes
// the body is caught and reported as a crash; once abort was requested, any escaping
// exception is reported as Aborted. A body that ends normally keeps its result even if an
// abort arrives later. An operation without per-operation cancellation (a plain post, CPU
// work) delays the stop until it completes. The task holds a strand of the executor's
// context: handles must not outlive that context.
template <typename T>
class Task {
  public:
    Task() = default;
    static Task spawn(const Executor& executor, asio::awaitable<T> body, std::string name);

    // Waits for the end of the task; at most one join per task collects the result (a join
    // whose wait was cancelled collected nothing and may be repeated). The awaitable holds
    // the task's state, so the handle may go away while it waits.
    asio::awaitable<TaskResult<T>> join();
    // Thread-safe; the cancellation itself is emitted on the task's strand.
    void abort();
    bool is_finished() const;
    bool valid() const { return state_ != nullptr; }

  private:
    std::shared_ptr<detail::TaskState<T>> state_;
};

// Tasks owned together: the owner awaits whichever ends next, or aborts them all. Dropping the
// set aborts every task still in it.
template <typename T>
class TaskSet {
  public:
    TaskSet();
    TaskSet(const TaskSet&) = delete;
    TaskSet& operator=(const TaskSet&) = delete;
    ~TaskSet();

    void spawn(const Executor& executor, asio::awaitable<T> body, std::string name);
    // The result of the next task to end, in order of ending; none when the set is empty.
    // Cancellation-safe: a join_next whose wait is cancelled takes no result.
    asio::awaitable<std::optional<TaskResult<T>>> join_next();
    // Aborted tasks stay in the set until their result is collected.
    void abort_all();
    // Tasks spawned and not yet collected by join_next, finished or not.
    size_t size() const;
    bool empty() const { return size() == 0; }

  private:
    struct State;
    static asio::awaitable<std::optional<TaskResult<T>>> join_next_in(std::shared_ptr<State> state);
    std::shared_ptr<State> state_;
};

}  // namespace ostrel::engine::rt

#include "ostrel-engine/rt/task_impl.hpp"
