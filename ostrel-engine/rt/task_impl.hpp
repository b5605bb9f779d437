#pragma once

#include <cassert>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <type_traits>
#include <unordered_set>
#include <utility>
#include <variant>
#include <vector>

#include "ostrel-engine/rt/cancellation.hpp"

namespace ostrel::engine::rt::detail {

// The text of an exception that escaped a task: what() when it is a std::exception.
std::string describe_exception(std::exception_ptr error);

template <typename T>
struct TaskState {
    using Value = std::conditional_t<std::is_void_v<T>, std::monostate, T>;

    TaskState(std::string task_name, Executor task_strand)
        : name(std::move(task_name)), strand(std::move(task_strand)) {}

    const std::string name;
    const Executor strand;

    // Touched on the strand only: cancellation signals are not thread-safe, and the body and
    // its completion run there.
    asio::cancellation_signal signal;
    bool abort_requested = false;
    bool done = false;
    std::optional<Value> value;
    // Called once, on the strand, after the result is published; set before launch.
    std::function<void(const std::shared_ptr<TaskState>&)> on_finish;

    // Cancelled once `result` is set.
    CancellationToken finished;
    std::mutex mutex;
    std::optional<TaskResult<T>> result;

    TaskResult<T> take_result() {
        std::lock_guard lock(mutex);
        assert(result.has_value() && "a task's result is collected once");
        TaskResult<T> taken = std::move(*result);
        result.reset();
        return taken;
    }
};

// The body's value is kept in the state rather than passed through co_spawn, which would
// require T to be default-constructible.
template <typename T>
asio::awaitable<void> run_body(TaskState<T>* state, asio::awaitable<T> body) {
    if constexpr (std::is_void_v<T>) {
        co_await std::move(body);
        state->value.emplace();
    } else {
        state->value.emplace(co_await std::move(body));
    }
}

template <typename T>
struct TaskCompletion {
    std::shared_ptr<TaskState<T>> state;

    void operator()(std::exception_ptr error) {
        TaskState<T>& task = *state;
        task.done = true;
        auto result = [&]() -> TaskResult<T> {
            if (error) {
                if (task.abort_requested) {
                    return std::unexpected(
                        TaskFailure{TaskFailure::Kind::Aborted, task.name, std::string()});
                }
                return std::unexpected(
                    TaskFailure{TaskFailure::Kind::Crashed, task.name, describe_exception(error)});
            }
            if constexpr (std::is_void_v<T>) {
                return {};
            } else {
                return std::move(*task.value);
            }
        }();
        task.value.reset();
        {
            std::lock_guard lock(task.mutex);
            task.result.emplace(std::move(result));
        }
        task.finished.cancel();
        if (task.on_finish) {
            auto on_finish = std::move(task.on_finish);
            on_finish(state);
        }
    }
};

template <typename T>
void launch(const std::shared_ptr<TaskState<T>>& state, asio::awaitable<T> body) {
    // The completion handler keeps the state, and with it the signal whose slot the coroutine
    // is attached to, alive until the coroutine has finished.
    asio::co_spawn(state->strand, run_body<T>(state.get(), std::move(body)),
                   asio::bind_cancellation_slot(state->signal.slot(), TaskCompletion<T>{state}));
}

template <typename T>
void request_abort(const std::shared_ptr<TaskState<T>>& state) {
    asio::post(state->strand, [state] {
        if (state->done) {
            return;
        }
        state->abort_requested = true;
        state->signal.emit(asio::cancellation_type::terminal);
    });
}

template <typename T>
asio::awaitable<TaskResult<T>> join_task(std::shared_ptr<TaskState<T>> state) {
    co_await state->finished.cancelled();
    co_return state->take_result();
}

}  // namespace ostrel::engine::rt::detail

namespace ostrel::engine::rt {

template <typename T>
Task<T> Task<T>::spawn(const Executor& executor, asio::awaitable<T> body, std::string name) {
    Task task;
    task.state_ =
        std::make_shared<detail::TaskState<T>>(std::move(name), asio::make_strand(executor));
    detail::launch(task.state_, std::move(body));
    return task;
}

template <typename T>
asio::awaitable<TaskResult<T>> Task<T>::join() {
    return detail::join_task(state_);
}

template <typename T>
void Task<T>::abort() {
    detail::request_abort(state_);
}

template <typename T>
bool Task<T>::is_finished() const {
    return state_->finished.is_cancelled();
}

template <typename T>
struct TaskSet<T>::State {
    using TaskPtr = std::shared_ptr<detail::TaskState<T>>;

    std::mutex mutex;
    std::unordered_set<TaskPtr> tasks;  // spawned and not yet collected
    std::deque<TaskPtr> finished;       // in order of ending, not yet collected
    // Replaced and cancelled each time a task ends, so join_next waits without polling.
    CancellationToken wake;
};

template <typename T>
TaskSet<T>::TaskSet() : state_(std::make_shared<State>()) {}

template <typename T>
TaskSet<T>::~TaskSet() {
    abort_all();
}

template <typename T>
void TaskSet<T>::spawn(const Executor& executor, asio::awaitable<T> body, std::string name) {
    auto task =
        std::make_shared<detail::TaskState<T>>(std::move(name), asio::make_strand(executor));
    task->on_finish = [weak = std::weak_ptr<State>(state_)](const auto& ended) {
        auto set = weak.lock();
        if (!set) {
            return;
        }
        CancellationToken wake;
        {
            std::lock_guard lock(set->mutex);
            set->finished.push_back(ended);
            std::swap(wake, set->wake);
        }
        wake.cancel();
    };
    // In the set before it can end, so its end always finds it there.
    {
        std::lock_guard lock(state_->mutex);
        state_->tasks.insert(task);
    }
    detail::launch(task, std::move(body));
}

template <typename T>
asio::awaitable<std::optional<TaskResult<T>>> TaskSet<T>::join_next() {
    return join_next_in(state_);
}

template <typename T>
asio::awaitable<std::optional<TaskResult<T>>> TaskSet<T>::join_next_in(
    std::shared_ptr<State> state) {
    for (;;) {
        std::optional<CancellationToken> wake;
        typename State::TaskPtr ended;
        {
            std::lock_guard lock(state->mutex);
            if (!state->finished.empty()) {
                ended = std::move(state->finished.front());
                state->finished.pop_front();
                state->tasks.erase(ended);
            } else if (state->tasks.empty()) {
                co_return std::nullopt;
            } else {
                wake = state->wake;
            }
        }
        if (ended) {
            co_return ended->take_result();
        }
        co_await wake->cancelled();
    }
}

template <typename T>
void TaskSet<T>::abort_all() {
    std::vector<typename State::TaskPtr> tasks;
    {
        std::lock_guard lock(state_->mutex);
        tasks.assign(state_->tasks.begin(), state_->tasks.end());
    }
    for (const auto& task : tasks) {
        detail::request_abort(task);
    }
}

template <typename T>
size_t TaskSet<T>::size() const {
    std::lock_guard lock(state_->mutex);
    return state_->tasks.size();
}

}  // namespace ostrel::engine::rt
