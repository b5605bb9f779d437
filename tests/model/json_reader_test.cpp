#include "ostrel-model/json_reader.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace ostrel::model {
namespace {

// The position suffix of an error on the first line, `column` bytes into it.
std::string at(size_t column) {
    return " at line 1 column " + std::to_string(column);
}

const char* kExampleRun = R"({
  "schema_version": 1,
  "name": "checkout-degradation",
  "proxies": [
    {"name": "database", "protocol": "tcp", "listen": "127.0.0.1:15432", "upstream": "database:5432"},
    {"name": "resolver", "protocol": "udp", "listen": "127.0.0.1:15353", "upstream": "10.0.0.2:53"}
  ],
  "phases": [
    {"name": "baseline", "duration": "30s", "proxies": []},
    {"name": "slow-database", "duration": "2m 30s", "proxies": [
      {"proxy": "database", "faults": [
        {"type": "latency", "flow": "to-client",
         "distribution": {"type": "normal", "mean_ms": 120, "stddev_ms": 15}},
        {"type": "jitter", "flow": "both", "min_delay_ms": 5, "max_delay_ms": 40.5, "probability": 0.25},
        {"type": "bandwidth", "flow": "to-upstream", "bytes_per_second": 65536}
      ]},
      {"proxy": "resolver", "faults": [{"type": "dns", "case": "delay", "delay_ms": 500}]}
    ]},
    {"name": "outage", "duration": "10s", "proxies": [
      {"proxy": "database", "faults": [
        {"type": "blackhole", "flow": "to-client"},
        {"type": "connection-reset", "flow": "both", "probability": 0.5}
      ]}
    ]},
    {"name": "recovery", "proxies": []}
  ]
})";

TEST(JsonReaderTest, ReadsTheCompleteExampleRun) {
    auto run = read_run(kExampleRun);
    ASSERT_TRUE(run.has_value()) << run.error();
    EXPECT_EQ(run->schema_version, 1u);
    EXPECT_EQ(run->name, "checkout-degradation");
    ASSERT_EQ(run->proxies.size(), 2u);
    EXPECT_EQ(run->proxies[1],
              (Proxy{"resolver", TransportProtocol::Udp, "127.0.0.1:15353", "10.0.0.2:53"}));
    ASSERT_EQ(run->phases.size(), 4u);
    EXPECT_EQ(run->phases[1].duration->text(), "2m 30s");
    EXPECT_EQ(run->phases[1].duration->as_std(), (Duration{150, 0}));
    EXPECT_FALSE(run->phases[3].duration.has_value());

    const auto& faults = run->phases[1].proxies[0].faults;
    ASSERT_EQ(faults.size(), 3u);
    EXPECT_EQ(faults[0],
              (FaultSpec{LatencyFault{TrafficFlow::ToClient, {NormalDistribution{120.0, 15.0}}}}));
    EXPECT_EQ(faults[1], (FaultSpec{JitterFault{TrafficFlow::Both, 5.0, 40.5, 0.25}}));
    EXPECT_EQ(faults[2], (FaultSpec{BandwidthFault{TrafficFlow::ToUpstream, 65536}}));
    EXPECT_EQ(run->phases[1].proxies[1].faults[0], (FaultSpec{DnsFault{DnsCase::Delay, 500}}));
    EXPECT_EQ(run->phases[2].proxies[0].faults[1],
              (FaultSpec{ConnectionResetFault{TrafficFlow::Both, 0.5}}));
}

