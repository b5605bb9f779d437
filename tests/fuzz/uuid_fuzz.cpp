// Phase ids: what the parser accepts holds exactly the 32 hex digits of the id it returns, and
// every id reads back from each of its written forms.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "ostrel-model/uuid.hpp"
#include "tests/fuzz/fuzz_check.hpp"

namespace ostrel::model {
namespace {

char lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string upper(std::string text) {
    for (char& c : text) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return text;
}

std::string without_hyphens(std::string_view text) {
    std::string out;
    for (char c : text) {
        if (c != '-') out += c;
    }
    return out;
}

void check_written_forms(const Uuid& id) {
    const std::string text = id.to_string();
    FUZZ_CHECK(text.size() == 36);
    for (size_t i = 0; i < text.size(); ++i) {
        const bool hyphen = i == 8 || i == 13 || i == 18 || i == 23;
        const char c = text[i];
        FUZZ_CHECK(hyphen ? c == '-' : ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')));
    }
    for (const std::string& form : {text, upper(text), "{" + text + "}", "urn:uuid:" + text,
                                    "URN:UUID:" + upper(text), without_hyphens(text)}) {
        auto back = Uuid::parse(form);
        FUZZ_CHECK(back.has_value() && *back == id);
    }
}

}  // namespace
}  // namespace ostrel::model

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace ostrel::model;
    const std::string_view text = ostrel::fuzz::as_text(data, size);

    if (auto id = Uuid::parse(text)) {
        check_written_forms(*id);
        // Whatever the form, its hex digits (all of them, in order) are the id's.
        const size_t n = text.size();
        FUZZ_CHECK(n == 32 || n == 36 || n == 38 || n == 45);
        const std::string_view body = text.substr(n == 38 ? 1 : n == 45 ? 9 : 0, n == 32 ? 32 : 36);
        std::string digits;
        for (size_t i = 0; i < body.size(); ++i) {
            const bool hyphen = n != 32 && (i == 8 || i == 13 || i == 18 || i == 23);
            FUZZ_CHECK((body[i] == '-') == hyphen);
            if (!hyphen) digits += lower(body[i]);
        }
        FUZZ_CHECK(digits == without_hyphens(id->to_string()));
        if (n == 38) FUZZ_CHECK(text.front() == '{' && text.back() == '}');
        if (n == 45) {
            std::string prefix;
            for (char c : text.substr(0, 9)) prefix += lower(c);
            FUZZ_CHECK(prefix == "urn:uuid:");
        }
    }

    // The input's first 16 bytes as an id, so the written forms see every byte value.
    Uuid raw;
    std::memcpy(raw.bytes.data(), data, size < 16 ? size : 16);
    check_written_forms(raw);
    return 0;
}
