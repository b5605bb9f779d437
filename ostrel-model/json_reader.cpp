#include "ostrel-model/json_reader.hpp"

#include <array>
#include <functional>

#include "ostrel-model/json_syntax.hpp"

namespace ostrel::model {

using json::Content;
using json::Cursor;
using json::JsonError;

namespace {

using Fields = std::span<const std::string_view>;

constexpr std::array<std::string_view, 4> kRunFields{"schema_version", "name", "proxies", "phases"};
constexpr std::array<std::string_view, 4> kProxyFields{"name", "protocol", "listen", "upstream"};
constexpr std::array<std::string_view, 3> kPhaseFields{"name", "duration", "proxies"};
constexpr std::array<std::string_view, 2> kProxyFaultsFields{"proxy", "faults"};

constexpr std::array<std::string_view, 2> kProtocolTags{"tcp", "udp"};
constexpr std::array<std::string_view, 3> kFlowTags{"to-upstream", "to-client", "both"};
constexpr std::array<std::string_view, 8> kDnsCaseTags{"delay",        "timeout",   "truncated",
                                                       "refused",      "serv-fail", "nx-domain",
                                                       "empty-answer", "random-a"};
constexpr std::array<std::string_view, 6> kFaultTags{"latency",   "jitter",           "bandwidth",
                                                     "blackhole", "connection-reset", "dns"};
constexpr std::array<std::string_view, 4> kDistributionTags{"normal", "pareto", "pareto-normal",
                                                            "uniform"};

// Fields of each fault variant, in declared order (the tag is not one of them).
constexpr std::array<std::string_view, 2> kLatencyFields{"flow", "distribution"};
constexpr std::array<std::string_view, 4> kJitterFields{"flow", "min_delay_ms", "max_delay_ms",
                                                        "probability"};
constexpr std::array<std::string_view, 2> kBandwidthFields{"flow", "bytes_per_second"};
constexpr std::array<std::string_view, 1> kBlackholeFields{"flow"};
constexpr std::array<std::string_view, 2> kConnectionResetFields{"flow", "probability"};
constexpr std::array<std::string_view, 2> kDnsFields{"case", "delay_ms"};
constexpr std::array<Fields, 6> kFaultFields{kLatencyFields,         kJitterFields,
                                             kBandwidthFields,       kBlackholeFields,
                                             kConnectionResetFields, kDnsFields};
constexpr std::array<std::string_view, 6> kFaultVariantNames{
    "Latency", "Jitter", "Bandwidth", "Blackhole", "ConnectionReset", "Dns"};

constexpr std::array<std::string_view, 2> kNormalFields{"mean_ms", "stddev_ms"};
constexpr std::array<std::string_view, 2> kParetoFields{"shape", "scale_ms"};
constexpr std::array<std::string_view, 4> kParetoNormalFields{"pareto_shape", "pareto_scale_ms",
                                                              "normal_mean_ms", "normal_stddev_ms"};
constexpr std::array<std::string_view, 2> kUniformFields{"min_ms", "max_ms"};
constexpr std::array<Fields, 4> kDistributionFields{kNormalFields, kParetoFields,
                                                    kParetoNormalFields, kUniformFields};
constexpr std::array<std::string_view, 4> kDistributionVariantNames{"Normal", "Pareto",
                                                                    "ParetoNormal", "Uniform"};

size_t find_name(Fields names, std::string_view name) {
    for (size_t i = 0; i < names.size(); ++i) {
        if (names[i] == name) return i;
    }
    return names.size();
}

std::string struct_length(std::string_view expecting, size_t fields) {
    return std::string(expecting) + " with " + std::to_string(fields) +
           (fields == 1 ? " element" : " elements");
}

// ---------------------------------------------------------------------------------------------
// Values buffered in a fault object. Errors here carry no position; the enclosing list gives
// them the position where it stands once the fault has been read.

double content_f64(const Content& value) {
    switch (value.type) {
        case Content::Type::U64:
            return static_cast<double>(value.u64);
        case Content::Type::I64:
            return static_cast<double>(value.i64);
        case Content::Type::F64:
            return value.f64;
        default:
            json::invalid_type(json::unexpected(value), "f64");
    }
}

uint64_t content_u64(const Content& value) {
    switch (value.type) {
        case Content::Type::U64:
            return value.u64;
        case Content::Type::I64:
            if (value.i64 >= 0) return static_cast<uint64_t>(value.i64);
            json::invalid_value(json::unexpected(value), "u64");
        default:
            json::invalid_type(json::unexpected(value), "u64");
    }
}

// A variant name read from a buffered string, or (as generated deserializers allow) its index.
size_t content_variant(const Content& value, Fields tags) {
    if (value.type == Content::Type::String) {
        size_t index = find_name(tags, value.string);
        if (index == tags.size()) json::unknown_variant(value.string, tags);
        return index;
    }
    if (value.type == Content::Type::U64) {
        if (value.u64 < tags.size()) return value.u64;
        json::invalid_value(json::unexpected(value),
                            "variant index 0 <= i < " + std::to_string(tags.size()));
    }
    json::invalid_type(json::unexpected(value), "variant identifier");
}

// A unit-only enumeration: "both", or {"both": null}.
size_t content_unit_enum(const Content& value, Fields tags) {
    if (value.type == Content::Type::Map) {
        if (value.map.size() != 1) json::invalid_value("map", "map with a single key");
        const auto& [name, inner] = value.map.front();
        size_t index = find_name(tags, name);
        if (index == tags.size()) json::unknown_variant(name, tags);
        bool unit = inner.type == Content::Type::Null ||
                    (inner.type == Content::Type::Seq && inner.seq.empty());
        if (!unit) json::invalid_type(json::unexpected(inner), "unit");
        return index;
    }
    if (value.type == Content::Type::String) {
        size_t index = find_name(tags, value.string);
        if (index == tags.size()) json::unknown_variant(value.string, tags);
        return index;
    }
    json::invalid_type(json::unexpected(value), "string or map");
}

// Visits the fields of a struct variant held in buffered content, as a map or as an array
// in declared order; `read(field, value)` stores one field. Returns which fields were seen.
std::vector<bool> content_struct(const Content& value, std::string_view expecting, Fields fields,
                                 const std::function<void(size_t, const Content&)>& read) {
    std::vector<bool> seen(fields.size(), false);
    if (value.type == Content::Type::Map) {
        for (const auto& [key, inner] : value.map) {
            size_t index = find_name(fields, key);
            if (index == fields.size()) json::unknown_field(key, fields);
            if (seen[index]) json::duplicate_field(fields[index]);
            read(index, inner);
            seen[index] = true;
        }
        return seen;
    }
    if (value.type == Content::Type::Seq) {
        for (size_t i = 0; i < fields.size(); ++i) {
            if (i >= value.seq.size())
                json::invalid_length(i, struct_length(expecting, fields.size()));
            read(i, value.seq[i]);
            seen[i] = true;
        }
        if (value.seq.size() > fields.size()) {
            json::invalid_length(
                value.seq.size(),
                std::to_string(fields.size()) +
                    (fields.size() == 1 ? " element in sequence" : " elements in sequence"));
        }
        return seen;
    }
    json::invalid_type(json::unexpected(value), expecting);
}

void require_all(const std::vector<bool>& seen, Fields fields, size_t optional = SIZE_MAX) {
    for (size_t i = 0; i < fields.size(); ++i) {
        if (!seen[i] && i != optional) json::missing_field(fields[i]);
    }
}

TrafficFlow content_flow(const Content& value) {
    return static_cast<TrafficFlow>(content_unit_enum(value, kFlowTags));
}

DelayDistribution distribution_variant(size_t tag, const Content& fields) {
    std::string expecting =
        "struct variant DelayDistribution::" + std::string(kDistributionVariantNames[tag]);
    std::array<double, 4> values{};
    auto seen = content_struct(fields, expecting, kDistributionFields[tag],
                               [&](size_t i, const Content& v) { values[i] = content_f64(v); });
    require_all(seen, kDistributionFields[tag]);
    switch (tag) {
        case 0:
            return {DelayDistribution::Normal{values[0], values[1]}};
        case 1:
            return {DelayDistribution::Pareto{values[0], values[1]}};
        case 2:
            return {DelayDistribution::ParetoNormal{values[0], values[1], values[2], values[3]}};
        default:
            return {DelayDistribution::Uniform{values[0], values[1]}};
    }
}

// The tag of a buffered tagged variant, and the rest of its content.
std::pair<size_t, Content> content_tagged(const Content& value, Fields tags,
                                          std::string_view expecting) {
    if (value.type == Content::Type::Map) {
        std::optional<size_t> tag;
        Content rest;
        rest.type = Content::Type::Map;
        for (const auto& [key, inner] : value.map) {
            if (key == "type") {
                if (tag) json::duplicate_field("type");
                tag = content_variant(inner, tags);
            } else {
                rest.map.emplace_back(key, inner);
            }
        }
        if (!tag) json::missing_field("type");
        return {*tag, std::move(rest)};
    }
    if (value.type == Content::Type::Seq) {
        if (value.seq.empty()) json::missing_field("type");
        size_t tag = content_variant(value.seq.front(), tags);
        Content rest;
        rest.type = Content::Type::Seq;
        rest.seq.assign(value.seq.begin() + 1, value.seq.end());
        return {tag, std::move(rest)};
    }
    json::invalid_type(json::unexpected(value), expecting);
}

DelayDistribution content_distribution(const Content& value) {
    auto [tag, rest] =
        content_tagged(value, kDistributionTags, "internally tagged enum DelayDistribution");
    return distribution_variant(tag, rest);
}

FaultSpec fault_variant(size_t tag, const Content& fields) {
    std::string expecting = "struct variant FaultSpec::" + std::string(kFaultVariantNames[tag]);
    Fields names = kFaultFields[tag];
    FaultSpec fault;
    switch (tag) {
        case 0: {
            FaultSpec::Latency f;
            auto seen = content_struct(fields, expecting, names, [&](size_t i, const Content& v) {
                if (i == 0)
                    f.flow = content_flow(v);
                else
                    f.distribution = content_distribution(v);
            });
            require_all(seen, names);
            fault.kind = f;
            break;
        }
        case 1: {
            FaultSpec::Jitter f;
            auto seen = content_struct(fields, expecting, names, [&](size_t i, const Content& v) {
                if (i == 0)
                    f.flow = content_flow(v);
                else if (i == 1)
                    f.min_delay_ms = content_f64(v);
                else if (i == 2)
                    f.max_delay_ms = content_f64(v);
                else
                    f.probability = content_f64(v);
            });
            require_all(seen, names);
            fault.kind = f;
            break;
        }
        case 2: {
            FaultSpec::Bandwidth f;
            auto seen = content_struct(fields, expecting, names, [&](size_t i, const Content& v) {
                if (i == 0)
                    f.flow = content_flow(v);
                else
                    f.bytes_per_second = content_u64(v);
            });
            require_all(seen, names);
            fault.kind = f;
            break;
        }
        case 3: {
            FaultSpec::Blackhole f;
            auto seen = content_struct(fields, expecting, names,
                                       [&](size_t, const Content& v) { f.flow = content_flow(v); });
            require_all(seen, names);
            fault.kind = f;
            break;
        }
        case 4: {
            FaultSpec::ConnectionReset f;
            auto seen = content_struct(fields, expecting, names, [&](size_t i, const Content& v) {
                if (i == 0)
                    f.flow = content_flow(v);
                else
                    f.probability = content_f64(v);
            });
            require_all(seen, names);
            fault.kind = f;
            break;
        }
        default: {
            FaultSpec::Dns f;
            auto seen = content_struct(fields, expecting, names, [&](size_t i, const Content& v) {
                if (i == 0) {
                    f.dns_case = static_cast<DnsCase>(content_unit_enum(v, kDnsCaseTags));
                } else if (v.type != Content::Type::Null) {
                    f.delay_ms = content_u64(v);
                }
            });
            require_all(seen, names, /*optional=*/1);
            fault.kind = f;
            break;
        }
    }
    return fault;
}

// ---------------------------------------------------------------------------------------------
// Typed reading straight from the text.

class Reader {
  public:
    explicit Reader(std::string_view text) : cursor_(text) {}

