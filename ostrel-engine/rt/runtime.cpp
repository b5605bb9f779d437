#include "ostrel-engine/rt/runtime.hpp"

#include <algorithm>
#include <atomic>

namespace ostrel::engine::rt {

namespace detail {

// An io_context run by exactly one thread: the concurrency hint lets it keep completions that
// are ready at once on that thread's private queue.
class RuntimeContext : public asio::io_context {
  public:
    RuntimeContext() : asio::io_context(1), work_(asio::make_work_guard(*this)) {}
    void release() { work_.reset(); }
    // Destroys the queued handlers while every context still exists: a handler of one context
    // may own sockets and timers of another.
    void abandon() { shutdown(); }

  private:
    asio::executor_work_guard<asio::io_context::executor_type> work_;
};

struct RuntimePool {
    std::vector<std::unique_ptr<RuntimeContext>> contexts;
    mutable std::atomic<size_t> next{0};

    Executor take() const {
        const size_t turn = next.fetch_add(1, std::memory_order_relaxed);
        return contexts[turn % contexts.size()]->get_executor();
    }

    std::vector<Executor> others(const asio::execution_context& self) const {
        std::vector<Executor> result;
        for (const auto& context : contexts) {
            if (context.get() != &self) result.push_back(context->get_executor());
        }
        return result;
    }
};

}  // namespace detail

namespace {

// Found in each context of a runtime: the way from an executor back to its pool.
class PoolService : public asio::execution_context::service {
  public:
    static inline asio::execution_context::id id;

    explicit PoolService(asio::execution_context& owner)
        : asio::execution_context::service(owner) {}
    PoolService(asio::execution_context& owner, const detail::RuntimePool* pool)
        : asio::execution_context::service(owner), pool_(pool) {}

    const detail::RuntimePool* pool() const { return pool_; }

  private:
    void shutdown() override {}
    const detail::RuntimePool* pool_ = nullptr;
};

// The pool of the runtime that runs `executor`, if any.
const detail::RuntimePool* pool_of(const Executor& executor) {
    auto& context = asio::query(executor, asio::execution::context);
    if (!asio::has_service<PoolService>(context)) return nullptr;
    return asio::use_service<PoolService>(context).pool();
}

}  // namespace

Runtime::Runtime(size_t threads) : pool_(std::make_shared<detail::RuntimePool>()) {
    if (threads == 0) {
        threads = std::max<size_t>(1, std::thread::hardware_concurrency());
    }
    pool_->contexts.reserve(threads);
    for (size_t i = 0; i < threads; ++i) {
        auto& context = *pool_->contexts.emplace_back(std::make_unique<detail::RuntimeContext>());
        // The pool outlives the services: they are destroyed with the contexts it owns.
        asio::make_service<PoolService>(context,
                                        static_cast<const detail::RuntimePool*>(pool_.get()));
    }
    threads_.reserve(threads);
    for (size_t i = 0; i < threads; ++i) {
        threads_.emplace_back([context = pool_->contexts[i].get()] {
            // A handler that throws must not take the thread down with it; run() picks up
            // where it left off.
            for (;;) {
                try {
                    context->run();
                    return;
                } catch (...) {
                }
            }
        });
    }
}

Runtime::~Runtime() {
    for (auto& context : pool_->contexts) {
        context->release();
        context->stop();
    }
    for (auto& thread : threads_) {
        thread.join();
    }
    for (auto& context : pool_->contexts) {
        context->abandon();
    }
}

asio::io_context& Runtime::context() noexcept {
    return *pool_->contexts.front();
}

Runtime& Runtime::process() {
    // Leaked on purpose: its threads may still be running handlers while static objects are
    // destroyed at exit, so it must never be torn down.
    static Runtime* const runtime = new Runtime();
    return *runtime;
}

Executor spread(const Executor& executor) {
    const detail::RuntimePool* pool = pool_of(executor);
    return pool ? pool->take() : executor;
}

std::vector<Executor> peers(const Executor& executor) {
    const detail::RuntimePool* pool = pool_of(executor);
    if (!pool) return {};
    return pool->others(asio::query(executor, asio::execution::context));
}

}  // namespace ostrel::engine::rt
