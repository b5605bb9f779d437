// Every input goes to all three document readers. Accepted documents must survive validation and
// write back to JSON that reads to the same value; refusals must carry a position that exists in
// the input.

#include <cctype>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "ostrel-model/duration.hpp"
#include "ostrel-model/json_reader.hpp"
#include "ostrel-model/run.hpp"
#include "ostrel-model/validation.hpp"
#include "tests/fuzz/fuzz_check.hpp"

namespace ostrel::model {
namespace {

size_t read_number(std::string_view text, size_t& at) {
    const size_t start = at;
    size_t value = 0;
    while (at < text.size() && std::isdigit(static_cast<unsigned char>(text[at]))) {
        FUZZ_CHECK(value < SIZE_MAX / 10);
        value = value * 10 + static_cast<size_t>(text[at] - '0');
        ++at;
    }
    FUZZ_CHECK(at > start);
    return value;
}

// The error ends with " at line L column C", and some offset of the input is at that line and
// column: lines count from 1, columns count the bytes before the offset on its line.
void check_refusal(std::string_view input, const std::string& error) {
    constexpr std::string_view kLine = " at line ";
    constexpr std::string_view kColumn = " column ";
    const size_t suffix = error.rfind(kLine);
    FUZZ_CHECK(suffix != std::string::npos && suffix > 0);
    size_t at = suffix + kLine.size();
    const size_t line = read_number(error, at);
    FUZZ_CHECK(error.compare(at, kColumn.size(), kColumn) == 0);
    at += kColumn.size();
    const size_t column = read_number(error, at);
    FUZZ_CHECK(at == error.size());

    std::vector<size_t> line_lengths{0};
    for (char c : input) {
        if (c == '\n')
            line_lengths.push_back(0);
        else
            ++line_lengths.back();
    }
    FUZZ_CHECK(line >= 1 && line <= line_lengths.size());
    FUZZ_CHECK(column <= line_lengths[line - 1]);
}

void check_faults_round_trip(const std::vector<FaultSpec>& faults) {
    const std::string written = write_faults(faults);
    auto again = read_fault_list(written);
    FUZZ_CHECK(again.has_value());
    FUZZ_CHECK(*again == faults);
    FUZZ_CHECK(write_faults(*again) == written);
}

void check_entries_round_trip(const std::vector<ProxyFaults>& entries) {
    const std::string written = write_proxy_faults(entries);
    auto again = read_proxy_faults(written);
    FUZZ_CHECK(again.has_value());
    FUZZ_CHECK(*again == entries);
    FUZZ_CHECK(write_proxy_faults(*again) == written);
    for (const ProxyFaults& entry : entries) check_faults_round_trip(entry.faults);
}

void check_error_shape(const ValidationError& error) {
    FUZZ_CHECK(!error.path().empty());
    FUZZ_CHECK(!error.message().empty() && error.message().back() == '.');
    FUZZ_CHECK(!error.hint().empty() && error.hint().back() == '.');
    FUZZ_CHECK(error.display() == error.path() + ": " + error.message() + " " + error.hint());
}

void check_run(const Run& run) {
    for (const Phase& phase : run.phases) {
        if (phase.duration) {
            auto parsed = parse_duration(phase.duration->text());
            FUZZ_CHECK(parsed.has_value());
            FUZZ_CHECK(*parsed == phase.duration->as_std());
            FUZZ_CHECK(!parsed->is_zero());
        }
        check_entries_round_trip(phase.proxies);
    }

    auto valid = run.validate();
    if (!valid) check_error_shape(valid.error());
    // The run's checks include each fault list's, so a bad list cannot hide in a valid run.
    for (size_t i = 0; i < run.phases.size(); ++i) {
        const auto& entries = run.phases[i].proxies;
        for (size_t j = 0; j < entries.size(); ++j) {
            const std::string base =
                "phases[" + std::to_string(i) + "].proxies[" + std::to_string(j) + "].faults";
            auto faults_valid = validate_faults_at(entries[j].faults, base);
            if (!faults_valid) {
                check_error_shape(faults_valid.error());
                FUZZ_CHECK(faults_valid.error().path().starts_with(base + "["));
                FUZZ_CHECK(!valid.has_value());
            }
        }
    }
}

}  // namespace
}  // namespace ostrel::model

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace ostrel::model;
    const std::string_view input = ostrel::fuzz::as_text(data, size);

    if (auto run = read_run(input))
        check_run(*run);
    else
        check_refusal(input, run.error());

    if (auto faults = read_fault_list(input)) {
        check_faults_round_trip(*faults);
        auto valid = validate_faults_at(*faults, "faults");
        if (!valid) check_error_shape(valid.error());
    } else {
        check_refusal(input, faults.error());
    }

    if (auto entries = read_proxy_faults(input))
        check_entries_round_trip(*entries);
    else
        check_refusal(input, entries.error());
    return 0;
}