    template <typename T>
    std::expected<T, std::string> top_level(T (Reader::*read)()) {
        try {
            T value = (this->*read)();
            cursor_.end();
            return value;
        } catch (JsonError& e) {
            cursor_.fix_position(e);
            return std::unexpected(e.message + cursor_.position_suffix(*e.at));
        }
    }

    Run run() {
        Run run;
        read_struct("struct Run", kRunFields, SIZE_MAX, [&](size_t i) {
            switch (i) {
                case 0:
                    run.schema_version = static_cast<uint32_t>(unsigned_int("u32", UINT32_MAX));
                    break;
                case 1:
                    run.name = string();
                    break;
                case 2:
                    run.proxies = seq<Proxy>(&Reader::proxy);
                    break;
                default:
                    run.phases = seq<Phase>(&Reader::phase);
                    break;
            }
        });
        return run;
    }

    std::vector<FaultSpec> fault_list() { return seq<FaultSpec>(&Reader::fault); }
    std::vector<ProxyFaults> proxy_faults_list() { return seq<ProxyFaults>(&Reader::proxy_faults); }

  private:
    // Runs `body` and gives an error without a position the one where the cursor then stands.
    template <typename F>
    auto positioned(F&& body) {
        try {
            return body();
        } catch (JsonError& e) {
            cursor_.fix_position(e);
            throw;
        }
    }

