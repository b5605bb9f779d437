#include "ostrel-model/json_writer.hpp"

#include <charconv>

#include "ostrel-model/text.hpp"

namespace ostrel::model {

void append_json_string(std::string& out, std::string_view value) {
    static constexpr char kHex[] = "0123456789abcdef";
    out.push_back('"');
    for (char ch : value) {
        auto byte = static_cast<unsigned char>(ch);
        switch (ch) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\b':
                out += "\\b";
                break;
            case '\f':
                out += "\\f";
                break;
            default:
                if (byte < 0x20) {
                    out += "\\u00";
                    out.push_back(kHex[byte >> 4]);
                    out.push_back(kHex[byte & 0xf]);
                } else {
                    out.push_back(ch);
                }
        }
    }
    out.push_back('"');
}

void JsonWriter::before_value() {
    if (after_key_) {
        after_key_ = false;
        return;
    }
    if (!has_items_.empty()) {
        if (has_items_.back()) out_.push_back(',');
        has_items_.back() = true;
    }
}

JsonWriter& JsonWriter::begin_object() {
    before_value();
    out_.push_back('{');
    has_items_.push_back(false);
    return *this;
}

JsonWriter& JsonWriter::end_object() {
    out_.push_back('}');
    has_items_.pop_back();
    return *this;
}

JsonWriter& JsonWriter::begin_array() {
    before_value();
    out_.push_back('[');
    has_items_.push_back(false);
    return *this;
}

JsonWriter& JsonWriter::end_array() {
    out_.push_back(']');
    has_items_.pop_back();
    return *this;
}

JsonWriter& JsonWriter::key(std::string_view name) {
    before_value();
    append_json_string(out_, name);
    out_.push_back(':');
    after_key_ = true;
    return *this;
}

JsonWriter& JsonWriter::string(std::string_view value) {
    before_value();
    append_json_string(out_, value);
    return *this;
}

JsonWriter& JsonWriter::uint(uint64_t value) {
    before_value();
    char buf[24];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value);
    out_.append(buf, end);
    return *this;
}

JsonWriter& JsonWriter::integer(int64_t value) {
    before_value();
    char buf[24];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value);
    out_.append(buf, end);
    return *this;
}

JsonWriter& JsonWriter::number(double value) {
    before_value();
    out_ += format_json_number(value);
    return *this;
}

JsonWriter& JsonWriter::boolean(bool value) {
    before_value();
    out_ += value ? "true" : "false";
    return *this;
}

JsonWriter& JsonWriter::null() {
    before_value();
    out_ += "null";
    return *this;
}

JsonWriter& JsonWriter::raw(std::string_view json) {
    before_value();
    out_ += json;
    return *this;
}

void write_timestamp(JsonWriter& out, const std::optional<Timestamp>& at) {
    if (at) {
        out.string(at->to_rfc3339());
    } else {
        out.null();
    }
}

}  // namespace ostrel::model
