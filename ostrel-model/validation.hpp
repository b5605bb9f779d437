#pragma once

#include <expected>
#include <span>
#include <string>
#include <string_view>

#include "ostrel-model/fault.hpp"
#include "ostrel-model/run.hpp"

namespace ostrel::model {

// Where a document goes wrong (`path`), what is wrong (`message`, a sentence) and how to fix
// it (`hint`, a sentence).
class ValidationError {
  public:
    ValidationError(std::string path, std::string message, std::string hint)
        : path_(std::move(path)), message_(std::move(message)), hint_(std::move(hint)) {}

    const std::string& path() const { return path_; }
    const std::string& message() const { return message_; }
    const std::string& hint() const { return hint_; }

    // "path: message hint"
    std::string display() const;
    // ValidationError { path: "..", message: "..", hint: ".." }
    std::string debug() const;

    bool operator==(const ValidationError&) const = default;

  private:
    std::string path_;
    std::string message_;
    std::string hint_;
};

std::expected<void, ValidationError> validate_faults_at(std::span<const FaultSpec> faults,
                                                        std::string_view base_path);

std::expected<void, ValidationError> validate_range(std::string_view path, double min_ms,
                                                    double max_ms);

}  // namespace ostrel::model
