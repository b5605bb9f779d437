#include "ostrel-engine/rt/runtime.hpp"

#include <algorithm>

namespace ostrel::engine::rt {

Runtime::Runtime(size_t threads) : work_(asio::make_work_guard(context_)) {
    if (threads == 0) {
        threads = std::max<size_t>(1, std::thread::hardware_concurrency());
    }
    threads_.reserve(threads);
    for (size_t i = 0; i < threads; ++i) {
        threads_.emplace_back([this] {
            // A handler that throws must not take the thread down with it; run() picks up
            // where it left off.
            for (;;) {
                try {
                    context_.run();
                    return;
                } catch (...) {
                }
            }
        });
    }
}

Runtime::~Runtime() {
    work_.reset();
    context_.stop();
    for (auto& thread : threads_) {
        thread.join();
    }
}

Runtime& Runtime::process() {
    // Leaked on purpose: its threads may still be running handlers while static objects are
    // destroyed at exit, so it must never be torn down.
    static Runtime* const runtime = new Runtime();
    return *runtime;
}

}  // namespace ostrel::engine::rt
