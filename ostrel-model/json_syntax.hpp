#pragma once

// The syntactic half of the document reader: a cursor over JSON text that knows where it is,
// the error texts with their positions, and buffered values for tagged variants. The typed half
// (json_reader.cpp) drives it. Errors travel as `JsonError` exceptions inside the reader only;
// the public entry points turn them into values.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace ostrel::model::json {

struct JsonError {
    std::string message;
    // Byte offset the position is computed from; unset until the error reaches a point that
    // knows where the reader stands.
    std::optional<size_t> at;
};

[[noreturn]] void fail(std::string message);

// A value buffered before its type is known (the fields of a fault whose tag may come last).
struct Content {
    // Defined out of line: clang cannot define the implicit constructor here, because doing so
    // instantiates std::pair<std::string, Content> while Content is still incomplete.
    Content();

    enum class Type { Null, Bool, U64, I64, F64, String, Seq, Map };
    Type type = Type::Null;
    bool boolean = false;
    uint64_t u64 = 0;
    int64_t i64 = 0;
    double f64 = 0;
    std::string string;
    std::vector<Content> seq;
    std::vector<std::pair<std::string, Content>> map;
};

// "integer `5`", "string \"x\"", "map": how an unexpected value is named in type errors.
std::string unexpected(const Content& value);
[[noreturn]] void invalid_type(std::string_view unexpected, std::string_view expected);
[[noreturn]] void invalid_value(std::string_view unexpected, std::string_view expected);
[[noreturn]] void invalid_length(size_t length, std::string_view expected);
[[noreturn]] void missing_field(std::string_view field);
[[noreturn]] void duplicate_field(std::string_view field);
[[noreturn]] void unknown_field(std::string_view field, std::span<const std::string_view> expected);
[[noreturn]] void unknown_variant(std::string_view variant,
                                  std::span<const std::string_view> expected);
std::string float_text(double value);

class Cursor {
  public:
    explicit Cursor(std::string_view text) : text_(text) {}

    // Next character after white space, not consumed; none at the end.
    std::optional<char> parse_whitespace();
    void eat_char() { ++index_; }
    char peek_or_null() const { return index_ < text_.size() ? text_[index_] : '\0'; }
    bool at_end() const { return index_ >= text_.size(); }

    // Errors at the current offset, and at the character about to be read.
    JsonError error(std::string message) const { return {std::move(message), index_}; }
    JsonError peek_error(std::string message) const {
        return {std::move(message), std::min(text_.size(), index_ + 1)};
    }
    void fix_position(JsonError& error) const {
        if (!error.at) error.at = index_;
    }
    std::string position_suffix(size_t at) const;

    // Nesting is bounded so that hostile input cannot exhaust the stack.
    void enter_nested();
    void leave_nested() { ++remaining_depth_; }

    // After the opening quote; returns the decoded text, consumes the closing quote.
    std::string parse_str();
    void parse_ident(std::string_view rest);

    struct Number {
        enum class Kind { U64, I64, F64 } kind = Kind::U64;
        uint64_t u64 = 0;
        int64_t i64 = 0;
        double f64 = 0;
    };
    // After an optional '-' (already consumed when `positive` is false).
    Number parse_integer(bool positive);

    // The value at the cursor as buffered content.
    Content parse_content();
    // An invalid-type error for the value at the cursor, consuming scalars to name them.
    JsonError peek_invalid_type(std::string_view expected);

    // Closing a sequence or map; may consume a separator even when it reports an error.
    void end_seq();
    void end_map();
    // Between a key and its value.
    void parse_object_colon();
    // Trailing characters after the top-level value.
    void end();

    // Seq and map access: position on the next element or key; false at the end.
    bool next_element(bool& first);
    // Returns false at the end of the map; otherwise the cursor is on the key's opening quote.
    bool next_key(bool& first);

  private:
    std::string_view text_;
    size_t index_ = 0;
    int remaining_depth_ = 128;
};

std::string number_unexpected(const Cursor::Number& number);

}  // namespace ostrel::model::json