    // Runs the body of a container, then closes it even if the body failed: closing may
    // consume a separator, which moves the position a failure is reported at.
    template <typename F>
    void container(F&& body, void (Cursor::*close)()) {
        cursor_.enter_nested();
        cursor_.eat_char();
        std::optional<JsonError> failure;
        try {
            body();
        } catch (JsonError& e) {
            failure = std::move(e);
        }
        cursor_.leave_nested();
        try {
            (cursor_.*close)();
        } catch (JsonError& e) {
            if (!failure) failure = std::move(e);
        }
        if (failure) throw *failure;
    }

    char peek_value() {
        auto peek = cursor_.parse_whitespace();
        if (!peek) throw cursor_.peek_error("EOF while parsing a value");
        return *peek;
    }

    std::string string() {
        char peek = peek_value();
        return positioned([&] {
            if (peek != '"') throw cursor_.peek_invalid_type("a string");
            cursor_.eat_char();
            return cursor_.parse_str();
        });
    }

    Cursor::Number number(std::string_view expecting) {
        char peek = peek_value();
        if (peek == '-') {
            cursor_.eat_char();
            return cursor_.parse_integer(false);
        }
        if (peek >= '0' && peek <= '9') return cursor_.parse_integer(true);
        throw cursor_.peek_invalid_type(expecting);
    }

