#pragma once

// The waiting machinery shared by the primitives with waiters (mutex, queue, one-shot,
// broadcast): a list of suspended operations guarded by the primitive's own std::mutex, each
// completed on its handler's executor and each removable by its cancellation slot.

#include <atomic>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <system_error>
#include <tuple>
#include <utility>
#include <vector>

#include "ostrel-engine/rt/asio.hpp"

namespace ostrel::engine::rt::detail {

template <typename... Args>
class WaiterList;

// One suspended operation completing with (error_code, Args...). While linked into its list,
// the list owns it; whoever unlinks it (a wake-up or the cancellation slot) completes it, with
// no lock held.
template <typename... Args>
class Waiter {
  public:
    virtual ~Waiter() = default;
    // Posts the completion to the handler's associated executor.
    virtual void complete(std::error_code ec, Args... args) = 0;

  protected:
    // Set when cancellation arrives after the waiter was unlinked but before its handler ran:
    // the handler then reports operation_aborted and the results it was given (a lock, a
    // reserved slot) are dropped, which passes them on.
    std::atomic<bool> cancelled_late_{false};

  private:
    friend class WaiterList<Args...>;
    template <typename...>
    friend struct CancelWaiter;

    typename std::list<std::shared_ptr<Waiter>>::iterator position_;
    bool linked_ = false;
};

// Waiters in arrival order. Every member except mutex() requires the caller to hold mutex().
template <typename... Args>
class WaiterList {
  public:
    using Node = Waiter<Args...>;

    explicit WaiterList(std::mutex& mutex) : mutex_(mutex) {}
    WaiterList(const WaiterList&) = delete;
    WaiterList& operator=(const WaiterList&) = delete;

    std::mutex& mutex() const { return mutex_; }
    bool empty() const { return list_.empty(); }

    void push(std::shared_ptr<Node> node) {
        Node& linked = *node;
        linked.position_ = list_.insert(list_.end(), std::move(node));
        linked.linked_ = true;
    }

    std::shared_ptr<Node> pop() {
        if (list_.empty()) return nullptr;
        return unlink(*list_.front());
    }

    std::vector<std::shared_ptr<Node>> take_all() {
        std::vector<std::shared_ptr<Node>> all;
        all.reserve(list_.size());
        while (!list_.empty()) all.push_back(pop());
        return all;
    }

    // Null when the node is no longer linked (someone else already took it).
    std::shared_ptr<Node> remove(Node& node) {
        if (!node.linked_) return nullptr;
        return unlink(node);
    }

  private:
    std::shared_ptr<Node> unlink(Node& node) {
        std::shared_ptr<Node> owned = std::move(*node.position_);
        list_.erase(node.position_);
        node.linked_ = false;
        return owned;
    }

    std::mutex& mutex_;
    std::list<std::shared_ptr<Node>> list_;
};

// Completes every waiter in `nodes` with success; call with no lock held.
template <typename... Args>
void wake_all(std::vector<std::shared_ptr<Waiter<Args...>>> nodes) {
    for (auto& node : nodes) node->complete({});
}

// Installed in the operation's cancellation slot. It only holds weak references: the slot
// lives in the awaiting coroutine, which the handler inside the waiter keeps alive.
template <typename... Args>
struct CancelWaiter {
    std::weak_ptr<WaiterList<Args...>> list;
    std::weak_ptr<Waiter<Args...>> node;

    void operator()(asio::cancellation_type type) {
        if (type == asio::cancellation_type::none) return;
        auto waiter = node.lock();
        if (!waiter) return;
        auto owner = list.lock();
        if (!owner) {
            waiter->cancelled_late_.store(true, std::memory_order_relaxed);
            return;
        }
        std::unique_lock lock(owner->mutex());
        if (auto unlinked = owner->remove(*waiter)) {
            lock.unlock();
            unlinked->complete(asio::error::operation_aborted, Args{}...);
        } else {
            waiter->cancelled_late_.store(true, std::memory_order_relaxed);
        }
    }
};

template <typename Handler, typename... Args>
class HandlerWaiter final : public Waiter<Args...>,
                            public std::enable_shared_from_this<HandlerWaiter<Handler, Args...>> {
  public:
    explicit HandlerWaiter(Handler handler)
        : handler_(std::move(handler)),
          executor_(asio::get_associated_executor(handler_)),
          work_(asio::prefer(executor_, asio::execution::outstanding_work.tracked)),
          slot_(asio::get_associated_cancellation_slot(handler_)) {}

    void complete(std::error_code ec, Args... args) override {
        asio::post(executor_,
                   [self = this->shared_from_this(), ec, ... args = std::move(args)]() mutable {
                       self->finish(ec, std::move(args)...);
                   });
    }

    // Called once, by the initiating code, before the node becomes visible to other threads.
    void arm(const std::shared_ptr<WaiterList<Args...>>& list) {
        if (!slot_.is_connected()) return;
        slot_.template emplace<CancelWaiter<Args...>>(
            CancelWaiter<Args...>{list, this->shared_from_this()});
        armed_ = true;
    }

  private:
    // Runs on the handler's executor, the same place its cancellation signal is emitted from,
    // so clearing the slot here cannot race an emission.
    void finish(std::error_code ec, Args... args) {
        if (armed_) slot_.clear();
        Handler handler = std::move(handler_);
        if (!ec && this->cancelled_late_.load(std::memory_order_relaxed)) {
            // Drop the results before resuming the handler so that a lock or slot reaches the
            // next waiter first.
            { [[maybe_unused]] std::tuple<Args...> dropped(std::move(args)...); }
            std::move(handler)(std::error_code(asio::error::operation_aborted), Args{}...);
            return;
        }
        std::move(handler)(ec, std::move(args)...);
    }

    using HandlerExecutor = asio::associated_executor_t<Handler>;
    using Work = std::decay_t<decltype(asio::prefer(std::declval<const HandlerExecutor&>(),
                                                    asio::execution::outstanding_work.tracked))>;

    Handler handler_;
    HandlerExecutor executor_;
    Work work_;  // keeps the executor's context running while the operation waits
    asio::cancellation_slot slot_;
    bool armed_ = false;
};

// Starts an operation completing with (error_code, Args...). `ready` runs under the list's
// mutex and returns the results when the operation can complete at once; otherwise the
// operation waits in `list` until someone unlinks and completes it, or its cancellation slot
// fires. `list` normally aliases the primitive's state, keeping it alive while waiting.
// Callers build `ready` and the operation as named locals before co_await: g++ 12 destroys the
// captures of a lambda temporary inside a co_await expression twice.
template <typename Token, typename Ready, typename... Args>
auto async_wait(std::shared_ptr<WaiterList<Args...>> list, Ready ready, Token&& token) {
    return asio::async_initiate<Token, void(std::error_code, Args...)>(
        [](auto handler, std::shared_ptr<WaiterList<Args...>> list, Ready ready) {
            using Node = HandlerWaiter<std::decay_t<decltype(handler)>, Args...>;
            auto node = std::make_shared<Node>(std::move(handler));
            std::unique_lock lock(list->mutex());
            std::optional<std::tuple<Args...>> results = ready();
            if (results) {
                lock.unlock();
                std::apply([&](Args&... args) { node->complete({}, std::move(args)...); },
                           *results);
                return;
            }
            node->arm(list);
            list->push(std::move(node));
        },
        token, std::move(list), std::move(ready));
}

}  // namespace ostrel::engine::rt::detail
