#pragma once

#include <cstddef>
#include <memory>
#include <thread>
#include <vector>

#include "ostrel-engine/rt/asio.hpp"

namespace ostrel::engine::rt {

// One io_context run by a fixed set of threads. The process-wide runtime is created on first
// use and lives until the process ends; tests make their own and destroy them.
class Runtime {
  public:
    // `threads` of 0 means one per processor.
    explicit Runtime(size_t threads = 0);
    // Stops the context and joins the threads; work still queued is abandoned.
    ~Runtime();

    Runtime(const Runtime&) = delete;
    Runtime& operator=(const Runtime&) = delete;

    asio::io_context& context() noexcept { return context_; }
    asio::io_context::executor_type executor() noexcept { return context_.get_executor(); }
    size_t threads() const noexcept { return threads_.size(); }

    // The runtime every engine of the process shares; never shut down.
    static Runtime& process();

  private:
    asio::io_context context_;
    asio::executor_work_guard<asio::io_context::executor_type> work_;
    std::vector<std::thread> threads_;
};

}  // namespace ostrel::engine::rt
