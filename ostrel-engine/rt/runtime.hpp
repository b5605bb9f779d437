#pragma once

#include <cstddef>
#include <memory>
#include <thread>
#include <vector>

#include "ostrel-engine/rt/asio.hpp"

namespace ostrel::engine::rt {

namespace detail {
struct RuntimePool;
}  // namespace detail

// A fixed set of threads, each running an io_context of its own. Work that belongs together
// (a connection, an exchange) is placed on one context with `spread` and stays on its thread:
// an operation that completes at once is then queued on that thread instead of waking another
// one, and a connection's handlers never move between cores. `executor()` is the first
// context's; engines, control and the bridge run there. The process-wide runtime is created
// on first use and lives until the process ends; tests make their own and destroy them.
class Runtime {
  public:
    // `threads` of 0 means one per processor.
    explicit Runtime(size_t threads = 0);
    // Stops the contexts and joins the threads; work still queued is abandoned.
    ~Runtime();

    Runtime(const Runtime&) = delete;
    Runtime& operator=(const Runtime&) = delete;

    asio::io_context& context() noexcept;
    asio::io_context::executor_type executor() noexcept { return context().get_executor(); }
    size_t threads() const noexcept { return threads_.size(); }

    // The runtime every engine of the process shares; never shut down.
    static Runtime& process();

  private:
    std::shared_ptr<detail::RuntimePool> pool_;
    std::vector<std::thread> threads_;
};

// The next context, in turn, of the runtime that runs `executor`; `executor` itself when it
// belongs to no runtime (an io_context a test runs by hand).
Executor spread(const Executor& executor);

// The runtime's other contexts, each once; none when `executor` belongs to no runtime.
std::vector<Executor> peers(const Executor& executor);

}  // namespace ostrel::engine::rt