TEST(JsonReaderTest, AcceptsEveryFormOfAFault) {
    struct Case {
        const char* json;
        FaultSpec expected;
    };
    const std::vector<Case> cases = {
        {R"({"flow": "both", "type": "blackhole"})", {BlackholeFault{TrafficFlow::Both}}},
        {R"({"type": "blackhole", "flow": {"to-client": null}})",
         {BlackholeFault{TrafficFlow::ToClient}}},
        {R"(["blackhole", "to-upstream"])", {BlackholeFault{TrafficFlow::ToUpstream}}},
        {R"(["jitter", "both", 1, 2.5, 1])", {JitterFault{TrafficFlow::Both, 1.0, 2.5, 1.0}}},
        {R"({"type": "dns", "case": "nx-domain"})", {DnsFault{DnsCase::NxDomain, {}}}},
        {R"({"type": "dns", "case": "random-a", "delay_ms": null})",
         {DnsFault{DnsCase::RandomA, {}}}},
        {R"({"case": {"serv-fail": null}, "delay_ms": 0, "type": "dns"})",
         {DnsFault{DnsCase::ServFail, 0}}},
        {R"({"type": "latency", "flow": "both",
             "distribution": {"scale_ms": 10, "shape": 1.5, "type": "pareto"}})",
         {LatencyFault{TrafficFlow::Both, {ParetoDistribution{1.5, 10.0}}}}},
        {R"(["latency", "both", ["pareto-normal", 1, 2, 3, 4]])",
         {LatencyFault{TrafficFlow::Both, {ParetoNormalDistribution{1, 2, 3, 4}}}}},
        {R"({"type": "latency", "flow": "to-client", "distribution": ["uniform", 5, 9]})",
         {LatencyFault{TrafficFlow::ToClient, {UniformDistribution{5, 9}}}}},
        {R"({"type": "bandwidth", "flow": "both", "bytes_per_second": 18446744073709551615})",
         {BandwidthFault{TrafficFlow::Both, UINT64_MAX}}},
        {R"({"type": "connection-reset", "flow": "both", "probability": -0})",
         {ConnectionResetFault{TrafficFlow::Both, -0.0}}},
    };
    for (const auto& c : cases) {
        auto faults = read_fault_list("[" + std::string(c.json) + "]");
        ASSERT_TRUE(faults.has_value()) << c.json << ": " << faults.error();
        ASSERT_EQ(faults->size(), 1u);
        EXPECT_EQ(faults->front(), c.expected) << c.json;
    }
}