    uint64_t unsigned_int(std::string_view expecting, uint64_t max) {
        return positioned([&]() -> uint64_t {
            Cursor::Number n = number(expecting);
            switch (n.kind) {
                case Cursor::Number::Kind::U64:
                    if (n.u64 <= max) return n.u64;
                    json::invalid_value(json::number_unexpected(n), expecting);
                case Cursor::Number::Kind::I64:
                    json::invalid_value(json::number_unexpected(n), expecting);
                case Cursor::Number::Kind::F64:
                    json::invalid_type(json::number_unexpected(n), expecting);
            }
            return 0;
        });
    }

    template <typename T>
    std::vector<T> seq(T (Reader::*element)()) {
        char peek = peek_value();
        std::vector<T> items;
        positioned([&] {
            if (peek != '[') throw cursor_.peek_invalid_type("a sequence");
            container(
                [&] {
                    bool first = true;
                    while (cursor_.next_element(first)) items.push_back((this->*element)());
                },
                &Cursor::end_seq);
        });
        return items;
    }

    // A record as an object (any key order, unknown and duplicate keys refused) or as an array
    // of its values in declared order. `optional` is the index of a field that may be absent.
    void read_struct(std::string_view expecting, Fields fields, size_t optional,
                     const std::function<void(size_t)>& read_field) {
        char peek = peek_value();
        positioned([&] {
            if (peek == '[') {
                container(
                    [&] {
                        bool first = true;
                        for (size_t i = 0; i < fields.size(); ++i) {
                            if (!cursor_.next_element(first)) {
                                json::invalid_length(i, struct_length(expecting, fields.size()));
                            }
                            read_field(i);
                        }
                    },
                    &Cursor::end_seq);
            } else if (peek == '{') {
                container(
                    [&] {
                        std::vector<bool> seen(fields.size(), false);
                        bool first = true;
                        while (cursor_.next_key(first)) {
                            cursor_.eat_char();
                            std::string key = cursor_.parse_str();
                            size_t index = find_name(fields, key);
                            if (index == fields.size()) json::unknown_field(key, fields);
                            if (seen[index]) json::duplicate_field(fields[index]);
                            cursor_.parse_object_colon();
                            read_field(index);
                            seen[index] = true;
                        }
                        require_all(seen, fields, optional);
                    },
                    &Cursor::end_map);
            } else {
                throw cursor_.peek_invalid_type(expecting);
            }
        });
    }

    Proxy proxy() {
        Proxy proxy;
        read_struct("struct Proxy", kProxyFields, SIZE_MAX, [&](size_t i) {
            switch (i) {
                case 0:
                    proxy.name = string();
                    break;
                case 1:
                    proxy.protocol = protocol();
                    break;
                case 2:
                    proxy.listen = string();
                    break;
                default:
                    proxy.upstream = string();
                    break;
            }
        });
        return proxy;
    }

