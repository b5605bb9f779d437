#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ostrel-model/timestamp.hpp"

namespace ostrel::model {

// Compact JSON writer: no white space, separators placed automatically, keys written in the
// order the caller gives them.
class JsonWriter {
  public:
    JsonWriter& begin_object();
    JsonWriter& end_object();
    JsonWriter& begin_array();
    JsonWriter& end_array();
    JsonWriter& key(std::string_view name);

    JsonWriter& string(std::string_view value);
    JsonWriter& uint(uint64_t value);
    JsonWriter& integer(int64_t value);
    // Shortest round-trip form with a fractional part when whole; null when not finite.
    JsonWriter& number(double value);
    JsonWriter& boolean(bool value);
    JsonWriter& null();
    // Inserts text that is already JSON as one value.
    JsonWriter& raw(std::string_view json);

    const std::string& str() const { return out_; }
    std::string take() { return std::move(out_); }

  private:
    void before_value();

    std::string out_;
    // One entry per open container: whether it holds a value yet.
    std::vector<bool> has_items_;
    bool after_key_ = false;
};

// An RFC 3339 timestamp string, or null when absent.
void write_timestamp(JsonWriter& out, const std::optional<Timestamp>& at);

// Appends `value` as a JSON string literal (quotes included).
void append_json_string(std::string& out, std::string_view value);

}  // namespace ostrel::model