TEST(JsonReaderTest, RefusesBadRunsWithTheirTextsAndPositions) {
    struct Case {
        std::string json;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"", "EOF while parsing a value" + at(0)},
        {"   ", "EOF while parsing a value" + at(3)},
        {"{}", "missing field `schema_version`" + at(2)},
        {R"({"schema_version":1,"name":"x","proxies":[]})", "missing field `phases`" + at(44)},
        {R"({"schema_version":1,"nmae":"x"})",
         "unknown field `nmae`, expected one of `schema_version`, `name`, `proxies`, `phases`" +
             at(26)},
        {R"({"name":"a","name" :"b"})", "duplicate field `name`" + at(19)},
        {R"({"schema_version":"1"})", R"(invalid type: string "1", expected u32)" + at(21)},
        {R"({"schema_version":-1})", "invalid value: integer `-1`, expected u32" + at(20)},
        {R"({"schema_version":4294967296})",
         "invalid value: integer `4294967296`, expected u32" + at(28)},
        {R"({"schema_version":1.5})", "invalid type: floating point `1.5`, expected u32" + at(21)},
        {R"({"schema_version":1e400})", "number out of range" + at(23)},
        {R"({"schema_version":01})", "invalid number" + at(20)},
        {R"({"schema_version":true})", "invalid type: boolean `true`, expected u32" + at(22)},
        {R"({"schema_version":1,"name":5})",
         "invalid type: integer `5`, expected a string" + at(28)},
        {R"({"schema_version":1,"name":"x","proxies":{}})",
         "invalid type: map, expected a sequence" + at(41)},
        {"5", "invalid type: integer `5`, expected struct Run" + at(1)},
        {"null", "invalid type: null, expected struct Run" + at(4)},
        {R"([1,"x",[]])", "invalid length 3, expected struct Run with 4 elements" + at(10)},
        {R"([1,"x",[],[]] x)", "trailing characters" + at(15)},
        {R"([1,"x",[],[],5])", "trailing characters" + at(14)},
        {R"({"schema_version":1,"name":"x","proxies":[{"name":"a","listen":"l","upstream":"u"}],"phases":[]})",
         "missing field `protocol`" + at(82)},
        {R"({"schema_version":1,"name":"x","proxies":[{"name":"a","protocol":"sctp"}]})",
         "unknown variant `sctp`, expected `tcp` or `udp`" + at(71)},
        {R"({"schema_version":1,"name":"x","proxies":[{"name":"a","protocol":7}]})",
         "expected value" + at(66)},
        {R"({"schema_version":1,"name":"x","proxies":[],"phases":[{"name":"p","duration":30,"proxies":[]}]})",
         "invalid type: integer `30`, expected a string" + at(79)},
        {R"({"schema_version":1,"name":"x","proxies":[],"phases":[{"name":"p","duration":"0","proxies":[]}]})",
         "expected number at 0" + at(80)},
        {R"({"schema_version":1,"name":"x","proxies":[],"phases":[{"name":"p","duration":"0s"}]})",
         "expected number at 0" + at(82)},
        {R"({"schema_version":1,"name":"x","proxies":[],"phases":[{"name":"p","duration":"30"}]})",
         "time unit needed, for example 30sec or 30ms" + at(82)},
        {R"({"schema_version":1,"name":"x","proxies":[],"phases":[{"name":"p","duration":""}]})",
         "value was empty" + at(80)},
        {R"({"schema_version":1,"name":"x","proxies":[],"phases":[{"name":"p","duration":"1.5ns"}]})",
         "number is too large or cannot be represented without a lack of precision (values "
         "below 1ns are not supported)" +
             at(85)},
        {R"({"schema_version":1,"name":"x","proxies":[],"phases":[["p",null]]})",
         "invalid length 2, expected struct Phase with 3 elements" + at(64)},
        {"{\"schema_version\":1,\n\"name\":\"x\",\n\"oops\":1}",
         "unknown field `oops`, expected one of `schema_version`, `name`, `proxies`, `phases` "
         "at line 3 column 6"},
    };
    for (const auto& c : cases) {
        auto run = read_run(c.json);
        ASSERT_FALSE(run.has_value()) << c.json;
        EXPECT_EQ(run.error(), c.expected) << c.json;
    }
}