    // "tcp", or {"tcp": null}.
    TransportProtocol protocol() {
        auto variant = [&] { return static_cast<TransportProtocol>(tag(kProtocolTags)); };
        char peek = peek_value();
        if (peek == '"') return variant();
        if (peek != '{') throw cursor_.peek_error("expected value");
        cursor_.enter_nested();
        cursor_.eat_char();
        TransportProtocol value = variant();
        cursor_.parse_object_colon();
        positioned([&] {
            if (peek_value() != 'n') throw cursor_.peek_invalid_type("unit");
            cursor_.eat_char();
            cursor_.parse_ident("ull");
        });
        cursor_.leave_nested();
        auto close = cursor_.parse_whitespace();
        if (!close) throw cursor_.error("EOF while parsing an object");
        if (*close != '}') throw cursor_.error("expected value");
        cursor_.eat_char();
        return value;
    }

    Phase phase() {
        Phase phase;
        read_struct("struct Phase", kPhaseFields, 1, [&](size_t i) {
            switch (i) {
                case 0:
                    phase.name = string();
                    break;
                case 1:
                    phase.duration = duration();
                    break;
                default:
                    phase.proxies = seq<ProxyFaults>(&Reader::proxy_faults);
                    break;
            }
        });
        return phase;
    }

    std::optional<HumanDuration> duration() {
        if (peek_value() == 'n') {
            cursor_.eat_char();
            cursor_.parse_ident("ull");
            return std::nullopt;
        }
        auto parsed = HumanDuration::parse(string());
        if (!parsed) json::fail(parsed.error());
        return std::move(*parsed);
    }

    ProxyFaults proxy_faults() {
        ProxyFaults entry;
        read_struct("struct ProxyFaults", kProxyFaultsFields, SIZE_MAX, [&](size_t i) {
            if (i == 0)
                entry.proxy = string();
            else
                entry.faults = seq<FaultSpec>(&Reader::fault);
        });
        return entry;
    }

    // A variant tag read from the text.
    size_t tag(Fields tags) {
        char peek = peek_value();
        return positioned([&] {
            if (peek != '"') throw cursor_.peek_invalid_type("variant identifier");
            cursor_.eat_char();
            std::string name = cursor_.parse_str();
            size_t index = find_name(tags, name);
            if (index == tags.size()) json::unknown_variant(name, tags);
            return index;
        });
    }

    // The tag of a fault may stand anywhere among its keys, so the other keys are buffered
    // until the object ends; then the variant's fields are read from the buffer.
    FaultSpec fault() {
        char peek = peek_value();
        size_t variant = 0;
        Content rest;
        positioned([&] {
            if (peek == '{') {
                rest.type = Content::Type::Map;
                container(
                    [&] {
                        std::optional<size_t> found;
                        bool first = true;
                        while (cursor_.next_key(first)) {
                            cursor_.eat_char();
                            std::string key = cursor_.parse_str();
                            if (key == "type") {
                                if (found) json::duplicate_field("type");
                                cursor_.parse_object_colon();
                                found = tag(kFaultTags);
                            } else {
                                cursor_.parse_object_colon();
                                rest.map.emplace_back(std::move(key), cursor_.parse_content());
                            }
                        }
                        if (!found) json::missing_field("type");
                        variant = *found;
                    },
                    &Cursor::end_map);
            } else if (peek == '[') {
                rest.type = Content::Type::Seq;
                container(
                    [&] {
                        bool first = true;
                        if (!cursor_.next_element(first)) json::missing_field("type");
                        variant = tag(kFaultTags);
                        while (cursor_.next_element(first)) {
                            rest.seq.push_back(cursor_.parse_content());
                        }
                    },
                    &Cursor::end_seq);
            } else {
                throw cursor_.peek_invalid_type("internally tagged enum FaultSpec");
            }
        });
        return fault_variant(variant, rest);
    }

    Cursor cursor_;
};

}  // namespace

std::expected<Run, std::string> read_run(std::string_view text) {
    return Reader(text).top_level(&Reader::run);
}

std::expected<std::vector<FaultSpec>, std::string> read_fault_list(std::string_view text) {
    return Reader(text).top_level(&Reader::fault_list);
}

std::expected<std::vector<ProxyFaults>, std::string> read_proxy_faults(std::string_view text) {
    return Reader(text).top_level(&Reader::proxy_faults_list);
}

}  // namespace ostrel::model