TEST(JsonReaderTest, RefusesBadFaultsWithTheirTextsAndPositions) {
    struct Case {
        std::string json;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {R"([{"type":"nope"}])",
         "unknown variant `nope`, expected one of `latency`, `jitter`, `bandwidth`, "
         "`blackhole`, `connection-reset`, `dns`" +
             at(15)},
        {R"([{"flow":"both"}])", "missing field `type`" + at(16)},
        {R"([{"type":"blackhole","type":"blackhole"}])", "duplicate field `type`" + at(27)},
        {R"([{"type":7}])", "invalid type: integer `7`, expected variant identifier" + at(10)},
        {R"(["x"])",
         R"(invalid type: string "x", expected internally tagged enum FaultSpec)" + at(4)},
        {R"([null])", "invalid type: null, expected internally tagged enum FaultSpec" + at(5)},
        {R"([[]])", "missing field `type`" + at(3)},
        // Field errors surface once the whole fault has been read: after the closing bracket
        // of the list, or after the separator that follows the fault.
        {R"([{"type":"blackhole"}])", "missing field `flow`" + at(22)},
        {R"([{"type":"blackhole"}, {"type":"blackhole","flow":"both"}])",
         "missing field `flow`" + at(23)},
        {R"([{"type":"blackhole","flow":"both","rate":1}])",
         "unknown field `rate`, expected `flow`" + at(45)},
        {R"([{"type":"jitter","flow":"both","min":1}])",
         "unknown field `min`, expected one of `flow`, `min_delay_ms`, `max_delay_ms`, "
         "`probability`" +
             at(41)},
        {R"([{"type":"blackhole","flow":"both","flow":"both"}])",
         "duplicate field `flow`" + at(50)},
        {R"([{"type":"bandwidth","flow":"both","bytes_per_second":1024.0}])",
         "invalid type: floating point `1024.0`, expected u64" + at(62)},
        {R"([{"type":"bandwidth","flow":"both","bytes_per_second":-1}])",
         "invalid value: integer `-1`, expected u64" + at(58)},
        {R"([{"type":"dns","case":"refused","delay_ms":2.5}])",
         "invalid type: floating point `2.5`, expected u64" + at(48)},
        {R"([{"type":"blackhole","flow":{"both":null,"to-client":null}}])",
         "invalid value: map, expected map with a single key" + at(60)},
        {R"([{"type":"blackhole","flow":{}}])",
         "invalid value: map, expected map with a single key" + at(32)},
        {R"([{"type":"blackhole","flow":5}])",
         "invalid type: integer `5`, expected string or map" + at(31)},
        {R"([{"type":"blackhole","flow":"sideways"}])",
         "unknown variant `sideways`, expected one of `to-upstream`, `to-client`, `both`" + at(40)},
        {R"([{"type":"blackhole","flow":{"both":1}}])",
         "invalid type: integer `1`, expected unit" + at(40)},
        {R"([{"type":"dns","case":"slow"}])",
         "unknown variant `slow`, expected one of `delay`, `timeout`, `truncated`, `refused`, "
         "`serv-fail`, `nx-domain`, `empty-answer`, `random-a`" +
             at(30)},
        {R"([{"type":"jitter","flow":"both","min_delay_ms":"1"}])",
         R"(invalid type: string "1", expected f64)" + at(52)},
        {R"([["jitter","both",1,2]])",
         "invalid length 3, expected struct variant FaultSpec::Jitter with 4 elements" + at(23)},
        {R"([["blackhole","both",1]])",
         "invalid length 2, expected 1 element in sequence" + at(24)},
        {R"([["latency","both",["pareto-normal",1,2,3]]])",
         "invalid length 3, expected struct variant DelayDistribution::ParetoNormal with 4 "
         "elements" +
             at(44)},
        {R"([{"type":"latency","flow":"both","distribution":{"type":"gamma"}}])",
         "unknown variant `gamma`, expected one of `normal`, `pareto`, `pareto-normal`, "
         "`uniform`" +
             at(66)},
        {R"([{"type":"latency","flow":"both","distribution":"x"}])",
         R"(invalid type: string "x", expected internally tagged enum DelayDistribution)" + at(53)},
        {R"([{"type":"latency","flow":"both","distribution":{"type":"normal","mean_ms":1}}])",
         "missing field `stddev_ms`" + at(79)},
        {"{}", "invalid type: map, expected a sequence" + at(0)},
        {"[", "EOF while parsing a list" + at(1)},
        {"[{", "EOF while parsing an object" + at(2)},
        {R"([{"type":"blackhole",}])", "trailing comma" + at(22)},
        {R"([{"type" "blackhole"}])", "expected `:`" + at(10)},
        {R"([{"type":"blackhole" "flow":"both"}])", "expected `,` or `}`" + at(22)},
        {R"([{"type":"blackhole","flow":"both"} {}])", "expected `,` or `]`" + at(37)},
        {R"([{"type":"blackhole","flow":"both"},])", "trailing comma" + at(37)},
        {R"([{1:2}])", "key must be a string" + at(3)},
        {R"([@])", "expected value" + at(2)},
        {R"([{"type":"blackhole","flow":"both","x":tru}])", "expected ident" + at(43)},
        {R"([{"type":"blackhole","x":"a\qb"}])", "invalid escape" + at(29)},
        {R"([{"type":"blackhole","x":"\ud800"}])", "unexpected end of hex escape" + at(33)},
        {R"([{"type":"blackhole","x":"\udc00"}])", "lone leading surrogate in hex escape" + at(32)},
        {R"([{"type":"blackhole","x":"\u12"}])", "invalid escape" + at(31)},
        {std::string("[{\"type\":\"blackhole\",\"x\":\"a\nb\"}]"),
         "control character (\\u0000-\\u001F) found while parsing a string at line 2 column 0"},
        {std::string("[\"a\0b\"]", 7),
         "control character (\\u0000-\\u001F) found while parsing a string" + at(4)},
        {"[\"\xff\"]", "invalid unicode code point" + at(2)},
        {R"([{"type":"blackhole","x":"abc)", "EOF while parsing a string" + at(29)},
        {R"([{"type":"blackhole","x":-})", "invalid number" + at(27)},
        {R"([{"type":"blackhole","x":1.})", "invalid number" + at(28)},
        {R"([{"type":"blackhole","x":1.e5})", "invalid number" + at(28)},
        {R"([{"type":"blackhole","x":1e})", "invalid number" + at(28)},
        {R"([{"type":"blackhole","x":-1e999}])", "number out of range" + at(31)},
    };
    for (const auto& c : cases) {
        auto faults = read_fault_list(c.json);
        ASSERT_FALSE(faults.has_value()) << c.json;
        EXPECT_EQ(faults.error(), c.expected) << c.json;
    }
}

TEST(JsonReaderTest, BoundsNestingDepth) {
    std::string deep = R"([{"type":"blackhole","flow":"both","x":)" + std::string(200, '[');
    auto faults = read_fault_list(deep);
    ASSERT_FALSE(faults.has_value());
    // The limit trips on the 128th open container, counting the list and the fault.
    EXPECT_EQ(faults.error(), "recursion limit exceeded" + at(39 + 126));

    std::string fine = R"([{"type":"blackhole","flow":"both","x":)" + std::string(100, '[') +
                       std::string(100, ']') + "}]";
    // Within the limit the value is read to its end; only then is the unknown key refused.
    EXPECT_EQ(read_fault_list(fine).error(), "unknown field `x`, expected `flow`" + at(241));
}

TEST(JsonReaderTest, NumbersReadLikeJsonNumbers) {
    auto read_jitter_min = [](const std::string& number) -> std::expected<double, std::string> {
        auto faults = read_fault_list(R"([["jitter","both",)" + number + ",1,1]]");
        if (!faults) return std::unexpected(faults.error());
        return std::get<JitterFault>(faults->front().kind).min_delay_ms;
    };
    EXPECT_EQ(read_jitter_min("100").value(), 100.0);
    EXPECT_EQ(read_jitter_min("1e2").value(), 100.0);
    EXPECT_EQ(read_jitter_min("0.1").value(), 0.1);
    EXPECT_EQ(read_jitter_min("-2.5E-3").value(), -0.0025);
    EXPECT_EQ(read_jitter_min("1e-400").value(), 0.0);
    EXPECT_EQ(read_jitter_min("123456789012345678901234567890").value(), 1.2345678901234568e29);
    EXPECT_EQ(read_jitter_min(std::string(5000, '9')).error(), "number out of range" + at(5018));
    EXPECT_EQ(read_jitter_min("0." + std::string(5000, '0') + "1").value(), 0.0);
}

TEST(JsonReaderTest, ReadsProxyFaultEntries) {
    auto entries = read_proxy_faults(R"([
        {"proxy": "db", "faults": [{"type": "blackhole", "flow": "both"}]},
        ["cache", []]
    ])");
    ASSERT_TRUE(entries.has_value()) << entries.error();
    ASSERT_EQ(entries->size(), 2u);
    EXPECT_EQ((*entries)[0].proxy, "db");
    EXPECT_EQ((*entries)[0].faults.size(), 1u);
    EXPECT_EQ((*entries)[1], (ProxyFaults{"cache", {}}));

    EXPECT_EQ(read_proxy_faults(R"([{"proxy":"db"}])").error(), "missing field `faults`" + at(15));
    EXPECT_EQ(read_proxy_faults(R"([["db"]])").error(),
              "invalid length 1, expected struct ProxyFaults with 2 elements" + at(7));
    EXPECT_EQ(read_proxy_faults("[]")->size(), 0u);
}

}  // namespace
}  // namespace ostrel::model
